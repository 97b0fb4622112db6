// Start-up on Linux: the toolkit, then the upgrade dialog run modally; the
// program ends when the dialog has ended and no worker thread is left.
#include <wx/app.h>
#include <wx/init.h>
#include <wx/msgdlg.h>

#include <cstdio>
#include <cstdlib>

#include "app/dialog/dialog_command_line.h"
#include "app/dialog/dialog_wx.h"
#include "app/dialog/orva_load_app.h"
#include "upgrade/firmware.h"

namespace {

COrvaLoadApp the_app;

} // namespace

int COrvaLoadApp::InitInstance() {
  // The dialog's destruction destroys its worker, which waits for a thread
  // that may still run.
  OrvaWxDialog dialog(this);
  wxTheApp->SetTopWindow(&dialog);
  dialog.run();
  return 0;
}

int main(int argc, char** argv) {
  // The toolkit wants an application object; all the work happens in the
  // dialog's own modal loop, so it never runs a main loop of its own.
  wxApp::SetInstance(new wxApp);
  if (!wxEntryStart(argc, argv)) {
    std::fprintf(stderr,
                 "orvaload: cannot open a display (DISPLAY is %s): start it on a desktop, "
                 "or upgrade with orvaload-cli, which needs none\n",
                 std::getenv("DISPLAY") ? "set, but no display answers there" : "not set");
    return 1;
  }
  // The toolkit has taken its own options out of the command line by now.
  LoadedImage loaded;
  const DialogImageChoice choice = dialog_image_from_command_line(argc, argv, &loaded);
  if (!choice.refusal.empty()) {
    wxMessageBox(wxString::FromUTF8(choice.refusal.c_str()), DIALOG_REFUSAL_CAPTION,
                 wxOK | wxICON_ERROR);
    wxEntryCleanup();
    return 2;
  }
  const FirmwareImage file = firmware_from_file(loaded);
  if (choice.from_file) {
    the_app.image = &file;
    the_app.image_name = choice.name;
  }
  the_app.InitInstance();
  wxEntryCleanup();
  return 0;
}

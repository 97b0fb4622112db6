// Start-up on Linux: the toolkit, then the upgrade dialog run modally; the
// program ends when the dialog has ended and no worker thread is left.
#include <wx/app.h>
#include <wx/init.h>

#include "app/dialog/dialog_wx.h"
#include "app/dialog/orva_load_app.h"

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
  if (!wxEntryStart(argc, argv))
    return 1;
  the_app.InitInstance();
  wxEntryCleanup();
  return 0;
}

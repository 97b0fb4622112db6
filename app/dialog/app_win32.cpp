// Start-up on Windows: the common controls (the progress bar is one), then
// the upgrade dialog run modally; the program ends when it has ended.
#include <windows.h>

#include <commctrl.h>
#include <stdlib.h>

#include "app/dialog/dialog_command_line.h"
#include "app/dialog/dialog_win32.h"
#include "app/dialog/orva_load_app.h"
#include "upgrade/firmware.h"

namespace {

COrvaLoadApp the_app;

} // namespace

int COrvaLoadApp::InitInstance() {
  InitCommonControls();
  // The dialog's destruction destroys its worker, which waits for a thread
  // that may still run. If the dialog cannot be created the run returns at
  // once and the program ends without a word.
  Win32Dialog dialog(this);
  dialog.run(GetModuleHandleA(nullptr));
  return 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The runtime has split the command line into __argc/__argv already.
  LoadedImage loaded;
  const DialogImageChoice choice = dialog_image_from_command_line(__argc, __argv, &loaded);
  if (!choice.refusal.empty()) {
    MessageBoxA(nullptr, choice.refusal.c_str(), DIALOG_REFUSAL_CAPTION, MB_OK | MB_ICONERROR);
    return 2;
  }
  const FirmwareImage file = firmware_from_file(loaded);
  if (choice.from_file) {
    the_app.image = &file;
    the_app.image_name = choice.name;
  }
  return the_app.InitInstance();
}

// Start-up on Windows: the common controls (the progress bar is one), then
// the upgrade dialog run modally; the program ends when it has ended.
#include <windows.h>

#include <commctrl.h>

#include "app/dialog/dialog_win32.h"
#include "app/dialog/orva_load_app.h"

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
  return the_app.InitInstance();
}

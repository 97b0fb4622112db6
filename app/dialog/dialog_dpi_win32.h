// The dialog on a screen whose DPI changes while it is open (moved to another
// monitor, or the scale changed in Settings): its font and every control are
// laid out again for the new DPI, from the layout Windows made when it created
// the dialog. Windows 10 (1703 and later) would scale a dialog by itself as
// well; that is switched off so the two never add up.
#pragma once

#include <windows.h>

#include <vector>

class DialogDpi {
public:
  DialogDpi() = default;
  DialogDpi(const DialogDpi&) = delete;
  DialogDpi& operator=(const DialogDpi&) = delete;
  ~DialogDpi();

  // At WM_INITDIALOG: the controls' places and the font as created.
  void record(HWND dialog);
  // At WM_DPICHANGED: `dpi` the new DPI, `suggested` the window rectangle
  // Windows proposes for it.
  void apply(HWND dialog, UINT dpi, const RECT& suggested);

private:
  struct Placed {
    HWND control;
    RECT rect; // in the dialog's client area; a combo box's with its list dropped
  };

  UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
  LOGFONTA font_{};
  bool have_font_ = false;
  HFONT scaled_ = nullptr; // the font made for the last change, ours to delete
  std::vector<Placed> placed_;
};

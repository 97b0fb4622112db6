#include "app/dialog/dialog_dpi_win32.h"

namespace {

// Both calls exist from Windows 10 on; looked up at run time, so that the
// program still starts on earlier versions.
template <typename Call>
Call user32_call(const char* name) {
  const HMODULE user32 = GetModuleHandleA("user32.dll");
  return user32 ? reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(user32, name)))
                : nullptr;
}

UINT window_dpi(HWND window) {
  using GetDpiForWindowCall = UINT(WINAPI*)(HWND);
  static const auto get_dpi = user32_call<GetDpiForWindowCall>("GetDpiForWindow");
  if (get_dpi) return get_dpi(window);
  HDC dc = GetDC(window);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(window, dc);
  return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

RECT client_rect_of(HWND dialog, HWND control) {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&rect), 2);
  char kind[16] = "";
  GetClassNameA(control, kind, sizeof kind);
  if (lstrcmpiA(kind, "ComboBox") == 0) {
    // A combo box is sized with its list dropped.
    RECT dropped;
    if (SendMessageA(control, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped)))
      rect.bottom = rect.top + (dropped.bottom - dropped.top);
  }
  return rect;
}

int scaled(LONG value, UINT to, UINT from) {
  return MulDiv(value, static_cast<int>(to), static_cast<int>(from));
}

} // namespace

DialogDpi::~DialogDpi() {
  if (scaled_) DeleteObject(scaled_);
}

void DialogDpi::record(HWND dialog) {
  using BehaviourCall =
      BOOL(WINAPI*)(HWND, DIALOG_DPI_CHANGE_BEHAVIORS, DIALOG_DPI_CHANGE_BEHAVIORS);
  static const auto set_behaviour = user32_call<BehaviourCall>("SetDialogDpiChangeBehavior");
  if (set_behaviour) set_behaviour(dialog, DDC_DISABLE_ALL, DDC_DISABLE_ALL);

  dpi_ = window_dpi(dialog);
  const HFONT font = reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0));
  have_font_ = font && GetObjectA(font, sizeof font_, &font_) == sizeof font_;
  placed_.clear();
  for (HWND control = GetWindow(dialog, GW_CHILD); control;
       control = GetWindow(control, GW_HWNDNEXT))
    placed_.push_back({control, client_rect_of(dialog, control)});
}

void DialogDpi::apply(HWND dialog, UINT dpi, const RECT& suggested) {
  if (dpi == 0) return;
  HFONT font = nullptr;
  if (have_font_) {
    LOGFONTA wanted = font_;
    wanted.lfHeight = scaled(font_.lfHeight, dpi, dpi_);
    wanted.lfWidth = scaled(font_.lfWidth, dpi, dpi_);
    font = CreateFontIndirectA(&wanted);
  }
  // Laid out hidden from the user: no half-scaled frame is drawn.
  SendMessageA(dialog, WM_SETREDRAW, FALSE, 0);
  SetWindowPos(dialog, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  for (const Placed& p : placed_) {
    if (font) SendMessageA(p.control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    SetWindowPos(p.control, nullptr, scaled(p.rect.left, dpi, dpi_), scaled(p.rect.top, dpi, dpi_),
                 scaled(p.rect.right - p.rect.left, dpi, dpi_),
                 scaled(p.rect.bottom - p.rect.top, dpi, dpi_), SWP_NOZORDER | SWP_NOACTIVATE);
  }
  SendMessageA(dialog, WM_SETREDRAW, TRUE, 0);
  RedrawWindow(dialog, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_FRAME);
  if (font) {
    if (scaled_) DeleteObject(scaled_);
    scaled_ = font;
  }
}

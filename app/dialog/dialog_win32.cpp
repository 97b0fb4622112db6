#include "app/dialog/dialog_win32.h"

#include <commctrl.h>
#include <dbt.h>

#include <algorithm>

#include "res/resource.h"

namespace {

constexpr int CAPTION_SIZE = 256;
constexpr int PORT_LIST_ENTRIES = 90;
constexpr int PORT_LIST_TEXT_BYTES = 48;

} // namespace

Win32Dialog::Win32Dialog(COrvaLoadApp* app)
    : icon_(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME))),
      runner_(app != nullptr ? app->image : nullptr),
      logic_(traced_view(*this, trace_), *this, runner_, app) {}

INT_PTR Win32Dialog::run(HINSTANCE instance) {
  const INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ORVALOAD_DIALOG), nullptr,
                                         &Win32Dialog::procedure, reinterpret_cast<LPARAM>(this));
  window_ = nullptr;
  return result;
}

bool Win32Dialog::post(uint32_t kind, void* payload) {
  // PostMessage to no window would land in the worker's own thread queue.
  HWND window = window_.load();
  if (window == nullptr) return false;
  return PostMessageA(window, WM_UPGRADE_NOTIFY, kind, reinterpret_cast<LPARAM>(payload)) != 0;
}

INT_PTR CALLBACK Win32Dialog::procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<Win32Dialog*>(lparam);
    SetWindowLongPtrA(window, DWLP_USER, lparam);
    self->window_ = window;
  }
  auto* self = reinterpret_cast<Win32Dialog*>(GetWindowLongPtrA(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  return self->handle(message, wparam, lparam);
}

INT_PTR Win32Dialog::handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
  case WM_INITDIALOG:
    dpi_.record(window_);
    to_ports(CB_INITSTORAGE, PORT_LIST_ENTRIES, PORT_LIST_TEXT_BYTES);
    return logic_.OnInitDialog() ? TRUE : FALSE;
  case WM_PAINT:
    return paint_minimised() ? TRUE : FALSE;
  case WM_QUERYDRAGICON:
    return reinterpret_cast<INT_PTR>(icon_);
  case WM_COMMAND:
    if (LOWORD(wparam) == IDC_PORT_LIST && HIWORD(wparam) == CBN_SELCHANGE) {
      logic_.OnPortSelected();
      return TRUE;
    }
    if (HIWORD(wparam) != BN_CLICKED) return FALSE;
    if (LOWORD(wparam) == IDC_UPGRADE) {
      logic_.OnUpgradeClicked();
      return TRUE;
    }
    if (LOWORD(wparam) == IDCANCEL) {
      logic_.OnCancelClicked();
      return TRUE;
    }
    return FALSE;
  case WM_UPGRADE_NOTIFY:
    logic_.OnUpgradeNotify(static_cast<uint32_t>(wparam), reinterpret_cast<void*>(lparam));
    // The focus went with the control disabled at the start of the run;
    // without it Return and Escape would not reach the dialog again.
    if (wparam == NOTIFY_DONE && GetFocus() == nullptr)
      SendMessageA(window_, WM_NEXTDLGCTL,
                   reinterpret_cast<WPARAM>(GetDlgItem(window_, IDC_UPGRADE)), TRUE);
    SetWindowLongPtrA(window_, DWLP_MSGRESULT, 0);
    return TRUE;
  case WM_DEVICECHANGE:
    // Windows tells every top-level window when a port comes or goes.
    if (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE ||
        wparam == DBT_DEVNODES_CHANGED)
      logic_.OnPortsChanged();
    return TRUE;
  case WM_DPICHANGED:
    dpi_.apply(window_, HIWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
    return TRUE;
  case WM_DESTROY:
    window_ = nullptr;
    return FALSE;
  default:
    return FALSE;
  }
}

bool Win32Dialog::paint_minimised() {
  HWND window = window_;
  if (!IsIconic(window)) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  SendMessageA(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(window, &client);
  const int x = dialog_icon_origin(client.right - client.left, GetSystemMetrics(SM_CXICON));
  const int y = dialog_icon_origin(client.bottom - client.top, GetSystemMetrics(SM_CYICON));
  DrawIcon(dc, x, y, icon_);
  EndPaint(window, &paint);
  return true;
}

LRESULT Win32Dialog::to_ports(UINT message, WPARAM wparam, LPARAM lparam) const {
  return SendDlgItemMessageA(window_, IDC_PORT_LIST, message, wparam, lparam);
}

void Win32Dialog::set_icons() {
  SendMessageA(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageA(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
}

std::string Win32Dialog::caption() const {
  char text[CAPTION_SIZE] = {};
  GetWindowTextA(window_, text, CAPTION_SIZE);
  return text;
}

void Win32Dialog::set_caption(const std::string& text) {
  SetWindowTextA(window_, text.c_str());
}

void Win32Dialog::set_text(int control, const char* text) {
  SetDlgItemTextA(window_, control, text);
}

void Win32Dialog::set_enabled(int control, bool enabled) {
  EnableWindow(GetDlgItem(window_, control), enabled ? TRUE : FALSE);
}

void Win32Dialog::port_list_clear() {
  to_ports(CB_RESETCONTENT, 0, 0);
}

int Win32Dialog::port_list_add(const char* text) {
  return static_cast<int>(to_ports(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}

void Win32Dialog::port_list_set_data(int index, intptr_t data) {
  to_ports(CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(data));
}

void Win32Dialog::port_list_select(int index) {
  to_ports(CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32Dialog::port_list_selection() const {
  return static_cast<int>(to_ports(CB_GETCURSEL, 0, 0));
}

intptr_t Win32Dialog::port_list_data(int index) const {
  // CB_ERR (-1) for an index that does not exist.
  return static_cast<intptr_t>(to_ports(CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
}

void Win32Dialog::set_progress_range(int low, int high) {
  SendDlgItemMessageA(window_, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(low, high));
}

void Win32Dialog::set_progress(int position) {
  // Held within the bar's range, so that no value can wrap as a WPARAM.
  const int low =
      static_cast<int>(SendDlgItemMessageA(window_, IDC_PROGRESS, PBM_GETRANGE, TRUE, 0));
  int high = static_cast<int>(SendDlgItemMessageA(window_, IDC_PROGRESS, PBM_GETRANGE, FALSE, 0));
  high = high < low ? low : high;
  SendDlgItemMessageA(window_, IDC_PROGRESS, PBM_SETPOS,
                      static_cast<WPARAM>(std::clamp(position, low, high)), 0);
}

void Win32Dialog::end_dialog(int result) {
  EndDialog(window_, result);
}

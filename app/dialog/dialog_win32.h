// The upgrade dialog on Windows: dialog template 102 run by a dialog
// procedure that maps COrvaLoadDlg's calls onto the controls. Notices from
// the worker thread arrive as posted WM_UPGRADE_NOTIFY messages.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "app/dialog/dialog_dpi_win32.h"
#include "app/dialog/dialog_trace.h"
#include "app/dialog/orva_load_dlg.h"
#include "app/dialog/worker_runner.h"

// The window message that carries a notice: its kind in wParam, the payload
// in lParam.
constexpr UINT WM_UPGRADE_NOTIFY = WM_USER + 300; // 0x52C

class Win32Dialog final : public DialogView, public NoticeTarget {
public:
  explicit Win32Dialog(COrvaLoadApp* app);

  // Runs the dialog modally; later notices are refused.
  INT_PTR run(HINSTANCE instance);

  // Posts to the window the dialog has at this moment; false once it is gone.
  bool post(uint32_t kind, void* payload) override;

  void set_icons() override;
  std::string caption() const override;
  void set_caption(const std::string& text) override;
  void set_text(int control, const char* text) override;
  void set_enabled(int control, bool enabled) override;
  void port_list_clear() override;
  int port_list_add(const char* text) override;
  void port_list_set_data(int index, intptr_t data) override;
  void port_list_select(int index) override;
  int port_list_selection() const override;
  intptr_t port_list_data(int index) const override;
  void set_progress_range(int low, int high) override;
  void set_progress(int position) override;
  void end_dialog(int result) override;

private:
  static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR handle(UINT message, WPARAM wparam, LPARAM lparam);
  bool paint_minimised();
  LRESULT to_ports(UINT message, WPARAM wparam, LPARAM lparam) const;

  std::atomic<HWND> window_{nullptr};
  HICON icon_;
  DialogDpi dpi_;
  // Declared after the window handle the worker posts to, so that the
  // worker's destruction, which waits for its thread, comes first.
  WorkerRunner runner_;
  std::unique_ptr<TracingView> trace_;
  COrvaLoadDlg logic_;
};

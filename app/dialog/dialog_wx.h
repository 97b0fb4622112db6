// The upgrade dialog on Linux: wxWidgets controls laid out as the Windows
// dialog template, driven by COrvaLoadDlg. Notices from the worker thread
// travel as queued events and are applied on the user-interface thread.
#pragma once

#include <memory>
#include <mutex>

#include <wx/button.h>
#include <wx/combobox.h>
#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include "app/dialog/dialog_trace.h"
#include "app/dialog/orva_load_dlg.h"
#include "app/dialog/worker_runner.h"
#include "serial/port_watch.h"

// Takes each posted notice over and queues it as an event for the dialog,
// while the dialog lives.
class WxNoticeTarget final : public NoticeTarget {
public:
  bool post(uint32_t kind, void* payload) override;
  void attach(wxEvtHandler* handler);
  void detach();

private:
  std::mutex mutex_;
  wxEvtHandler* handler_ = nullptr;
};

class OrvaWxDialog final : public wxDialog, public DialogView {
public:
  explicit OrvaWxDialog(COrvaLoadApp* app);
  ~OrvaWxDialog() override;

  // Runs the dialog modally; later notices are refused.
  int run();

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
  void create_controls();
  wxWindow* control(int id) const;
  void on_char_hook(wxKeyEvent& event);

  wxButton* upgrade_ = nullptr;
  wxButton* cancel_close_ = nullptr;
  wxGauge* progress_ = nullptr;
  wxComboBox* ports_ = nullptr;
  wxTextCtrl* status_ = nullptr;
  wxStaticText* label_ = nullptr;
  wxWindow* actions_ = nullptr;
  wxWindow* information_ = nullptr;

  // Ports coming and going, looked for twice a second.
  PortWatch port_watch_;
  wxTimer port_timer_;

  // The notice target outlives the worker, whose destruction stops a
  // thread that may still post.
  WxNoticeTarget notices_;
  WorkerRunner runner_;
  std::unique_ptr<TracingView> trace_;
  COrvaLoadDlg logic_;
};

#include "app/dialog/dialog_wx.h"

#include <algorithm>
#include <string>
#include <utility>

#include <wx/icon.h>
#include <wx/statbox.h>

#include "res/orvaload.xpm"
#include "res/resource.h"

namespace {

// One worker notice in flight to the user-interface thread, held as a value:
// an event that is never handled (the dialog ended first) frees itself.
class NoticeEvent final : public wxEvent {
public:
  NoticeEvent(wxEventType type, Notice notice) : wxEvent(0, type), notice_(std::move(notice)) {}

  wxEvent* Clone() const override { return new NoticeEvent(*this); }

  const Notice& notice() const { return notice_; }

private:
  Notice notice_;
};

wxDEFINE_EVENT(EVT_UPGRADE_NOTIFY, NoticeEvent);

// The window system's line breaks; a GTK text view wants bare line feeds.
wxString status_text(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p != '\r') out += *p;
  }
  return wxString::FromUTF8(out.c_str());
}

} // namespace

bool WxNoticeTarget::post(uint32_t kind, void* payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  Notice notice;
  if (handler_ == nullptr || !notice_take(kind, payload, notice)) return false;
  wxQueueEvent(handler_, new NoticeEvent(EVT_UPGRADE_NOTIFY, std::move(notice)));
  return true;
}

void WxNoticeTarget::attach(wxEvtHandler* handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = handler;
}

void WxNoticeTarget::detach() {
  attach(nullptr);
}

OrvaWxDialog::OrvaWxDialog(COrvaLoadApp* app)
    : runner_(app != nullptr ? app->image : nullptr),
      logic_(traced_view(*this, trace_), notices_, runner_, app) {
  // A caption without a system menu: no close box, as on Windows.
  Create(nullptr, wxID_ANY, ORVA_DIALOG_CAPTION, wxDefaultPosition, wxDefaultSize, wxCAPTION);
  create_controls();

  // Escape is the cancel command even while the Cancel/Close button is disabled,
  // so it is handled here rather than by emulating a click.
  SetEscapeId(wxID_NONE);
  Bind(wxEVT_CHAR_HOOK, &OrvaWxDialog::on_char_hook, this);
  // A window manager's close request is one more route of the cancel command.
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { logic_.OnCancelClicked(); });
  upgrade_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { logic_.OnUpgradeClicked(); });
  cancel_close_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { logic_.OnCancelClicked(); });
  ports_->Bind(wxEVT_COMBOBOX, [this](wxCommandEvent&) { logic_.OnPortSelected(); });
  Bind(EVT_UPGRADE_NOTIFY, [this](NoticeEvent& event) {
    logic_.OnNotice(event.notice());
    // The focus went with the control disabled at the start of the run;
    // without it Return and Escape would not reach the dialog again.
    if (event.notice().kind == NOTIFY_DONE && FindFocus() == nullptr) upgrade_->SetFocus();
  });

  port_timer_.SetOwner(this);
  Bind(
      wxEVT_TIMER,
      [this](wxTimerEvent&) {
        if (port_watch_.changed()) logic_.OnPortsChanged();
      },
      port_timer_.GetId());

  notices_.attach(this);
  if (logic_.OnInitDialog()) upgrade_->SetFocus();
  port_timer_.Start(500);
}

OrvaWxDialog::~OrvaWxDialog() {
  port_timer_.Stop();
  notices_.detach();
}

void OrvaWxDialog::create_controls() {
  auto at = [this](int x, int y) { return ConvertDialogToPixels(wxPoint(x, y)); };
  auto sized = [this](int w, int h) { return ConvertDialogToPixels(wxSize(w, h)); };

  SetClientSize(sized(320, 145));

  // Creation order is the tab order of the Windows template.
  upgrade_ = new wxButton(this, IDC_UPGRADE, "Upgrade", at(187, 25), sized(50, 16));
  upgrade_->SetDefault();
  cancel_close_ = new wxButton(this, wxID_CANCEL, "Cancel", at(243, 25), sized(50, 16));
  actions_ = new wxStaticBox(this, IDC_ACTIONS, "Actions", at(18, 14), sized(285, 34));
  information_ =
      new wxStaticBox(this, IDC_INFORMATION, "Information/Progress", at(17, 60), sized(286, 68));
  progress_ = new wxGauge(this, IDC_PROGRESS, 100, at(27, 111), sized(266, 9),
                          wxGA_HORIZONTAL | wxGA_SMOOTH);
  ports_ = new wxComboBox(this, IDC_PORT_LIST, wxEmptyString, at(95, 26),
                          wxSize(sized(85, 12).GetWidth(), -1), 0, nullptr, wxCB_DROPDOWN);
  status_ = new wxTextCtrl(this, IDC_STATUS, wxEmptyString, at(29, 71), sized(264, 33),
                           wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP | wxBORDER_NONE);
  status_->SetBackgroundColour(GetBackgroundColour());
  label_ = new wxStaticText(this, IDC_CHOOSE_LABEL, "Choose interface", at(30, 28), sized(65, 12),
                            wxALIGN_LEFT);
  Centre();
}

wxWindow* OrvaWxDialog::control(int id) const {
  switch (id) {
  case IDC_UPGRADE:
    return upgrade_;
  case CANCEL_CLOSE_BUTTON:
    return cancel_close_;
  case IDC_ACTIONS:
    return actions_;
  case IDC_INFORMATION:
    return information_;
  case IDC_PROGRESS:
    return progress_;
  case IDC_PORT_LIST:
    return ports_;
  case IDC_STATUS:
    return status_;
  case IDC_CHOOSE_LABEL:
    return label_;
  default:
    return nullptr;
  }
}

void OrvaWxDialog::on_char_hook(wxKeyEvent& event) {
  if (event.GetKeyCode() == WXK_ESCAPE) {
    logic_.OnCancelClicked();
    return;
  }
  event.Skip();
}

int OrvaWxDialog::run() {
  const int result = ShowModal();
  notices_.detach();
  return result;
}

void OrvaWxDialog::set_icons() {
  SetIcon(wxIcon(orvaload_xpm));
}

std::string OrvaWxDialog::caption() const {
  return GetTitle().ToStdString();
}

void OrvaWxDialog::set_caption(const std::string& text) {
  SetTitle(text);
}

void OrvaWxDialog::set_text(int id, const char* text) {
  if (id == IDC_STATUS) {
    status_->ChangeValue(status_text(text));
    return;
  }
  if (wxWindow* window = control(id)) window->SetLabel(wxString::FromUTF8(text));
}

void OrvaWxDialog::set_enabled(int id, bool enabled) {
  if (wxWindow* window = control(id)) window->Enable(enabled);
}

void OrvaWxDialog::port_list_clear() {
  ports_->Clear();
}

int OrvaWxDialog::port_list_add(const char* text) {
  return ports_->Append(wxString::FromUTF8(text));
}

void OrvaWxDialog::port_list_set_data(int index, intptr_t data) {
  if (index >= 0 && index < static_cast<int>(ports_->GetCount()))
    ports_->SetClientData(index, reinterpret_cast<void*>(data));
}

void OrvaWxDialog::port_list_select(int index) {
  if (index >= 0 && index < static_cast<int>(ports_->GetCount())) ports_->SetSelection(index);
}

int OrvaWxDialog::port_list_selection() const {
  return ports_->GetSelection();
}

intptr_t OrvaWxDialog::port_list_data(int index) const {
  if (index < 0 || index >= static_cast<int>(ports_->GetCount())) return -1;
  return reinterpret_cast<intptr_t>(ports_->GetClientData(index));
}

void OrvaWxDialog::set_progress_range(int low, int high) {
  // A gauge always starts at 0, as the bar's range does.
  (void)low;
  progress_->SetRange(high);
}

void OrvaWxDialog::set_progress(int position) {
  // A gauge asserts on a value outside its range; the bar shows its ends instead.
  progress_->SetValue(std::clamp(position, 0, progress_->GetRange()));
}

void OrvaWxDialog::end_dialog(int result) {
  EndModal(result == DIALOG_RESULT_CANCEL ? wxID_CANCEL : result);
}

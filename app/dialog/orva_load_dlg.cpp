#include "app/dialog/orva_load_dlg.h"

#include <cstdio>
#include <string>

#include "res/resource.h"
#include "serial/latency_hint.h"

#ifndef ORVA_VERSION_TEXT
#define ORVA_VERSION_TEXT "2.00"
#endif

namespace {

constexpr int PORT_NAME_SIZE = 256;
constexpr int CANCEL_MESSAGE_SIZE = 256;
constexpr int DONE_MESSAGE_SIZE = 128;

const char GREETING[] =
    "Choose serial port connected to ORVA.\r\nActivate Data menu in ORVA and press Upgrade!\r\n"
    "During a run, Escape or closing this window cancels it.";

} // namespace

COrvaLoadDlg::COrvaLoadDlg(DialogView& view, NoticeTarget& notices, DialogRunner& runner,
                           COrvaLoadApp* app, DialogPorts& ports)
    : view_(view), notices_(notices), runner_(runner), app_(app), ports_(ports) {}

bool COrvaLoadDlg::OnInitDialog() {
  view_.set_icons();

  show_ports(ports_.list(), -1);

  view_.set_progress_range(0, DIALOG_PROGRESS_MAX);
  std::string caption = view_.caption() + ORVA_VERSION_TEXT;
  if (app_ != nullptr && !app_->image_name.empty())
    caption += " - " + app_->image_name; // nobody takes a file for the release
  view_.set_caption(caption);
  set_status(GREETING, true);
  show_latency_hint(false);
  return true;
}

void COrvaLoadDlg::OnUpgradeClicked() {
  if (app_ == nullptr) return;

  // Text typed into the list's edit field is never read: the port is the
  // selected entry's number, -1 when nothing is selected.
  const intptr_t number = view_.port_list_data(view_.port_list_selection());
  char name[PORT_NAME_SIZE];
  std::snprintf(name, sizeof name, "\\\\.\\COM%d", static_cast<int>(number));

  const SerialOpening opening = ports_.open(name, &app_->port_handle);
  if (opening.result != 0) {
    // What to do follows the open's own text.
    set_status((opening.text + opening.hint).c_str(), false);
    return;
  }
  running_ = true;
  idle_text_ = false;
  hint_shown_ = false;

  view_.set_enabled(IDC_UPGRADE, false);
  view_.set_enabled(IDC_PORT_LIST, false);
  view_.set_text(CANCEL_CLOSE_BUTTON, "Cancel");
  view_.set_enabled(CANCEL_CLOSE_BUTTON, false);
  runner_.start(&notices_, app_->port_handle);
}

void COrvaLoadDlg::OnCancelClicked() {
  if (app_ != nullptr && app_->port_handle != 0) {
    // The controls stay disabled until the worker's end notice restores them.
    runner_.stop();
    char message[CANCEL_MESSAGE_SIZE];
    ports_.close(&app_->port_handle, message);
    app_->port_handle = 0;
    return;
  }
  view_.end_dialog(DIALOG_RESULT_CANCEL);
}

int COrvaLoadDlg::OnUpgradeNotify(uint32_t kind, void* payload) {
  Notice notice;
  if (notice_take(kind, payload, notice)) OnNotice(notice);
  return 0;
}

void COrvaLoadDlg::OnNotice(const Notice& notice) {
  switch (notice.kind) {
  case NOTIFY_TEXT:
    set_status(notice.text.c_str(), false);
    break;
  case NOTIFY_PROGRESS:
    view_.set_progress(notice.value);
    break;
  case NOTIFY_DONE:
    view_.set_enabled(IDC_UPGRADE, true);
    view_.set_text(CANCEL_CLOSE_BUTTON, "Close");
    view_.set_enabled(CANCEL_CLOSE_BUTTON, true);
    view_.set_enabled(IDC_PORT_LIST, true);
    if (app_ != nullptr) {
      // After a cancel the slot already reads 0 and the close is refused.
      char message[DONE_MESSAGE_SIZE];
      ports_.close(&app_->port_handle, message);
      app_->port_handle = 0;
    }
    running_ = false;
    if (ports_changed_) OnPortsChanged();
    break;
  default:
    break;
  }
}

void COrvaLoadDlg::OnPortsChanged() {
  if (running_) {
    ports_changed_ = true;
    return;
  }
  ports_changed_ = false;
  const std::vector<PortEntry> ports = ports_.list();
  const auto numbers = [](const std::vector<PortEntry>& entries) {
    std::vector<int> n;
    for (const PortEntry& port : entries) n.push_back(port.number);
    return n;
  };
  if (numbers(ports) == numbers(listed_)) {
    listed_ = ports; // the same ports; an adapter's settings may have changed
  } else {
    const intptr_t selected = view_.port_list_data(view_.port_list_selection());
    view_.port_list_clear();
    show_ports(ports, selected);
  }
  show_latency_hint(false);
}

void COrvaLoadDlg::OnPortSelected() {
  show_latency_hint(true);
}

// Only an FTDI adapter with a slow latency timer ever changes the status box
// here; for every other port it stays as it is.
void COrvaLoadDlg::show_latency_hint(bool chose) {
  if (running_ || (!idle_text_ && !chose)) return;
  const intptr_t number = view_.port_list_data(view_.port_list_selection());
  std::string hint;
  for (const PortEntry& port : listed_) {
    if (port.number == number) hint = latency_hint(port, runner_.answers());
  }
  if (!hint.empty()) {
    set_status((std::string(GREETING) + "\r\n" + hint).c_str(), true);
  } else if (hint_shown_) {
    set_status(GREETING, true);
  }
  hint_shown_ = !hint.empty() && idle_text_;
}

void COrvaLoadDlg::set_status(const char* text, bool idle_text) {
  view_.set_text(IDC_STATUS, text);
  idle_text_ = idle_text;
  hint_shown_ = false;
}

void COrvaLoadDlg::show_ports(const std::vector<PortEntry>& ports, intptr_t keep) {
  listed_.clear();
  int selected = 0;
  for (const PortEntry& port : ports) {
    char text[48];
    std::snprintf(text, sizeof text, "Serial Port: COM%d", port.number);
    const int index = static_cast<int>(listed_.size());
    view_.port_list_add(text);
    view_.port_list_set_data(index, port.number);
    if (port.number == keep) selected = index;
    listed_.push_back(port);
  }
  view_.port_list_select(selected);
}

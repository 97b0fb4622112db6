#include "app/dialog/orva_load_dlg.h"

#include <cstdio>
#include <string>

#include "res/resource.h"

#ifndef ORVA_VERSION_TEXT
#define ORVA_VERSION_TEXT "2.00"
#endif

namespace {

constexpr int PORT_NAME_SIZE = 256;
constexpr int CANCEL_MESSAGE_SIZE = 256;
constexpr int DONE_MESSAGE_SIZE = 128;

const char GREETING[] =
    "Choose serial port connected to ORVA.\r\nActivate Data menu in ORVA and press Upgrade!";

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
  view_.set_text(IDC_STATUS, GREETING);
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
    view_.set_text(IDC_STATUS, (opening.text + opening.hint).c_str());
    return;
  }
  running_ = true;

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
    view_.set_text(IDC_STATUS, notice.text.c_str());
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
  std::vector<int> numbers;
  for (const PortEntry& port : ports) numbers.push_back(port.number);
  if (numbers == listed_) return;
  const intptr_t selected = view_.port_list_data(view_.port_list_selection());
  view_.port_list_clear();
  show_ports(ports, selected);
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
    listed_.push_back(port.number);
  }
  view_.port_list_select(selected);
}

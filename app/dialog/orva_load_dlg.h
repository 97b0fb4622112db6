// The upgrade dialog's behaviour, shared by the Win32 and the wx front ends:
// port discovery, the Upgrade and Cancel/Close buttons, the run states and
// the worker's notices. Every call comes on the user-interface thread.
#pragma once

#include <cstdint>
#include <vector>

#include "app/dialog/dialog_ports.h"
#include "app/dialog/dialog_runner.h"
#include "app/dialog/dialog_view.h"
#include "app/dialog/orva_load_app.h"
#include "notify/notify.h"

constexpr int DIALOG_RESULT_CANCEL = 2; // IDCANCEL
constexpr int DIALOG_PROGRESS_MAX = 1000;

// Where a minimised dialog draws its icon along one axis: centred, with the
// odd pixel going to the far side (signed division truncates towards zero).
constexpr int dialog_icon_origin(int client, int icon) {
  return (client - icon + 1) / 2;
}

class COrvaLoadDlg {
public:
  // `app` may be missing: Upgrade then does nothing and the Cancel/Close
  // button ends the dialog.
  COrvaLoadDlg(DialogView& view, NoticeTarget& notices, DialogRunner& runner, COrvaLoadApp* app,
               DialogPorts& ports = system_ports());
  COrvaLoadDlg(const COrvaLoadDlg&) = delete;
  COrvaLoadDlg& operator=(const COrvaLoadDlg&) = delete;

  // Returns true: the focus goes to the first control, Upgrade.
  bool OnInitDialog();
  void OnUpgradeClicked();
  void OnCancelClicked();
  // The posted notice message: takes the payload over and applies it
  // (kinds 1 to 4; any other kind and its payload are left alone). Returns 0.
  int OnUpgradeNotify(uint32_t kind, void* payload);
  // Applies one notice already taken over.
  void OnNotice(const Notice& notice);
  // Ports came or went: the list follows while the dialog is idle, keeping
  // the selected port when it is still there; during a run it waits for the
  // run's end.
  void OnPortsChanged();
  // The user picked another entry of the port list.
  void OnPortSelected();

private:
  // Fills the list anew; selects the entry of port `keep`, or the first.
  void show_ports(const std::vector<PortEntry>& ports, intptr_t keep);
  // The selected port's latency hint under the greeting, while idle and while
  // the status box holds no run's text, or at once when the user `chose` it.
  void show_latency_hint(bool chose);
  void set_status(const char* text, bool idle_text);

  DialogView& view_;
  NoticeTarget& notices_;
  DialogRunner& runner_;
  COrvaLoadApp* app_;
  DialogPorts& ports_;
  std::vector<PortEntry> listed_; // the ports the list shows, in order
  bool running_ = false;          // from a successful open to the done notice
  bool ports_changed_ = false;    // while running
  bool idle_text_ = true;         // the status box holds the greeting
  bool hint_shown_ = false;       // and the latency hint under it
};

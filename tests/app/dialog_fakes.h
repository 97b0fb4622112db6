// A window, the ports and a runner that only remember what the dialog
// did to them, so its behaviour can be checked without a toolkit.
#pragma once

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/dialog/dialog_ports.h"
#include "app/dialog/dialog_runner.h"
#include "app/dialog/dialog_view.h"
#include "res/resource.h"

class FakeView final : public DialogView {
public:
  FakeView() {
    // As the dialog template creates them.
    text[IDC_UPGRADE] = "Upgrade";
    text[CANCEL_CLOSE_BUTTON] = "Cancel";
    for (int id : {IDC_UPGRADE, CANCEL_CLOSE_BUTTON, IDC_PORT_LIST, IDC_STATUS, IDC_PROGRESS})
      enabled[id] = true;
  }

  void set_icons() override { icons_set = true; }
  std::string caption() const override { return window_caption; }
  void set_caption(const std::string& t) override { window_caption = t; }
  void set_text(int control, const char* t) override { text[control] = t; }
  void set_enabled(int control, bool e) override { enabled[control] = e; }
  void port_list_clear() override {
    entries.clear();
    data.clear();
    selection = -1;
    ++clears;
  }
  int port_list_add(const char* t) override {
    entries.push_back(t);
    data.push_back(-1);
    return static_cast<int>(entries.size()) - 1;
  }
  void port_list_set_data(int index, intptr_t d) override { data.at(index) = d; }
  void port_list_select(int index) override {
    selection = index >= 0 && index < static_cast<int>(entries.size()) ? index : -1;
  }
  int port_list_selection() const override { return selection; }
  intptr_t port_list_data(int index) const override {
    return index >= 0 && index < static_cast<int>(data.size()) ? data[index] : -1;
  }
  void set_progress_range(int low, int high) override {
    range_low = low;
    range_high = high;
  }
  void set_progress(int position) override { progress = position; }
  void end_dialog(int result) override { ended = result; }

  bool icons_set = false;
  std::string window_caption = ORVA_DIALOG_CAPTION;
  std::map<int, std::string> text;
  std::map<int, bool> enabled;
  std::vector<std::string> entries;
  std::vector<intptr_t> data;
  int selection = -1;
  int clears = 0;
  int range_low = 0;
  int range_high = 100;
  int progress = 0;
  int ended = 0; // 0 while the dialog runs
};

class FakePorts final : public DialogPorts {
public:
  explicit FakePorts(std::set<int> present = {}) : present_(std::move(present)) {}

  SerialOpening open(const char* name, PortHandle* slot) override {
    opened.push_back(name);
    if (fail_open) return {2, "serial port open failed!\r\n", hint_text};
    *slot = next_handle++;
    return {};
  }
  uint8_t close(PortHandle* slot, char* message) override {
    if (*slot == 0) {
      std::snprintf(message, 64, "%s", "failed to close handle\r\n");
      ++refused_closes;
      return 1;
    }
    closed.push_back(*slot);
    message[0] = '\0';
    return 0;
  }
  std::vector<PortEntry> list() override {
    ++lists;
    std::vector<PortEntry> entries;
    for (int number : present_)
      entries.push_back({number, "/dev/fake" + std::to_string(number), usb[number], ""});
    return entries;
  }

  void set_present(std::set<int> present) { present_ = std::move(present); }

  bool fail_open = false;
  std::string hint_text;          // what the hint after a failed open says
  std::map<int, UsbIdentity> usb; // by port number
  PortHandle next_handle = 0x1000;
  std::vector<std::string> opened;
  std::vector<PortHandle> closed;
  int refused_closes = 0;
  int lists = 0;

private:
  std::set<int> present_;
};

class FakeRunner final : public DialogRunner {
public:
  int start(NoticeTarget* target, PortHandle port) override {
    starts.push_back({target, port});
    return 0;
  }
  int stop() override {
    ++stops;
    return 0;
  }
  uint32_t answers() const override { return 818; }

  struct Start {
    NoticeTarget* target;
    PortHandle port;
  };
  std::vector<Start> starts;
  int stops = 0;
};

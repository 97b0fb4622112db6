// What the upgrade dialog's behaviour needs from the world around it: the
// window's controls (a view), the serial layer and the upgrade worker. The
// Win32 and wx front ends map these onto their toolkits; the tests fake them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/port.h"
#include "notify/notify.h"
#include "serial/port_list.h"

class DialogView {
public:
  virtual ~DialogView() = default;

  virtual void set_icons() = 0;
  virtual std::string caption() const = 0;
  virtual void set_caption(const std::string& text) = 0;

  // Controls by their dialog id (res/resource.h).
  virtual void set_text(int control, const char* text) = 0;
  virtual void set_enabled(int control, bool enabled) = 0;

  // The port list keeps entries in the order added; item data of an index
  // that does not exist (such as -1, nothing selected) reads -1.
  virtual int port_list_add(const char* text) = 0;
  virtual void port_list_set_data(int index, intptr_t data) = 0;
  virtual void port_list_select(int index) = 0;
  virtual int port_list_selection() const = 0;
  virtual intptr_t port_list_data(int index) const = 0;

  virtual void set_progress_range(int low, int high) = 0;
  virtual void set_progress(int position) = 0;

  virtual void end_dialog(int result) = 0;
};

class PortLayer {
public:
  virtual ~PortLayer() = default;
  virtual uint8_t open(const char* name, PortHandle* slot, char* message) = 0;
  virtual uint8_t close(PortHandle* slot, char* message) = 0;
  // The ports to offer, in the order they are offered.
  virtual std::vector<PortEntry> list() = 0;
};

// The real serial layer.
class SystemPorts final : public PortLayer {
public:
  uint8_t open(const char* name, PortHandle* slot, char* message) override;
  uint8_t close(PortHandle* slot, char* message) override;
  std::vector<PortEntry> list() override;
};

class DialogWorker {
public:
  virtual ~DialogWorker() = default;
  // Starts one run that reports to `target`; returns at once.
  virtual int start(NoticeTarget* target, PortHandle port) = 0;
  // Returns once no worker thread runs.
  virtual int stop() = 0;
};

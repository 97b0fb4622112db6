#include "serial/port_watch.h"

#include <libudev.h>
#include <poll.h>

#include <cstring>

PortWatch::PortWatch() : udev_(udev_new()) {
  if (!udev_) return;
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
                   udev_monitor_enable_receiving(monitor_) < 0)) {
    udev_monitor_unref(monitor_);
    monitor_ = nullptr;
  }
}

PortWatch::~PortWatch() {
  if (monitor_) udev_monitor_unref(monitor_);
  if (udev_) udev_unref(udev_);
}

bool PortWatch::changed() {
  if (!monitor_) return false;
  bool changed = false;
  // Every event waiting is taken, so a burst counts once; the number taken
  // in one call is bounded so that a flood cannot hold the caller.
  for (int taken = 0; taken < 256; ++taken) {
    pollfd watch{udev_monitor_get_fd(monitor_), POLLIN, 0};
    if (poll(&watch, 1, 0) <= 0) break;
    udev_device* device = udev_monitor_receive_device(monitor_);
    if (!device) break;
    const char* action = udev_device_get_action(device);
    if (action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0)) {
      changed = true;
    }
    udev_device_unref(device);
  }
  return changed;
}

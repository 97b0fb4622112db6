// Tells when serial ports come or go: on Linux from udev's events for the
// tty devices; on Windows it always says they may have (look again).
#pragma once

struct udev;
struct udev_monitor;

class PortWatch {
public:
  PortWatch();
  ~PortWatch();
  PortWatch(const PortWatch&) = delete;
  PortWatch& operator=(const PortWatch&) = delete;

  // True when a tty device was added or removed since the last call. Never
  // waits; always false when udev could not be watched (Linux), always true
  // (Windows).
  bool changed();

private:
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
};

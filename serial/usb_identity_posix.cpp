#include "serial/usb_identity.h"

#include <libudev.h>
#include <sys/stat.h>

namespace {

std::string attribute(udev_device* device, const char* name) {
  const char* value = udev_device_get_sysattr_value(device, name);
  return value ? value : "";
}

} // namespace

UsbIdentity usb_identity_of(const PortEntry& port) {
  UsbIdentity usb;
  struct stat st;
  if (stat(port.device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return usb;
  udev* context = udev_new();
  if (!context) return usb;
  udev_device* tty = udev_device_new_from_devnum(context, 'c', st.st_rdev);
  // The parent belongs to `tty` and goes with it.
  udev_device* adapter =
      tty ? udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device") : nullptr;
  if (adapter) {
    usb.vendor_id = attribute(adapter, "idVendor");
    usb.product_id = attribute(adapter, "idProduct");
    usb.manufacturer = attribute(adapter, "manufacturer");
    usb.product = attribute(adapter, "product");
    usb.serial = attribute(adapter, "serial");
    const char* socket = udev_device_get_sysname(adapter); // "1-2.3": bus 1, port 2, hub port 3
    usb.location = socket ? socket : "";
  }
  if (tty) udev_device_unref(tty);
  udev_unref(context);
  return usb;
}

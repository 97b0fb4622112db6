// The dialog's port list against the real port layer while umockdev fakes
// USB serial adapters being plugged in and pulled out. Runs under
// umockdev-wrapper, which puts the fake /sys, /dev and udev in place.
#include <gtest/gtest.h>
#include <umockdev.h>

#include <cstdio>
#include <string>

#include "app/dialog/orva_load_dlg.h"
#include "notify/notice_queue.h"
#include "serial/port_watch.h"
#include "tests/app/dialog_fakes.h"

namespace {

struct Adapter {
  const char* usb_name; // the USB device's sysfs name
  const char* vendor;
  const char* product_id;
  const char* serial;
  const char* tty;
  int minor; // of major 188, ttyUSB
};

std::string usb_path(const Adapter& a) {
  return std::string("/sys/devices/pci0000:00/0000:00:14.0/usb1/") + a.usb_name;
}

std::string tty_path(const Adapter& a) {
  return usb_path(a) + "/" + a.usb_name + ":1.0/" + a.tty + "/tty/" + a.tty;
}

// Adds the USB device, its interface and its tty, and tells udev.
void plug(UMockdevTestbed* bed, const Adapter& a) {
  const std::string usb = usb_path(a).substr(4); // without /sys
  const std::string tty = tty_path(a).substr(4);
  const std::string minor = std::to_string(a.minor);
  const std::string records =
      "P: " + usb + "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nA: idVendor=" + a.vendor +
      "\nA: idProduct=" + a.product_id + "\nA: serial=" + a.serial + "\n\n" + "P: " + usb + "/" +
      a.usb_name + ":1.0\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\n\n" + "P: " + tty +
      "\nN: " + a.tty + "\nE: DEVNAME=/dev/" + a.tty + "\nE: MAJOR=188\nE: MINOR=" + minor +
      "\nE: SUBSYSTEM=tty\nA: dev=188:" + minor + "\n";
  GError* error = nullptr;
  ASSERT_TRUE(umockdev_testbed_add_from_string(bed, records.c_str(), &error))
      << (error ? error->message : "");
  umockdev_testbed_uevent(bed, tty_path(a).c_str(), "add");
}

// Takes the devices away again, the device node with them, as the kernel
// does (the testbed leaves nodes it made from records in place).
void unplug(UMockdevTestbed* bed, const Adapter& a) {
  umockdev_testbed_uevent(bed, tty_path(a).c_str(), "remove");
  umockdev_testbed_remove_device(bed, usb_path(a).c_str());
  gchar* root = umockdev_testbed_get_root_dir(bed);
  const std::string node = std::string(root) + "/dev/" + a.tty;
  g_free(root);
  std::remove(node.c_str());
}

const Adapter CP2102{"1-1", "10c4", "ea60", "0001", "ttyUSB0", 0};
const Adapter FT232R{"1-2", "0403", "6001", "A50285BI", "ttyUSB1", 1};

} // namespace

TEST(DialogHotplug, ListFollowsAdaptersPluggedAndPulledWhileIdle) {
  UMockdevTestbed* bed = umockdev_testbed_new();
  ASSERT_TRUE(umockdev_in_mock_environment()) << "run under umockdev-wrapper";
  plug(bed, CP2102);

  FakeView view;
  NoticeQueue notices;
  FakeRunner runner;
  COrvaLoadApp app;
  SystemPorts ports;
  PortWatch watch;
  COrvaLoadDlg dlg{view, notices, runner, &app, ports};
  dlg.OnInitDialog();
  EXPECT_EQ(view.entries, (std::vector<std::string>{"Serial Port: COM33"}));
  EXPECT_FALSE(watch.changed());

  plug(bed, FT232R);
  ASSERT_TRUE(watch.changed());
  dlg.OnPortsChanged();
  EXPECT_EQ(view.entries, (std::vector<std::string>{"Serial Port: COM33", "Serial Port: COM34"}));
  EXPECT_EQ(view.selection, 0);

  view.port_list_select(1);
  unplug(bed, CP2102);
  ASSERT_TRUE(watch.changed());
  EXPECT_FALSE(watch.changed()) << "one event is seen once";
  dlg.OnPortsChanged();
  EXPECT_EQ(view.entries, (std::vector<std::string>{"Serial Port: COM34"}));
  EXPECT_EQ(view.data, (std::vector<intptr_t>{34}));
  EXPECT_EQ(view.selection, 0);

  unplug(bed, FT232R);
  ASSERT_TRUE(watch.changed());
  dlg.OnPortsChanged();
  EXPECT_TRUE(view.entries.empty());
  EXPECT_EQ(view.selection, -1);
  g_object_unref(bed);
}

// What the port list says about each port, and how a USB serial number
// picks one: pure functions, the same on every platform.
#include <gtest/gtest.h>

#include "serial/latency_hint.h"
#include "serial/port_list.h"
#include "serial/usb_identity.h"

TEST(PortList, DescriptionLeavesOutWhatTheAdapterDoesNotTell) {
  EXPECT_EQ(usb_description({"10c4", "ea60", "Silicon Labs", "CP2102 USB to UART", "0001"}),
            "10c4:ea60 Silicon Labs CP2102 USB to UART serial=0001");
  EXPECT_EQ(usb_description({"0403", "6001", "", "FT232R USB UART", ""}),
            "0403:6001 FT232R USB UART");
  EXPECT_EQ(usb_description({"1a86", "7523", "", "", ""}), "1a86:7523");
  EXPECT_EQ(usb_description({}), "");
}

TEST(PortList, UsbSerialFindsOnePortPerDevice) {
  const std::vector<PortEntry> ports = {
      {1, "/dev/ttyS0", {}, ""},
      {7, "/dev/ttyUSB0", {"10c4", "ea60", "", "", "0001"}, ""}, // a link to COM33's device
      {33, "/dev/ttyUSB0", {"10c4", "ea60", "", "", "0001"}, ""},
      {34, "/dev/ttyUSB1", {"0403", "6001", "", "", "A50285BI"}, ""},
      {35, "/dev/ttyUSB2", {"0403", "6001", "", "", "0001X"}, ""},
  };
  const std::vector<PortEntry> one = ports_with_usb_serial(ports, "0001");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].number, 7);
  EXPECT_EQ(port_names(ports_with_usb_serial(ports, "A50285BI")), "COM34 (/dev/ttyUSB1)");
  EXPECT_TRUE(ports_with_usb_serial(ports, "").empty()) << "no serial number matches none";
  EXPECT_TRUE(ports_with_usb_serial(ports, "a50285bi").empty()) << "serial numbers are exact";
  EXPECT_EQ(port_names({}), "none");
}

TEST(PortList, WindowsInstanceIdsGiveIdsAndSerialNumbers) {
  struct Case {
    const char* id;
    UsbIdentity want;
  };
  const Case cases[] = {
      {"USB\\VID_10C4&PID_EA60\\0001", {"10c4", "ea60", "", "", "0001"}},
      {"USB\\VID_10C4&PID_EA60\\5&2F3A1B&0&2", {"10c4", "ea60", "", "", ""}}, // generated
      {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", {"0403", "6001", "", "", "A50285BI"}},
      {"USB\\VID_2341&PID_0043&MI_00\\6&1A2B&0&0000", {}}, // an interface: its parent tells
      {"ACPI\\PNP0501\\1", {}},
      {"USB\\VID_10C&PID_EA60\\0001", {}},
      {"USB\\VID_10CG&PID_EA60\\0001", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    const UsbIdentity got = usb_identity_from_instance_id(c.id);
    EXPECT_EQ(usb_description(got), usb_description(c.want)) << c.id;
  }
}

TEST(PortList, OnlyAnFtdiAdapterWithASlowLatencyTimerGetsTheHint) {
  struct Case {
    const char* vendor;
    int latency_ms;
    bool hint;
  };
  const Case cases[] = {{"0403", 16, true},  {"0403", 3, true},   {"0403", 2, false},
                        {"0403", -1, false}, {"10c4", 16, false}, {"", 16, false}};
  for (const Case& c : cases) {
    PortEntry port{3, "", {c.vendor, "6001", "", "", ""}, ""};
    port.usb.latency_ms = c.latency_ms;
    EXPECT_EQ(!latency_hint(port, 818).empty(), c.hint) << c.vendor << " " << c.latency_ms;
  }
  PortEntry ftdi{3, "", {"0403", "6001", "", "", ""}, ""};
  ftdi.usb.latency_ms = 16;
  EXPECT_EQ(
      latency_hint(ftdi, 818),
      "COM3: the FTDI adapter's latency timer is 16 ms, which can make the upgrade up to 13 s "
      "longer; set it to 1 ms in Device Manager: the port's Properties, Port Settings, "
      "Advanced, Latency Timer");
}

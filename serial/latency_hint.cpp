#include "serial/latency_hint.h"

namespace {

const char FTDI_VENDOR_ID[] = "0403";

} // namespace

std::string latency_hint(const PortEntry& port, uint32_t answers) {
  if (port.usb.vendor_id != FTDI_VENDOR_ID || port.usb.latency_ms <= LATENCY_HINT_ABOVE_MS) {
    return "";
  }
  const uint64_t extra_ms = uint64_t{answers} * static_cast<uint64_t>(port.usb.latency_ms);
  return "COM" + std::to_string(port.number) + ": the FTDI adapter's latency timer is " +
         std::to_string(port.usb.latency_ms) + " ms, which can make the upgrade up to " +
         std::to_string((extra_ms + 500) / 1000) +
         " s longer; set it to 1 ms in Device Manager: the port's Properties, Port Settings, "
         "Advanced, Latency Timer";
}

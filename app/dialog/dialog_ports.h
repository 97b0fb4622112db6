// The ports the upgrade dialog offers, opens and closes: the serial layer in
// the programs, a fake in the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/port.h"
#include "serial/port_list.h"
#include "serial/serial.h"

class DialogPorts {
public:
  virtual ~DialogPorts() = default;
  // serial_open_explained: on failure the open's text and, where one
  // applies, the line on why and what to do.
  virtual SerialOpening open(const char* name, PortHandle* slot) = 0;
  virtual uint8_t close(PortHandle* slot, char* message) = 0;
  // The ports to offer, in the order they are offered.
  virtual std::vector<PortEntry> list() = 0;
};

// The real serial layer.
class SystemPorts final : public DialogPorts {
public:
  SerialOpening open(const char* name, PortHandle* slot) override;
  uint8_t close(PortHandle* slot, char* message) override;
  std::vector<PortEntry> list() override;
};

// The one SystemPorts of the program.
DialogPorts& system_ports();

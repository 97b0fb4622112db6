// The ports the upgrade dialog offers, opens and closes: the serial layer in
// the programs, a fake in the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/port.h"
#include "serial/port_list.h"

class DialogPorts {
public:
  virtual ~DialogPorts() = default;
  virtual uint8_t open(const char* name, PortHandle* slot, char* message) = 0;
  virtual uint8_t close(PortHandle* slot, char* message) = 0;
  // The ports to offer, in the order they are offered.
  virtual std::vector<PortEntry> list() = 0;
  // After a failed open of `name`: one line on why, and what to do.
  virtual std::string hint(const char* name) = 0;
};

// The real serial layer.
class SystemPorts final : public DialogPorts {
public:
  uint8_t open(const char* name, PortHandle* slot, char* message) override;
  uint8_t close(PortHandle* slot, char* message) override;
  std::vector<PortEntry> list() override;
  std::string hint(const char* name) override;
};

// The one SystemPorts of the program.
DialogPorts& system_ports();

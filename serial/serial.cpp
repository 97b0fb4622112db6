// Opening and closing a port: the order of the driver calls, the result
// codes and the texts, the same on every platform.
#include "serial/serial.h"

#include <cstring>
#include <mutex>
#include <set>

#include "serial/system_port.h"

namespace {

const char TEXT_PARAMETERS[] = "serial port internal parameters error!\r\n";
const char TEXT_OPEN[] = "serial port open failed!\r\n";
const char TEXT_GET_STATE[] = "serial port get state failed!\r\n";
const char TEXT_GET_TIMEOUTS[] = "serial port get timeouts failed!\r\n";
const char TEXT_SET_TIMEOUTS[] = "serial port set timeouts failed!\r\n";
const char TEXT_SET_STATE[] = "serial port set state failed!\r\n";
const char TEXT_CLOSE[] = "failed to close handle\r\n";

void put_text(char* message, const char* text) {
  if (message) std::memcpy(message, text, std::strlen(text) + 1);
}

// The ports this module has opened and not yet closed. A handle is a pointer
// to its port object, so closing a handle that is not in here (0, one closed
// before, or a stray value) must be refused rather than followed.
class OpenPorts {
public:
  void add(SystemPort* port) {
    std::lock_guard<std::mutex> lock(mutex_);
    ports_.insert(handle_from_port(port));
  }
  SystemPort* take(PortHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ports_.erase(handle) == 0) return nullptr;
    return static_cast<SystemPort*>(port_from_handle(handle));
  }

private:
  std::mutex mutex_;
  std::set<PortHandle> ports_;
};

OpenPorts& open_ports() {
  static OpenPorts ports;
  return ports;
}

// Runs the driver calls in their fixed order: time-outs before line
// settings, so a port whose line settings are refused has already had its
// time-outs changed when it is closed again.
uint8_t configure(SystemPort* port, const char** text) {
  if (!port->get_state()) {
    *text = TEXT_GET_STATE;
    return 3;
  }
  if (!port->get_timeouts()) {
    *text = TEXT_GET_TIMEOUTS;
    return 4;
  }
  if (!port->set_timeouts()) {
    *text = TEXT_SET_TIMEOUTS;
    return 5;
  }
  if (!port->set_state()) {
    *text = TEXT_SET_STATE;
    return 6;
  }
  return 0;
}

struct Attempt {
  uint8_t result;
  OpenFailure failure; // with result 2
};

// serial_open's steps once its arguments are known to be there.
Attempt attempt_open(const char* name, PortHandle* slot, char* message) {
  const SystemOpen opened = system_port_open(name);
  SystemPort* port = opened.port;
  *slot = handle_from_port(port);
  message[0] = '\0';
  if (!port) {
    put_text(message, TEXT_OPEN);
    *slot = 0;
    return {2, opened.failure};
  }

  const char* text = nullptr;
  const uint8_t result = configure(port, &text);
  if (result != 0) {
    put_text(message, text);
    port->close();
    delete port;
    *slot = 0;
    return {result, OpenFailure::none};
  }
  open_ports().add(port);
  return {0, OpenFailure::none};
}

} // namespace

uint8_t serial_open(const char* name, PortHandle* slot, char* message) {
  if (!slot || !name) {
    put_text(message, TEXT_PARAMETERS);
    return 1;
  }
  if (!message) return 1;
  return attempt_open(name, slot, message).result;
}

SerialOpening serial_open_explained(const char* name, PortHandle* slot) {
  char message[SERIAL_MESSAGE_SIZE] = "";
  SerialOpening opening;
  if (!slot || !name) {
    opening.result = serial_open(name, slot, message);
  } else {
    const Attempt attempt = attempt_open(name, slot, message);
    opening.result = attempt.result;
    if (attempt.result == 2) opening.hint = system_port_hint(name, attempt.failure);
    // One line of a path's length at most, as the dialog and orvaload-cli
    // have always shown it.
    if (opening.hint.size() >= SERIAL_PATH_SIZE) opening.hint.resize(SERIAL_PATH_SIZE - 1);
  }
  opening.text = message;
  return opening;
}

uint8_t serial_close(PortHandle* slot, char* message) {
  if (!slot) return 0;
  SystemPort* port = open_ports().take(*slot);
  const bool closed = port && port->close();
  delete port;
  if (closed) return 0;
  put_text(message, TEXT_CLOSE);
  return 1;
}

// Serial ports on Windows: the COM driver's own calls.
#include "serial/system_port.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <string>

#include "serial/com_name.h"
#include "serial/counted_read.h"
#include "serial/latency_hint.h"
#include "serial/port_list.h"
#include "serial/serial.h"
#include "serial/usb_identity.h"

namespace {

// Every name is opened in its "\\.\COMn" form: COM10 and above cannot be
// opened without the prefix, and only COM ports are ever opened.
bool device_name(const char* name, char* out, size_t size) {
  const int number = com_number(name);
  if (number == 0) return false;
  const int written = std::snprintf(out, size, "\\\\.\\COM%d", number);
  return written > 0 && static_cast<size_t>(written) < size;
}

// Synchronous reads on the open port, ended by its time-outs or on count.
class ComDriver final : public CountedDriver {
public:
  explicit ComDriver(HANDLE handle) : handle_(handle) {}

  bool read(uint8_t* buffer, size_t count, size_t* got) override {
    *got = 0;
    const DWORD asked = count > MAXDWORD ? MAXDWORD : static_cast<DWORD>(count);
    DWORD n = 0;
    if (!ReadFile(handle_, buffer, asked, &n, nullptr)) return false;
    *got = n;
    return true;
  }
  bool queued(size_t* count) override {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) return false;
    *count = status.cbInQue;
    return true;
  }
  uint64_t now_ms() override { return GetTickCount64(); }

private:
  HANDLE handle_;
};

class Win32Port final : public SystemPort {
public:
  explicit Win32Port(HANDLE handle) : handle_(handle), driver_(handle) {}

  // Ends on the interval time-out after the last byte, or after the total.
  bool read(uint8_t* buffer, size_t capacity, size_t* got) override {
    return driver_.read(buffer, capacity, got);
  }
  // Ends as soon as the caller's check finds the answer complete.
  bool read_until(uint8_t* buffer, size_t capacity, size_t* got, const ReadCheck& check) override {
    return counted_read_until(driver_, buffer, capacity, got, check);
  }
  bool write(const uint8_t* data, size_t size) override;

  bool get_state() override {
    state_.DCBlength = sizeof state_;
    return GetCommState(handle_, &state_) != 0;
  }
  bool get_timeouts() override { return GetCommTimeouts(handle_, &timeouts_) != 0; }
  bool set_timeouts() override;
  bool set_state() override;
  bool close() override { return CloseHandle(handle_) != 0; }

private:
  HANDLE handle_;
  ComDriver driver_;
  DCB state_{};
  COMMTIMEOUTS timeouts_{};
};

bool Win32Port::set_timeouts() {
  timeouts_.ReadIntervalTimeout = 1;
  timeouts_.ReadTotalTimeoutMultiplier = 1;
  timeouts_.ReadTotalTimeoutConstant = 1;
  timeouts_.WriteTotalTimeoutMultiplier = 1;
  timeouts_.WriteTotalTimeoutConstant = 1;
  return SetCommTimeouts(handle_, &timeouts_) != 0;
}

// Only these fields change; DTR, error and XON/XOFF characters and the rest
// stay as the driver had them.
bool Win32Port::set_state() {
  state_.BaudRate = CBR_115200;
  state_.ByteSize = 8;
  state_.Parity = NOPARITY;
  state_.StopBits = ONESTOPBIT;
  state_.fOutxCtsFlow = FALSE;
  state_.fOutxDsrFlow = FALSE;
  state_.fOutX = FALSE;
  state_.fInX = FALSE;
  state_.fRtsControl = RTS_CONTROL_DISABLE;
  return SetCommState(handle_, &state_) != 0;
}

// A write that ends by time-out reports success with fewer bytes written; a
// frame cut short never reaches the controller whole, so that is an error.
bool Win32Port::write(const uint8_t* data, size_t size) {
  if (size > MAXDWORD) return false;
  DWORD count = 0;
  if (!WriteFile(handle_, data, static_cast<DWORD>(size), &count, nullptr)) return false;
  return count == size;
}

// What the error of a failed CreateFileA says about the port.
OpenFailure failure_of(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
    return OpenFailure::missing;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
    return OpenFailure::busy;
  default:
    return OpenFailure::other;
  }
}

} // namespace

SystemOpen system_port_open(const char* name) {
  char device[32];
  if (!device_name(name, device, sizeof device)) return {nullptr, OpenFailure::no_name};
  const HANDLE handle = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_NO_BUFFERING, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {nullptr, failure_of(GetLastError())};
  SystemPort* port = new (std::nothrow) Win32Port(handle);
  if (!port) {
    CloseHandle(handle);
    return {nullptr, OpenFailure::other};
  }
  return {port, OpenFailure::none};
}

bool system_port_find(int number, PortEntry* port) {
  if (number < SERIAL_LIST_FIRST || number > SERIAL_LIST_LAST) return false;
  char name[16];
  std::snprintf(name, sizeof name, "COM%d", number);
  char target[260];
  target[0] = '\0';
  if (QueryDosDeviceA(name, target, sizeof target) == 0) return false;
  port->device = target; // the first of the names it stands for
  port->usb = usb_identity_of(*port);
  return true;
}

bool serial_resolve_name(const char* name, char* path, size_t size) {
  return path && size > 0 && device_name(name, path, size);
}

bool serial_port_present(const char* name) {
  char device[32];
  char target[260];
  return device_name(name, device, sizeof device) &&
         QueryDosDeviceA(device + 4, target, sizeof target) != 0;
}

std::string serial_latency_hint(const char* name, uint32_t answers) {
  PortEntry port{com_number(name), "", {}, ""};
  return system_port_find(port.number, &port) ? latency_hint(port, answers) : "";
}

std::string system_port_hint(const char* name, OpenFailure failure) {
  char device[32];
  if (failure == OpenFailure::no_name || !device_name(name, device, sizeof device)) {
    return "'" + std::string(name ? name : "").substr(0, 64) + "' is no port name: give COM" +
           std::to_string(COM_NUMBER_FIRST) + " to COM" + std::to_string(COM_NUMBER_LAST) +
           " or \\\\.\\COMn";
  }
  return "tried " + std::string(device) + ", which " + open_failure_reason(failure);
}

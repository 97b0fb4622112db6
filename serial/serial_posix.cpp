// Serial ports on Linux: what serial.h and system_port.h leave to the
// platform, all here: opening, line settings through termios, reads and
// writes, the hint after a failed open, names and the port list. Which
// devices may be opened, and how, is device_open_posix.cpp's part; how names
// map to devices, device_names_posix.cpp's.
//
// How the steps of an open map onto the results callers see:
//   2  the name leads to no device, or the device is no serial tty, or it
//      cannot be opened, or another program holds it (flock, TIOCEXCL);
//   3  tcgetattr fails (the port's present settings cannot be read);
//   4  never: the time-outs are this file's poll() waits, nothing to read;
//   5  VMIN = VTIME = 0 cannot be applied (tcsetattr);
//   6  raw 115200 8N1 without flow control cannot be applied or does not
//      read back as set, or RTS cannot be cleared on a real port.
#include "serial/system_port.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "serial/com_name.h"
#include "serial/device_names.h"
#include "serial/device_open.h"
#include "serial/port_holders.h"
#include "serial/port_list.h"
#include "serial/serial.h"
#include "serial/usb_identity.h"

namespace {

using Clock = std::chrono::steady_clock;

// The engine gathers a frame that arrives in pieces itself, so the quiet gap
// that ends a read only decides how soon bytes reach it. A read whose caller
// finds the bytes in hand complete ends at once; the gap ends the others
// (noise, a frame still coming). The Windows port is set to 1 ms; here the
// gap is measured in microseconds and kept at about three character times at
// 115200 baud (87 us each). A frame cut by a shorter gap costs one more
// read, nothing else.
constexpr long READ_INTERVAL_US = 250;

const char PROC_ROOT[] = "/proc";

int elapsed_ms(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The Windows time-outs of the port: 1 ms per byte plus 1 ms in all.
int total_ms(size_t bytes) {
  return static_cast<int>(std::min<size_t>(bytes, INT_MAX - 1) + 1);
}

// How long the next poll of a read may wait, in microseconds, with `left_ms`
// of the read's total time-out remaining: all of it for the first byte, then
// at most the quiet gap.
long read_wait_us(size_t have, int left_ms) {
  const long left_us = std::max(0, left_ms) * 1000L;
  return have == 0 ? left_us : std::min(left_us, READ_INTERVAL_US);
}

class PosixPort final : public SystemPort {
public:
  PosixPort(int fd, bool pty) : fd_(fd), pty_(pty) {}

  bool read(uint8_t* buffer, size_t capacity, size_t* got) override {
    return read_some(buffer, capacity, got, nullptr);
  }
  bool read_until(uint8_t* buffer, size_t capacity, size_t* got, const ReadCheck& check) override {
    return read_some(buffer, capacity, got, &check);
  }
  bool write(const uint8_t* data, size_t size) override;

  bool get_state() override { return tcgetattr(fd_, &settings_) == 0; }
  bool get_timeouts() override { return true; }
  bool set_timeouts() override;
  bool set_state() override;
  bool close() override;

private:
  bool read_some(uint8_t* buffer, size_t capacity, size_t* got, const ReadCheck* check);
  bool settings_read_back() const;
  void request_low_latency();
  void restore_low_latency();

  int fd_;
  bool pty_;
  bool low_latency_set_ = false; // by this port, to be cleared on close
  termios settings_{};
};

bool PosixPort::set_timeouts() {
  settings_.c_cc[VMIN] = 0;
  settings_.c_cc[VTIME] = 0;
  request_low_latency();
  return tcsetattr(fd_, TCSANOW, &settings_) == 0;
}

// USB adapters hold received bytes up to 16 ms unless asked not to; that
// would add to every acknowledgement. Drivers without the flag simply
// ignore it, so a refusal is no reason to fail.
void PosixPort::request_low_latency() {
  serial_struct info{};
  if (ioctl(fd_, TIOCGSERIAL, &info) != 0) return;
  if (info.flags & ASYNC_LOW_LATENCY) return;
  info.flags |= ASYNC_LOW_LATENCY;
  low_latency_set_ = ioctl(fd_, TIOCSSERIAL, &info) == 0;
}

// The flag outlives the descriptor; the next program to use the port gets
// it the way it was before.
void PosixPort::restore_low_latency() {
  if (!low_latency_set_) return;
  low_latency_set_ = false;
  serial_struct info{};
  if (ioctl(fd_, TIOCGSERIAL, &info) != 0) return;
  info.flags &= ~ASYNC_LOW_LATENCY;
  ioctl(fd_, TIOCSSERIAL, &info);
}

bool PosixPort::set_state() {
  cfmakeraw(&settings_);
  settings_.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  settings_.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings_.c_cflag |= CS8 | CLOCAL | CREAD;
  settings_.c_cc[VMIN] = 0;
  settings_.c_cc[VTIME] = 0;
  if (cfsetispeed(&settings_, B115200) != 0 || cfsetospeed(&settings_, B115200) != 0) return false;
  if (tcsetattr(fd_, TCSANOW, &settings_) != 0) return false;
  // tcsetattr succeeds when any one of the changes took.
  if (!settings_read_back()) return false;
  // Bytes that came before this open answer nothing of this run (the tail of
  // an earlier, failed run): a Windows port starts empty, so this one does too.
  tcflush(fd_, TCIFLUSH);

  int rts = TIOCM_RTS;
  return ioctl(fd_, TIOCMBIC, &rts) == 0 || pty_;
}

bool PosixPort::settings_read_back() const {
  termios now{};
  if (tcgetattr(fd_, &now) != 0) return false;
  return cfgetispeed(&now) == B115200 && cfgetospeed(&now) == B115200 &&
         (now.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD)) ==
             (CS8 | CLOCAL | CREAD) &&
         (now.c_iflag & (IXON | IXOFF | IXANY)) == 0 &&
         (now.c_lflag & (ICANON | ECHO | ISIG)) == 0 && now.c_cc[VMIN] == 0 && now.c_cc[VTIME] == 0;
}

// Waits up to the total time-out for the first byte, then takes bytes while
// each next one comes within the interval, unless the caller's check finds
// the bytes in hand complete first. A hang-up ends the line for good: it is
// a read error, after handing over whatever came before it.
bool PosixPort::read_some(uint8_t* buffer, size_t capacity, size_t* got, const ReadCheck* check) {
  *got = 0;
  if (capacity == 0) return true;
  const Clock::time_point start = Clock::now();
  const int total = total_ms(capacity);
  size_t have = 0;
  bool broken = false;
  while (have < capacity && !broken) {
    const int left = total - elapsed_ms(start);
    if (left <= 0 && have > 0) break;
    pollfd watch{fd_, POLLIN, 0};
    const long wait_us = read_wait_us(have, left);
    const timespec wait{wait_us / 1000000L, (wait_us % 1000000L) * 1000L};
    const int ready = ppoll(&watch, 1, &wait, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      broken = true;
    } else if (ready == 0) {
      if (have > 0 || left <= 0) break;
    } else if (watch.revents & POLLIN) {
      const ssize_t n = ::read(fd_, buffer + have, capacity - have);
      if (n > 0) {
        have += static_cast<size_t>(n);
        if (check && check->complete(buffer, have)) break;
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        broken = true;
      }
    } else {
      broken = true;
    }
  }
  *got = have;
  return !broken || have > 0;
}

// The whole frame goes out or the write fails, within the Windows write
// time-out of 1 ms per byte plus 1 ms (at 115200 baud a byte takes 0.09 ms).
bool PosixPort::write(const uint8_t* data, size_t size) {
  const Clock::time_point start = Clock::now();
  const int total = total_ms(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    const int left = total - elapsed_ms(start);
    if (left <= 0) return false;
    pollfd watch{fd_, POLLOUT, 0};
    const int ready = poll(&watch, 1, left);
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0 && !(watch.revents & POLLOUT)) return false;
  }
  return true;
}

bool PosixPort::close() {
  restore_low_latency();
  const bool closed = release_device(fd_);
  fd_ = -1;
  return closed;
}

} // namespace

SystemOpen system_port_open(const char* name) {
  char path[SERIAL_PATH_SIZE];
  if (!serial_resolve_name(name, path, sizeof path)) return {nullptr, OpenFailure::no_name};
  bool pty = false;
  OpenFailure why = OpenFailure::none;
  const int fd = open_device(path, &pty, &why);
  if (fd < 0) return {nullptr, why};
  SystemPort* port = new (std::nothrow) PosixPort(fd, pty);
  if (!port) {
    release_device(fd);
    return {nullptr, OpenFailure::other};
  }
  return {port, OpenFailure::none};
}

// A busy port's hint names the programs that hold it, with the fix for those
// known to grab USB serial adapters.
std::string system_port_hint(const char* name, OpenFailure failure) {
  const std::string shown = std::string(name ? name : "").substr(0, 64);
  char path[SERIAL_PATH_SIZE];
  if (failure == OpenFailure::no_name || !name || !serial_resolve_name(name, path, sizeof path)) {
    const int number = com_number(name);
    // COM numbers past the table reach a device only through a link.
    const std::string link = number > SERIAL_LIST_LAST
                                 ? ", or link com" + std::to_string(number) +
                                       " in ~/.config/orvaload/dosdevices to a device"
                                 : "";
    return "'" + shown + "' is no port name: give COM" + std::to_string(SERIAL_LIST_FIRST) +
           " to COM" + std::to_string(SERIAL_LIST_LAST) +
           ", \\\\.\\COMn or a device path such as /dev/ttyUSB0" + link;
  }
  std::string reason = open_failure_reason(failure);
  if (failure == OpenFailure::denied) {
    reason += ": sudo usermod -aG dialout $USER, then log in again";
  }
  struct stat st;
  if (failure == OpenFailure::busy && stat(path, &st) == 0 && S_ISCHR(st.st_mode)) {
    const std::string holders = holders_text(port_holders(PROC_ROOT, st.st_rdev));
    if (!holders.empty()) reason = "is busy, " + holders;
  }
  if (std::strcmp(name, path) == 0) return std::string(path) + " " + reason;
  // A link that leads nowhere resolves to itself: name where it leads.
  char target[SERIAL_PATH_SIZE];
  const ssize_t length = readlink(path, target, sizeof target - 1);
  if (length > 0 && stat(path, &st) != 0) {
    target[length] = '\0';
    return shown + " is linked to " + target + " (by " + path + "), which " + reason;
  }
  return shown + " is " + path + ", which " + reason;
}

bool serial_resolve_name(const char* name, char* path, size_t size) {
  char links[SERIAL_PATH_SIZE];
  return device_resolve(device_roots(links, sizeof links), name, path, size);
}

bool serial_port_present(const char* name) {
  char path[SERIAL_PATH_SIZE];
  struct stat st;
  return serial_resolve_name(name, path, sizeof path) && stat(path, &st) == 0 &&
         S_ISCHR(st.st_mode) && device_may_be_port("/sys", st.st_rdev);
}

std::string serial_latency_hint(const char*, uint32_t) {
  return "";
}

bool system_port_find(int number, PortEntry* port) {
  char links[SERIAL_PATH_SIZE];
  const DeviceRoots roots = device_roots(links, sizeof links);
  if (!device_exists(roots, number)) return false;
  char name[16];
  std::snprintf(name, sizeof name, "COM%d", number);
  char path[SERIAL_PATH_SIZE] = "";
  device_resolve(roots, name, path, sizeof path);
  port->device = path;
  port->usb = usb_identity_of(*port);
  return true;
}

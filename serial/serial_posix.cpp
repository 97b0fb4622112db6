// Serial ports on Linux.
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

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "serial/serial.h"

namespace {

using Clock = std::chrono::steady_clock;

// The engine gathers a frame that arrives in pieces itself, so the quiet gap
// that ends a read only decides how soon an acknowledgement reaches it. The
// Windows port is set to 1 ms; here the gap is measured in microseconds and
// kept at about three character times at 115200 baud (87 us each), because a
// whole millisecond after every acknowledgement adds 0.8 s to a paced run of
// 818 exchanges. A frame cut by a shorter gap costs one more read, nothing else.
constexpr long READ_INTERVAL_US = 250;

// Pseudo-terminal slaves; they have no modem lines.
bool is_pty_slave(dev_t device) {
  const unsigned major_number = major(device);
  return major_number >= 136 && major_number <= 143;
}

// Rules out character devices that must not be opened as a port: the
// controlling terminal, the console, the pty multiplexer, virtual consoles,
// and anything sysfs files under a class other than tty (opening some of
// those has effects of its own).
bool may_be_serial(dev_t device) {
  const unsigned major_number = major(device);
  const unsigned minor_number = minor(device);
  if (major_number == 5) return false;
  if (major_number == 4 && minor_number < 64) return false;
  if (is_pty_slave(device)) return true;

  char path[64];
  std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/subsystem", major_number, minor_number);
  char target[PATH_MAX];
  const ssize_t length = readlink(path, target, sizeof target - 1);
  if (length < 0) return true;  // no sysfs entry: isatty decides after the open
  target[length] = '\0';
  const char* base = std::strrchr(target, '/');
  return std::strcmp(base ? base + 1 : target, "tty") == 0;
}

enum class OpenFailure { none, missing, not_serial, busy, denied, other };

OpenFailure failure_of(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
      return OpenFailure::missing;
    case EACCES:
    case EPERM:
      return OpenFailure::denied;
    case EBUSY:
    case EWOULDBLOCK:
      return OpenFailure::busy;
    default:
      return OpenFailure::other;
  }
}

// Opens a serial tty for this program alone: non-blocking (the reads below
// wait with poll), not as controlling terminal, locked against other
// programs that use flock and, through TIOCEXCL, against all others but root.
int open_device(const char* path, bool* pty, OpenFailure* why) {
  struct stat before;
  if (stat(path, &before) != 0) {
    *why = failure_of(errno);
    return -1;
  }
  if (!S_ISCHR(before.st_mode) || !may_be_serial(before.st_rdev)) {
    *why = OpenFailure::not_serial;
    return -1;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = failure_of(errno);
    return -1;
  }
  struct stat after;
  int exclusive = 0;
  *why = OpenFailure::none;
  if (fstat(fd, &after) != 0 || !S_ISCHR(after.st_mode) || after.st_rdev != before.st_rdev ||
      !isatty(fd)) {
    *why = OpenFailure::not_serial;
  } else if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
    *why = OpenFailure::busy;  // root gets past TIOCEXCL; it must not take the port over
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *why = failure_of(errno);
  } else if (ioctl(fd, TIOCEXCL) != 0) {
    *why = OpenFailure::other;
  }
  if (*why != OpenFailure::none) {
    close(fd);
    return -1;
  }
  *pty = is_pty_slave(after.st_rdev);
  return fd;
}

// The exclusive flag outlives the descriptor on a pty whose master stays
// open; clear it so the next run can open the port again.
bool release_device(int fd) {
  ioctl(fd, TIOCNXCL);
  return close(fd) == 0;
}

int elapsed_ms(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The Windows time-outs of the port: 1 ms per byte plus 1 ms in all.
int total_ms(size_t bytes) {
  return static_cast<int>(std::min<size_t>(bytes, INT_MAX - 1) + 1);
}

class PosixPort final : public SystemPort {
public:
  PosixPort(int fd, bool pty) : fd_(fd), pty_(pty) {}

  bool read(uint8_t* buffer, size_t capacity, size_t* got) override;
  bool write(const uint8_t* data, size_t size) override;

  bool get_state() override { return tcgetattr(fd_, &settings_) == 0; }
  bool get_timeouts() override { return true; }
  bool set_timeouts() override;
  bool set_state() override;
  bool close() override;

private:
  bool settings_read_back() const;
  void request_low_latency();

  int fd_;
  bool pty_;
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
         (now.c_iflag & (IXON | IXOFF | IXANY)) == 0 && (now.c_lflag & (ICANON | ECHO | ISIG)) == 0 &&
         now.c_cc[VMIN] == 0 && now.c_cc[VTIME] == 0;
}

// Waits up to the total time-out for the first byte, then takes bytes while
// each next one comes within the interval. A hang-up ends the line for good:
// it is a read error, after handing over whatever came before it.
bool PosixPort::read(uint8_t* buffer, size_t capacity, size_t* got) {
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
    const long wait_us = have == 0 ? std::max(0, left) * 1000L : std::min(std::max(0, left) * 1000L, READ_INTERVAL_US);
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
  const bool closed = release_device(fd_);
  fd_ = -1;
  return closed;
}

const char* failure_text(OpenFailure why) {
  switch (why) {
    case OpenFailure::missing:
      return "does not exist";
    case OpenFailure::not_serial:
      return "is not a serial port";
    case OpenFailure::busy:
      return "is busy (held by another program)";
    case OpenFailure::denied:
      return "is not accessible (the user needs to be in the dialout group)";
    case OpenFailure::other:
      return "could not be opened";
    case OpenFailure::none:
      break;
  }
  return "opens now (it may have been busy a moment ago)";
}

}  // namespace

SystemPort* system_port_open(const char* name) {
  char path[SERIAL_PATH_SIZE];
  if (!serial_resolve_name(name, path, sizeof path)) return nullptr;
  bool pty = false;
  OpenFailure why = OpenFailure::none;
  const int fd = open_device(path, &pty, &why);
  if (fd < 0) return nullptr;
  SystemPort* port = new (std::nothrow) PosixPort(fd, pty);
  if (!port) release_device(fd);
  return port;
}

void serial_open_hint(const char* name, char* out, size_t size) {
  if (!out || size == 0) return;
  char path[SERIAL_PATH_SIZE];
  if (!name || !serial_resolve_name(name, path, sizeof path)) {
    std::snprintf(out, size,
                  "'%.64s' is no port name: give COMn, \\\\.\\COMn or a device path such as "
                  "/dev/ttyUSB0",
                  name ? name : "");
    return;
  }
  bool pty = false;
  OpenFailure why = OpenFailure::none;
  const int fd = open_device(path, &pty, &why);
  if (fd >= 0) release_device(fd);
  if (std::strcmp(name, path) == 0) {
    std::snprintf(out, size, "%s %s", path, failure_text(why));
  } else {
    std::snprintf(out, size, "%.64s is %s, which %s", name, path, failure_text(why));
  }
}

// Which Linux devices may be opened as the controller's port, and the
// exclusive open.
#include "serial/device_open.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "serial/serial.h"

namespace {

// Character device majors of the kernel's terminals. Major 4 holds the
// virtual consoles below minor 64 and the legacy serial ports from there on.
constexpr unsigned MAJOR_VIRTUAL_CONSOLE = 4;
constexpr unsigned MINOR_FIRST_LEGACY_SERIAL = 64;
constexpr unsigned MAJOR_TTY_AUX = 5; // /dev/tty, /dev/console, /dev/ptmx
// Pseudo-terminal slaves, /dev/pts/N.
constexpr unsigned MAJOR_PTY_SLAVE_FIRST = 136;
constexpr unsigned MAJOR_PTY_SLAVE_LAST = 143;
// Serial ports with majors of their own.
constexpr unsigned MAJOR_USB_ACM = 166;            // /dev/ttyACMn
constexpr unsigned MAJOR_USB_SERIAL = 188;         // /dev/ttyUSBn
constexpr unsigned MAJOR_LOW_DENSITY_SERIAL = 204; // /dev/ttyAMAn and other SoC UARTs

const char SYSFS_ROOT[] = "/sys";

// Pseudo-terminal slaves; they have no modem lines.
bool is_pty_slave(dev_t device) {
  const unsigned major_number = major(device);
  return major_number >= MAJOR_PTY_SLAVE_FIRST && major_number <= MAJOR_PTY_SLAVE_LAST;
}

// Serial ports whose majors are fixed, for a system without sysfs.
bool has_serial_major(dev_t device) {
  const unsigned major_number = major(device);
  return (major_number == MAJOR_VIRTUAL_CONSOLE && minor(device) >= MINOR_FIRST_LEGACY_SERIAL) ||
         major_number == MAJOR_USB_ACM || major_number == MAJOR_USB_SERIAL ||
         major_number == MAJOR_LOW_DENSITY_SERIAL;
}

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

} // namespace

// Rules out character devices that must not be opened as a port: the
// controlling terminal, the console, the pty multiplexer, virtual consoles,
// and anything sysfs files under a class other than tty (opening a watchdog,
// for one, arms it). Without sysfs only the fixed serial majors pass.
bool device_may_be_port(const char* sys, dev_t device) {
  const unsigned major_number = major(device);
  const unsigned minor_number = minor(device);
  if (major_number == MAJOR_TTY_AUX) return false;
  if (major_number == MAJOR_VIRTUAL_CONSOLE && minor_number < MINOR_FIRST_LEGACY_SERIAL)
    return false;
  if (is_pty_slave(device)) return true;

  char path[SERIAL_PATH_SIZE];
  const int written = std::snprintf(path, sizeof path, "%s/dev/char/%u:%u/subsystem", sys,
                                    major_number, minor_number);
  if (written < 0 || static_cast<size_t>(written) >= sizeof path) return false;
  char target[PATH_MAX];
  const ssize_t length = readlink(path, target, sizeof target - 1);
  if (length < 0) return has_serial_major(device);
  target[length] = '\0';
  const char* base = std::strrchr(target, '/');
  return std::strcmp(base ? base + 1 : target, "tty") == 0;
}

// Opens a serial tty for this program alone: non-blocking (the port's reads
// wait with poll), not as controlling terminal, locked against other
// programs that use flock and, through TIOCEXCL, against all others but root.
int open_device(const char* path, bool* pty, OpenFailure* why) {
  struct stat before;
  if (stat(path, &before) != 0) {
    *why = failure_of(errno);
    return -1;
  }
  if (!S_ISCHR(before.st_mode) || !device_may_be_port(SYSFS_ROOT, before.st_rdev)) {
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
    *why = OpenFailure::busy; // root gets past TIOCEXCL; it must not take the port over
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

// The low-latency flag of a USB adapter outlives the upgrader's use of the
// port: it is cleared again on close when the upgrader set it, and left alone
// when it was set before. A pseudo-terminal has no such flag, so this binary
// answers the driver's TIOCGSERIAL and TIOCSSERIAL itself and hands every
// other ioctl to the C library.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <string>

#include "serial/serial.h"

namespace {

struct FakeDriver {
  bool knows_flags = true; // false: the driver refuses both calls
  int flags = 0;
  int sets = 0;
};
FakeDriver driver;

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == TIOCGSERIAL || request == TIOCSSERIAL) {
    if (!driver.knows_flags) {
      errno = ENOTTY;
      return -1;
    }
    serial_struct* info = static_cast<serial_struct*>(arg);
    if (request == TIOCGSERIAL) {
      *info = serial_struct{};
      info->flags = driver.flags;
    } else {
      driver.flags = info->flags;
      ++driver.sets;
    }
    return 0;
  }
  using Ioctl = int (*)(int, unsigned long, void*);
  static const Ioctl next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
  return next(fd, request, arg);
}

TEST(LowLatency, RestoredOnCloseOnlyWhenThisPortSetIt) {
  struct Case {
    bool knows_flags;
    int before;
    int while_open;
    int after;
    int sets;
  };
  const int other = ASYNC_SPD_HI; // a flag of the driver's that must survive
  const Case cases[] = {
      {true, other, other | ASYNC_LOW_LATENCY, other, 2},
      {true, other | ASYNC_LOW_LATENCY, other | ASYNC_LOW_LATENCY, other | ASYNC_LOW_LATENCY, 0},
      {false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    driver = FakeDriver{c.knows_flags, c.before, 0};

    PortHandle slot = 0;
    char message[256] = "";
    ASSERT_EQ(serial_open(ptsname(master), &slot, message), 0) << message;
    EXPECT_EQ(driver.flags, c.while_open);
    EXPECT_EQ(serial_close(&slot, message), 0);
    EXPECT_EQ(driver.flags, c.after);
    EXPECT_EQ(driver.sets, c.sets);
    close(master);
  }
}

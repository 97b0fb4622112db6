#include "app/cli/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

namespace {

// Read by every run's thread, so an atomic rather than a volatile; a
// lock-free atomic may be written from a signal handler.
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_reload{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler writes it");

extern "C" void on_interrupt(int) {
  g_interrupted = true;
}

extern "C" void on_hangup(int) {
  g_reload = true;
}

} // namespace

void console_install_interrupt() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  struct sigaction hangup {};
  hangup.sa_handler = on_hangup;
  sigemptyset(&hangup.sa_mask);
  sigaction(SIGHUP, &hangup, nullptr);

  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

bool console_interrupted() {
  return g_interrupted;
}

bool console_reload_requested() {
  return g_reload.exchange(false);
}

bool console_stderr_is_terminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool console_stdout_is_terminal() {
  return isatty(STDOUT_FILENO) == 1;
}

int console_stderr_columns() {
  struct winsize size {};
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

bool console_stderr_moves_cursor() {
  return true;
}

#include "app/cli/console.h"

#include <windows.h>

#include <atomic>
#include <io.h>
#include <stdio.h>

namespace {

std::atomic<bool> g_interrupted{false};

// Runs on a thread the system creates for the event.
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    g_interrupted = true;
    return TRUE;
  }
  return FALSE;
}

} // namespace

void console_install_interrupt() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool console_interrupted() { return g_interrupted; }

bool console_stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

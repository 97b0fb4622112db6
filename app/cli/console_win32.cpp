#include "app/cli/console.h"

#include <windows.h>

#include <io.h>
#include <stdio.h>
#include <atomic>

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

void console_install_interrupt() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool console_interrupted() {
  return g_interrupted;
}

bool console_reload_requested() {
  return false;
}

bool console_stderr_is_terminal() {
  return _isatty(_fileno(stderr)) != 0;
}

bool console_stdout_is_terminal() {
  return _isatty(_fileno(stdout)) != 0;
}

int console_stderr_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 80;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

bool console_stderr_moves_cursor() {
  // Consoles before Windows 10 show the escape sequences as text.
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return GetConsoleMode(err, &mode) &&
         SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

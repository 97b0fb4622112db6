// What the command-line upgrader needs from the operating system's console:
// interrupt requests as a polled flag, and whether standard error is a terminal.
#pragma once

// Ctrl-C (and on POSIX SIGTERM; on Windows Ctrl-Break) only raise a flag;
// the main loop notices it within one wait and cancels the run the way the
// dialog's Cancel does. A closed standard output must not kill a run that
// is writing the controller's flash, so output errors are left to the writes.
void console_install_interrupt();
bool console_interrupted();
// SIGHUP (POSIX; Windows has none): a station reads its certificate again.
// True once per request.
bool console_reload_requested();

bool console_stderr_is_terminal();
bool console_stdout_is_terminal();
// Columns of the terminal on standard error; 80 when it does not tell.
int console_stderr_columns();
// Lets standard error move the cursor up and erase lines with the usual
// escape sequences; false when the console cannot.
bool console_stderr_moves_cursor();

// What the command-line upgrader needs from the operating system's console:
// interrupt requests as a polled flag, and whether standard error is a terminal.
#pragma once

// Ctrl-C (and on POSIX SIGTERM; on Windows Ctrl-Break) only raise a flag;
// the main loop notices it within one wait and cancels the run the way the
// dialog's Cancel does. A closed standard output must not kill a run that
// is writing the controller's flash, so output errors are left to the writes.
void console_install_interrupt();
bool console_interrupted();

bool console_stderr_is_terminal();

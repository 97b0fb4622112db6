// Opening a Linux device as the controller's port: which devices may be
// opened at all, the exclusive open itself, and what a failed open means.
#pragma once

#include <sys/types.h>

#include "serial/system_port.h"

// Whether the character device `device` may be opened as a port at all,
// decided before anything opens it. `sys` is the sysfs root, normally /sys;
// where it is missing, only the majors of serial ports pass.
bool device_may_be_port(const char* sys, dev_t device);

// Opens the serial tty at `path` for this program alone. Returns the
// descriptor, with *pty telling whether it is a pseudo-terminal slave (no
// modem lines), or -1 with *why saying what went wrong.
int open_device(const char* path, bool* pty, OpenFailure* why);

// Gives the device up again; false when close() failed.
bool release_device(int fd);

// Which other processes hold a Linux device open, found through /proc.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct PortHolder {
  long pid;
  std::string name; // the process's command name
};

// The processes other than this one with an open descriptor on the
// character device `device`, in the order /proc lists them. `proc` is the
// proc file system's root, normally /proc. Processes whose descriptors this
// user may not see are missed.
std::vector<PortHolder> port_holders(const char* proc, dev_t device);

// What to tell about the holders: "held by name (pid n), ...", with the fix
// when one of them is a program known to grab USB serial adapters. Empty
// when `holders` is.
std::string holders_text(const std::vector<PortHolder>& holders);

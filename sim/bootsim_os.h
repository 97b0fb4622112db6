// What orva-bootsim needs from the operating system: a pseudo-terminal to
// serve on, COM links to it, signals to stop by, and the serving loop that
// paces the answers. Implemented once per platform (POSIX only for now).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/bootsim_options.h"
#include "sim/sim_controller.h"

class PseudoTerminal {
public:
  PseudoTerminal() = default;
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // Opens a raw pseudo-terminal; false with *error when it cannot.
  bool open(std::string* error);
  void close();
  // Drops whatever the last client left unread, before the next one comes.
  void discard_unread();
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }

private:
  int fd_ = -1;
  std::string path_;
};

// The COM links of one program run; they are removed by remove() or at the
// latest by the destructor, on every way out.
class ComLinks {
public:
  ComLinks() = default;
  ~ComLinks();
  ComLinks(const ComLinks&) = delete;
  ComLinks& operator=(const ComLinks&) = delete;

  // ${XDG_CONFIG_HOME:-~/.config}/orvaload/dosdevices/comN -> device.
  bool link_linux(int number, const std::string& device, std::string* error);
  // Runs the wine-map-com script (`script`, or found) with N and device.
  bool map_wine(int number, const std::string& device, const std::string& script,
                std::string* error);
  void remove();
  const std::string& linux_link() const { return link_path_; }

private:
  std::string link_path_;
  std::string link_target_;
};

// The folder of the Linux COM links.
std::string bootsim_link_folder();

// SIGINT, SIGTERM and SIGHUP from now on end bootsim_serve.
bool bootsim_catch_signals(std::string* error);

// Why serving ended.
enum class BootsimEnd {
  jump,   // the runs were served and the line went quiet
  signal, // SIGINT, SIGTERM or SIGHUP
  idle,   // --idle-timeout passed without a byte from the host
  closed, // the controller dropped the line (--close-at)
  error,  // the terminal failed; the ending's text says how
};

struct BootsimEnding {
  BootsimEnd reason = BootsimEnd::error;
  std::string error; // what failed, with BootsimEnd::error
};

// Serves `controller` on the terminal until the run is over; returns why it
// ended. When `turnaround_us` is given, every request that follows a fully
// sent answer appends the microseconds between the two.
BootsimEnding bootsim_serve(PseudoTerminal& terminal, SimController& controller,
                            const BootsimOptions& options,
                            std::vector<uint32_t>* turnaround_us = nullptr);

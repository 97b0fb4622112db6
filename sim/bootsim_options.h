// The command line of orva-bootsim, parsed into a controller configuration
// and the program's own settings. No OS code: the parser is tested anywhere.
#pragma once

#include <cstdint>
#include <string>

#include "sim/sim_config.h"

// Exit statuses of orva-bootsim.
constexpr int BOOTSIM_EXIT_OK = 0;    // a run was served, or the program was told to stop
constexpr int BOOTSIM_EXIT_ERROR = 1; // the pseudo-terminal, a link, the image or the report failed
constexpr int BOOTSIM_EXIT_USAGE = 2; // bad command line
constexpr int BOOTSIM_EXIT_MISMATCH = 3; // --require-match and the flash does not hold the image

struct BootsimOptions {
  SimConfig sim;
  std::string image_path;
  int link_com = 0; // 0 = none
  int wine_com = 0;
  std::string wine_map_script; // empty = look for it
  std::string report_path;
  std::string path_file;
  std::string turnaround_path; // empty = no turnaround log
  uint32_t runs = 1;           // jumps to serve before ending; 0 = until stopped
  uint32_t quiet_ms = 500;     // line quiet after the last jump before ending
  uint32_t idle_timeout_s = 0; // 0 = none
  bool require_match = false;
  bool help = false;
};

// Fills *options from argv. Returns false with a one-line *error on bad usage.
bool bootsim_parse_args(int argc, const char* const* argv, BootsimOptions* options,
                        std::string* error);

// Reads options->image_path into options->sim.image. False with *error when
// the file cannot be read or is empty.
bool bootsim_load_image(BootsimOptions* options, std::string* error);

std::string bootsim_help();

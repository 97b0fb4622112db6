// orva-bootsim: a simulated controller boot loader on a pseudo-terminal.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "sim/bootsim_options.h"
#include "sim/bootsim_os.h"

namespace {

int fail(const std::string& text, int status) {
  std::cerr << "orva-bootsim: " << text << "\n";
  return status;
}

// How the summary and the report name the ending.
std::string end_text(const BootsimEnding& end) {
  switch (end.reason) {
  case BootsimEnd::jump:
    return "jump";
  case BootsimEnd::signal:
    return "signal";
  case BootsimEnd::idle:
    return "idle";
  case BootsimEnd::closed:
    return "closed";
  case BootsimEnd::error:
    break;
  }
  return "error: " + end.error;
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  return static_cast<bool>(file);
}

void summary(const SimController& controller, const std::string& end) {
  const SimReport& r = controller.report();
  std::cerr << "orva-bootsim: ended (" << end << "): " << r.frames.size()
            << " requests: " << r.progress << " progress, " << r.erase << " erase, " << r.program
            << " program, " << r.jump << " jump, " << r.malformed << " malformed; "
            << r.violations.size() << " protocol violation(s)";
  if (r.jumped) {
    char address[16];
    std::snprintf(address, sizeof address, "0x%08x", static_cast<unsigned>(r.jump_address));
    std::cerr << "; jump to " << address;
  }
  if (!controller.config().image.empty()) {
    std::cerr << "; flash " << (controller.image_matches() ? "holds" : "does NOT hold")
              << " the image";
  }
  std::cerr << "\n";
  for (const std::string& v : r.violations) {
    std::cerr << "orva-bootsim: violation: " << v << "\n";
  }
}

} // namespace

int main(int argc, char** argv) {
  BootsimOptions options;
  std::string error;
  if (!bootsim_parse_args(argc, argv, &options, &error)) {
    return fail(error + "\nTry 'orva-bootsim --help'.", BOOTSIM_EXIT_USAGE);
  }
  if (options.help) {
    std::cout << bootsim_help();
    return BOOTSIM_EXIT_OK;
  }
  if (!options.image_path.empty() && !bootsim_load_image(&options, &error)) {
    return fail(error, BOOTSIM_EXIT_ERROR);
  }
  const SimConfig& sim = options.sim;
  if (!sim.image.empty() &&
      uint64_t{sim.load_address} + sim.image.size() > uint64_t{sim.flash_base} + sim.flash_size) {
    std::cerr << "orva-bootsim: warning: the image does not fit the flash; it can never match\n";
  }
  SimController controller(options.sim);
  if (!bootsim_catch_signals(&error)) {
    return fail(error, BOOTSIM_EXIT_ERROR);
  }

  PseudoTerminal terminal;
  if (!terminal.open(&error)) {
    return fail(error, BOOTSIM_EXIT_ERROR);
  }
  ComLinks links;
  if (options.link_com > 0 && !links.link_linux(options.link_com, terminal.path(), &error)) {
    return fail(error, BOOTSIM_EXIT_ERROR);
  }
  if (options.wine_com > 0 &&
      !links.map_wine(options.wine_com, terminal.path(), options.wine_map_script, &error)) {
    return fail(error, BOOTSIM_EXIT_ERROR);
  }
  if (!options.path_file.empty() && !write_file(options.path_file, terminal.path() + "\n")) {
    return fail("cannot write " + options.path_file, BOOTSIM_EXIT_ERROR);
  }
  std::cout << terminal.path() << std::endl;
  std::cerr << "orva-bootsim: serving on " << terminal.path();
  if (!links.linux_link().empty()) {
    std::cerr << " (COM" << options.link_com << ": " << links.linux_link() << ")";
  }
  if (options.wine_com > 0) {
    std::cerr << " (Wine COM" << options.wine_com << ")";
  }
  std::cerr << std::endl;

  std::vector<uint32_t> turnaround_us;
  const BootsimEnding end =
      bootsim_serve(terminal, controller, options,
                    options.turnaround_path.empty() ? nullptr : &turnaround_us);
  links.remove();
  terminal.close();
  summary(controller, end_text(end));

  int status = end.reason == BootsimEnd::error ? BOOTSIM_EXIT_ERROR : BOOTSIM_EXIT_OK;
  if (!options.report_path.empty() &&
      !write_file(options.report_path, controller.report_json(end_text(end)))) {
    std::cerr << "orva-bootsim: cannot write the report " << options.report_path << "\n";
    status = BOOTSIM_EXIT_ERROR;
  }
  if (!options.turnaround_path.empty()) {
    std::string lines;
    for (uint32_t us : turnaround_us) {
      lines += std::to_string(us) + "\n";
    }
    if (!write_file(options.turnaround_path, lines)) {
      std::cerr << "orva-bootsim: cannot write " << options.turnaround_path << "\n";
      status = BOOTSIM_EXIT_ERROR;
    }
  }
  if (status == BOOTSIM_EXIT_OK && options.require_match && !controller.image_matches()) {
    status = BOOTSIM_EXIT_MISMATCH;
  }
  return status;
}

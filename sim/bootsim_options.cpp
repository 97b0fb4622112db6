#include "sim/bootsim_options.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

#include "serial/com_name.h"
#include "serial/number_text.h"

namespace {

// Refuses the command line with a one-line reason.
[[noreturn]] void refuse(const std::string& text) {
  throw CLI::ValidationError(text);
}

// "K:N" with both parts numbers.
bool parse_pair(const std::string& text, uint32_t* first, uint32_t* second) {
  const size_t colon = text.find(':');
  return colon != std::string::npos && parse_u32(text.substr(0, colon), first) &&
         parse_u32(text.substr(colon + 1), second);
}

uint32_t number(const std::string& name, const std::string& value) {
  uint32_t n = 0;
  if (!parse_u32(value, &n)) {
    refuse(name + " needs a number: '" + value + "'");
  }
  return n;
}

uint32_t request_number(const std::string& name, const std::string& value) {
  uint32_t k = 0;
  if (!parse_u32(value, &k) || k == 0) {
    refuse(name + " needs a request number from 1: '" + value + "'");
  }
  return k;
}

int com_option(const std::string& name, const std::string& value) {
  uint32_t n = 0;
  if (!parse_u32(value, &n) || n < COM_NUMBER_FIRST || n > COM_NUMBER_LAST) {
    refuse(name + " needs a COM number from " + std::to_string(COM_NUMBER_FIRST) + " to " +
           std::to_string(COM_NUMBER_LAST) + ": '" + value + "'");
  }
  return static_cast<int>(n);
}

std::string file_name(const std::string& name, const std::string& value) {
  if (value.empty()) {
    refuse(name + " needs a file");
  }
  return value;
}

const char* const DESCRIPTION =
    "A simulated ORVA controller boot loader on a pseudo-terminal. It prints the\n"
    "terminal's path as the first line on standard output and serves the upgrader\n"
    "on it: every request is checked against the frame format, carried out on a\n"
    "modelled flash and acknowledged with the request's sequence number.\n";

// The option groups, by name, and the heading the help text gives each.
const char* const GROUP_WHERE = "Where";
const char* const GROUP_FLASH = "Flash";
const char* const GROUP_PACING = "Pacing";
const char* const GROUP_FAULTS = "Faults";
const char* const GROUP_ENDING = "Ending";

std::string heading(const std::string& group) {
  if (group == GROUP_WHERE) return "Where the controller appears";
  if (group == GROUP_FLASH) return "The flash and the expected image";
  if (group == GROUP_PACING) return "Pacing (off by default; answers go out at once)";
  if (group == GROUP_FAULTS) {
    return "Faults; K counts request frames from 1 over the whole session, malformed ones\n"
           "included, and each fault option may be given more than once";
  }
  return group;
}

const char* const FOOTER =
    "The controller refuses (NAK) malformed requests and acknowledges every\n"
    "other one; its device error codes are 1 (area outside the flash), 2 (a byte\n"
    "not erased since its last write, e.g. programming before erasing) and 3 (an\n"
    "erase of 0 bytes). SIGINT, SIGTERM and SIGHUP end the program. On every way out the\n"
    "COM links are removed and the terminal is closed. A client may close the\n"
    "terminal and open it again.\n"
    "\n"
    "Exit status: 0 a run was served, or the program was stopped (signal, idle\n"
    "time-out, dropped line); 1 an error (terminal, link, image or report);\n"
    "2 bad usage; 3 --require-match and the flash does not hold the image.\n";

// The help text: usage line and description first, then the groups in the
// order they were declared, then the footer.
class HelpLayout : public CLI::Formatter {
public:
  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
    std::string out = "Usage: orva-bootsim [OPTION]...\n" + app->get_description();
    for (const std::string& group : app->get_groups()) {
      out += "\n" + heading(group) + ":\n";
      for (const CLI::Option* option :
           app->get_options([&group](const CLI::Option* o) { return o->get_group() == group; })) {
        out += make_option(option, false);
      }
    }
    return out + "\n" + app->get_footer();
  }

  // "-h, --help" rather than "-h,--help".
  std::string make_option_name(const CLI::Option* option, bool) const override {
    std::string names = option->get_name(false, true);
    for (size_t comma = names.find(','); comma != std::string::npos;
         comma = names.find(',', comma + 2)) {
      names.insert(comma + 1, " ");
    }
    return names;
  }
};

// The whole command line: every option stores into *o the moment it is read,
// so that faults keep the order in which they were given.
class CommandLine {
public:
  explicit CommandLine(BootsimOptions* o) : app_(DESCRIPTION, "orva-bootsim") {
    app_.formatter(std::make_shared<HelpLayout>());
    app_.get_formatter()->column_width(24);
    app_.footer(FOOTER);
    app_.set_help_flag();
    app_.allow_extras();
    // A repeated option keeps its last value; flags take no value.
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app_.option_defaults()->disable_flag_override();
    SimConfig& sim = o->sim;

    group(GROUP_WHERE);
    value("--link-com", "N",
          "also link the terminal as COMN for the Linux programs:\n"
          "${XDG_CONFIG_HOME:-~/.config}/orvaload/dosdevices/comN",
          [o](const std::string& n, const std::string& v) { o->link_com = com_option(n, v); });
    value("--wine-com", "N",
          "also map it as COMN for Windows programs under Wine\n"
          "(runs scripts/wine-map-com N DEVICE)",
          [o](const std::string& n, const std::string& v) { o->wine_com = com_option(n, v); });
    value("--wine-map-script", "F",
          "the wine-map-com script to run (default: found next to\n"
          "this program or in the source tree's scripts/)",
          [o](const std::string&, const std::string& v) { o->wine_map_script = v; });
    value("--path-file", "F", "also write the terminal's path to F",
          [o](const std::string& n, const std::string& v) { o->path_file = file_name(n, v); });

    group(GROUP_FLASH);
    value("--flash-base", "ADDR", "first flash address (default 0)",
          [&sim](const std::string& n, const std::string& v) { sim.flash_base = number(n, v); });
    value("--flash-size", "BYTES", "flash size (default 0x40000, 256 KiB)",
          [&sim](const std::string&, const std::string& v) {
            // A bound on what a typo can make the simulator allocate.
            uint32_t size = 0;
            if (!parse_u32(v, &size) || size == 0 || size > (64u << 20)) {
              refuse("--flash-size needs 1 byte to 64 MiB: '" + v + "'");
            }
            sim.flash_size = size;
          });
    value("--image", "FILE",
          "the image the host should write, as a raw binary (the\n"
          "report says whether the flash holds it at the load address)",
          [o](const std::string& n, const std::string& v) { o->image_path = file_name(n, v); });
    value("--load-address", "ADDR", "where the image belongs (default 0x4000)",
          [&sim](const std::string& n, const std::string& v) { sim.load_address = number(n, v); });
    flag("--require-match", &o->require_match,
         "exit with status 3 when the flash does not hold the image");

    group(GROUP_PACING);
    value("--baud", "N",
          "delay each answer by the wire time of the request and\n"
          "the answer at N baud (10 bits per byte)",
          [&sim](const std::string& n, const std::string& v) { sim.baud = number(n, v); });
    value("--erase-ms", "MS", "add MS per carried-out erase request",
          [&sim](const std::string& n, const std::string& v) { sim.erase_ms = number(n, v); });
    value("--program-ms", "MS", "add MS per carried-out program request",
          [&sim](const std::string& n, const std::string& v) { sim.program_ms = number(n, v); });

    group(GROUP_FAULTS);
    value("--refuse", "K:N", "refuse (NAK) requests K to K+N-1 without carrying them out",
          [&sim](const std::string&, const std::string& v) {
            SimFault f{SimFaultKind::refuse, 0, 0, 0};
            if (!parse_pair(v, &f.request, &f.count) || f.request == 0 || f.count == 0) {
              refuse("--refuse needs K:N with K and N from 1: '" + v + "'");
            }
            sim.faults.push_back(f);
          });
    fault("--silent-from", SimFaultKind::silent, "answer nothing from request K on", &sim);
    fault("--bad-checksum", SimFaultKind::bad_checksum,
          "acknowledge request K with the checksum inverted", &sim);
    fault("--bad-command", SimFaultKind::bad_command,
          "acknowledge request K with command byte 0x41", &sim);
    fault("--no-etx", SimFaultKind::no_etx, "acknowledge request K with 0x00 in place of ETX",
          &sim);
    fault("--bad-length", SimFaultKind::bad_length,
          "acknowledge request K with length 264 (and 264 payload bytes)", &sim);
    value("--device-error", "K:C",
          "acknowledge request K with device error code C (1..255)\n"
          "without carrying it out",
          [&sim](const std::string&, const std::string& v) {
            SimFault f{SimFaultKind::device_error, 0, 1, 0};
            uint32_t code = 0;
            if (!parse_pair(v, &f.request, &code) || f.request == 0 || code == 0 || code > 255) {
              refuse("--device-error needs K:C with K from 1 and C from 1 to 255: '" + v + "'");
            }
            f.code = static_cast<uint8_t>(code);
            sim.faults.push_back(f);
          });
    fault("--close-at", SimFaultKind::close_line,
          "drop the line when request K arrives (the program ends)", &sim);
    fault("--double-ack", SimFaultKind::double_ack, "acknowledge request K twice in one write",
          &sim);
    value("--stray", "N", "put N stray bytes (never 0x02) before every answer",
          [&sim](const std::string& n, const std::string& v) {
            const uint32_t count = number(n, v);
            if (count > 4096) {
              refuse("--stray needs 0 to 4096 bytes: '" + v + "'");
            }
            sim.stray_bytes = count;
          });
    flag("--byte-at-a-time", &sim.byte_at_a_time, "send every answer one byte at a time");

    group(GROUP_ENDING);
    value("--runs", "N",
          "end after N jump requests have been answered and the\n"
          "line has been quiet for --quiet-ms (default 1; 0 =\n"
          "serve until stopped)",
          [o](const std::string& n, const std::string& v) { o->runs = number(n, v); });
    value("--quiet-ms", "MS", "quiet time after the last jump (default 500)",
          [o](const std::string& n, const std::string& v) { o->quiet_ms = number(n, v); });
    value("--idle-timeout", "S",
          "end after S seconds without a byte from the host\n"
          "(default 0: never)",
          [o](const std::string& n, const std::string& v) { o->idle_timeout_s = number(n, v); });
    value("--report", "FILE",
          "write a JSON report when the program ends: every frame,\n"
          "counts, percent values, protocol violations, the jump,\n"
          "and whether the flash holds the image",
          [o](const std::string& n, const std::string& v) { o->report_path = file_name(n, v); });
    value("--turnaround", "FILE",
          "write to FILE, one line per request that followed an\n"
          "answer, the microseconds from the answer's last byte\n"
          "leaving to the request's first byte arriving",
          [o](const std::string& n, const std::string& v) {
            o->turnaround_path = file_name(n, v);
          });
    flag("-h,--help", &o->help, "show this text");
  }

  CLI::App& app() { return app_; }

private:
  using Take = std::function<void(const std::string& name, const std::string& value)>;

  void group(const char* name) { group_ = name; }

  void value(const std::string& name, const char* value_name, const char* help, Take take) {
    app_.add_option(
            name,
            [name, take](const CLI::results_t& values) {
              take(name, values.at(0));
              return true;
            },
            help)
        ->type_name(value_name)
        ->group(group_)
        ->trigger_on_parse();
  }

  void fault(const std::string& name, SimFaultKind kind, const char* help, SimConfig* sim) {
    value(name, "K", help, [kind, sim](const std::string& n, const std::string& v) {
      sim->faults.push_back(SimFault{kind, request_number(n, v), 1, 0});
    });
  }

  void flag(const std::string& name, bool* target, const char* help) {
    app_.add_flag(name, *target, help)->group(group_);
  }

  CLI::App app_;
  std::string group_;
};

// What is left over after parsing: an option nobody knows, or a stray word.
std::string leftover_reason(const std::string& first) {
  if (first.rfind("--", 0) == 0) {
    return "unknown option " + first.substr(0, first.find('='));
  }
  return "unexpected argument '" + first + "'";
}

} // namespace

bool bootsim_parse_args(int argc, const char* const* argv, BootsimOptions* options,
                        std::string* error) {
  CommandLine line(options);
  try {
    line.app().parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    *error = e.what();
    return false;
  }
  const std::vector<std::string> leftover = line.app().remaining();
  if (!leftover.empty()) {
    *error = leftover_reason(leftover.front());
    return false;
  }
  if (options->require_match && options->image_path.empty()) {
    *error = "--require-match needs --image";
    return false;
  }
  return true;
}

bool bootsim_load_image(BootsimOptions* options, std::string* error) {
  std::ifstream file(options->image_path, std::ios::binary);
  if (!file) {
    *error = "cannot open the image " + options->image_path;
    return false;
  }
  options->sim.image.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad() || options->sim.image.empty()) {
    *error = "cannot read the image " + options->image_path + " (or it is empty)";
    return false;
  }
  return true;
}

std::string bootsim_help() {
  BootsimOptions scratch;
  CommandLine line(&scratch);
  return line.app().help();
}

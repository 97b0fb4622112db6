#include "sim/bootsim_options.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

bool parse_u32(const std::string& text, uint32_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') {
    return false;
  }
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || end == text.c_str() || v > UINT32_MAX) {
    return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

// "K:N" with both parts numbers.
bool parse_pair(const std::string& text, uint32_t* first, uint32_t* second) {
  const size_t colon = text.find(':');
  return colon != std::string::npos && parse_u32(text.substr(0, colon), first) &&
         parse_u32(text.substr(colon + 1), second);
}

struct Parser {
  BootsimOptions* options;
  std::string* error;

  bool fail(const std::string& text) {
    *error = text;
    return false;
  }

  bool request_number(const std::string& name, const std::string& value, uint32_t* k) {
    if (!parse_u32(value, k) || *k == 0) {
      return fail(name + " needs a request number from 1: '" + value + "'");
    }
    return true;
  }

  bool fault(const std::string& name, const std::string& value, SimFaultKind kind) {
    SimFault f{kind, 0, 1, 0};
    if (!request_number(name, value, &f.request)) {
      return false;
    }
    options->sim.faults.push_back(f);
    return true;
  }

  bool com(const std::string& name, const std::string& value, int* number) {
    uint32_t n = 0;
    if (!parse_u32(value, &n) || n < 1 || n > 256) {
      return fail(name + " needs a COM number from 1 to 256: '" + value + "'");
    }
    *number = static_cast<int>(n);
    return true;
  }

  bool number(const std::string& name, const std::string& value, uint32_t* out) {
    if (!parse_u32(value, out)) {
      return fail(name + " needs a number: '" + value + "'");
    }
    return true;
  }

  bool option(const std::string& name, const std::string& value) {
    SimConfig& sim = options->sim;
    if (name == "--image") {
      options->image_path = value;
      return !value.empty() || fail("--image needs a file");
    }
    if (name == "--load-address") return number(name, value, &sim.load_address);
    if (name == "--flash-base") return number(name, value, &sim.flash_base);
    if (name == "--flash-size") {
      // A bound on what a typo can make the simulator allocate.
      if (!number(name, value, &sim.flash_size) || sim.flash_size == 0 || sim.flash_size > (64u << 20)) {
        return fail("--flash-size needs 1 byte to 64 MiB: '" + value + "'");
      }
      return true;
    }
    if (name == "--baud") return number(name, value, &sim.baud);
    if (name == "--erase-ms") return number(name, value, &sim.erase_ms);
    if (name == "--program-ms") return number(name, value, &sim.program_ms);
    if (name == "--refuse") {
      SimFault f{SimFaultKind::refuse, 0, 0, 0};
      if (!parse_pair(value, &f.request, &f.count) || f.request == 0 || f.count == 0) {
        return fail("--refuse needs K:N with K and N from 1: '" + value + "'");
      }
      sim.faults.push_back(f);
      return true;
    }
    if (name == "--device-error") {
      SimFault f{SimFaultKind::device_error, 0, 1, 0};
      uint32_t code = 0;
      if (!parse_pair(value, &f.request, &code) || f.request == 0 || code == 0 || code > 255) {
        return fail("--device-error needs K:C with K from 1 and C from 1 to 255: '" + value + "'");
      }
      f.code = static_cast<uint8_t>(code);
      sim.faults.push_back(f);
      return true;
    }
    if (name == "--silent-from") return fault(name, value, SimFaultKind::silent);
    if (name == "--bad-checksum") return fault(name, value, SimFaultKind::bad_checksum);
    if (name == "--bad-command") return fault(name, value, SimFaultKind::bad_command);
    if (name == "--no-etx") return fault(name, value, SimFaultKind::no_etx);
    if (name == "--bad-length") return fault(name, value, SimFaultKind::bad_length);
    if (name == "--close-at") return fault(name, value, SimFaultKind::close_line);
    if (name == "--double-ack") return fault(name, value, SimFaultKind::double_ack);
    if (name == "--stray") {
      if (!number(name, value, &sim.stray_bytes) || sim.stray_bytes > 4096) {
        return fail("--stray needs 0 to 4096 bytes: '" + value + "'");
      }
      return true;
    }
    if (name == "--link-com") return com(name, value, &options->link_com);
    if (name == "--wine-com") return com(name, value, &options->wine_com);
    if (name == "--wine-map-script") {
      options->wine_map_script = value;
      return true;
    }
    if (name == "--report") {
      options->report_path = value;
      return !value.empty() || fail("--report needs a file");
    }
    if (name == "--path-file") {
      options->path_file = value;
      return !value.empty() || fail("--path-file needs a file");
    }
    if (name == "--runs") return number(name, value, &options->runs);
    if (name == "--quiet-ms") return number(name, value, &options->quiet_ms);
    if (name == "--idle-timeout") return number(name, value, &options->idle_timeout_s);
    return fail("unknown option " + name);
  }
};

bool takes_no_value(const std::string& name) {
  return name == "--help" || name == "-h" || name == "--byte-at-a-time" ||
         name == "--require-match";
}

} // namespace

bool bootsim_parse_args(int argc, const char* const* argv, BootsimOptions* options,
                        std::string* error) {
  Parser parser{options, error};
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    bool has_value = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      has_value = true;
    }
    if (takes_no_value(name)) {
      if (has_value) {
        return parser.fail(name + " takes no value");
      }
      if (name == "--byte-at-a-time") {
        options->sim.byte_at_a_time = true;
      } else if (name == "--require-match") {
        options->require_match = true;
      } else {
        options->help = true;
      }
      continue;
    }
    if (name.rfind("--", 0) != 0) {
      return parser.fail("unexpected argument '" + name + "'");
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        return parser.fail(name + " needs a value");
      }
      value = argv[++i];
    }
    if (!parser.option(name, value)) {
      return false;
    }
  }
  if (options->require_match && options->image_path.empty()) {
    return parser.fail("--require-match needs --image");
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
  return R"(Usage: orva-bootsim [OPTION]...
A simulated ORVA controller boot loader on a pseudo-terminal. It prints the
terminal's path as the first line on standard output and serves the upgrader
on it: every request is checked against the frame format, carried out on a
modelled flash and acknowledged with the request's sequence number.

Where the controller appears:
  --link-com N          also link the terminal as COMN for the Linux programs:
                        ${XDG_CONFIG_HOME:-~/.config}/orvaload/dosdevices/comN
  --wine-com N          also map it as COMN for Windows programs under Wine
                        (runs scripts/wine-map-com N DEVICE)
  --wine-map-script F   the wine-map-com script to run (default: found next to
                        this program or in the source tree's scripts/)
  --path-file F         also write the terminal's path to F

The flash and the expected image:
  --flash-base ADDR     first flash address (default 0)
  --flash-size BYTES    flash size (default 0x40000, 256 KiB)
  --image FILE          the image the host should write; the report says
                        whether the flash holds it at the load address
  --load-address ADDR   where the image belongs (default 0x4000)
  --require-match       exit with status 3 when the flash does not hold the image

Pacing (off by default; answers go out at once):
  --baud N              delay each answer by the wire time of the request and
                        the answer at N baud (10 bits per byte)
  --erase-ms MS         add MS per carried-out erase request
  --program-ms MS       add MS per carried-out program request

Faults; K counts request frames from 1 over the whole session, malformed ones
included, and each fault option may be given more than once:
  --refuse K:N          refuse (NAK) requests K to K+N-1 without carrying them out
  --silent-from K       answer nothing from request K on
  --bad-checksum K      acknowledge request K with the checksum inverted
  --bad-command K       acknowledge request K with command byte 0x41
  --no-etx K            acknowledge request K with 0x00 in place of ETX
  --bad-length K        acknowledge request K with length 264 (and 264 payload bytes)
  --device-error K:C    acknowledge request K with device error code C (1..255)
                        without carrying it out
  --close-at K          drop the line when request K arrives (the program ends)
  --double-ack K        acknowledge request K twice in one write
  --stray N             put N stray bytes (never 0x02) before every answer
  --byte-at-a-time      send every answer one byte at a time

Ending:
  --runs N              end after N jump requests have been answered and the
                        line has been quiet for --quiet-ms (default 1; 0 =
                        serve until stopped)
  --quiet-ms MS         quiet time after the last jump (default 500)
  --idle-timeout S      end after S seconds without a byte from the host
                        (default 0: never)
  --report FILE         write a JSON report when the program ends: every frame,
                        counts, percent values, protocol violations, the jump,
                        and whether the flash holds the image
  -h, --help            show this text

The controller refuses (NAK) malformed requests and acknowledges every
other one; its device error codes are 1 (area outside the flash), 2 (a byte
not erased since its last write, e.g. programming before erasing) and 3 (an
erase of 0 bytes). SIGINT, SIGTERM and SIGHUP end the program. On every way out the
COM links are removed and the terminal is closed. A client may close the
terminal and open it again.

Exit status: 0 a run was served, or the program was stopped (signal, idle
time-out, dropped line); 1 an error (terminal, link, image or report);
2 bad usage; 3 --require-match and the flash does not hold the image.
)";
}

// orvaload-cli --serve: a production station. The --port options are its
// slots, in order; nothing runs until a client asks, from the station's page
// or its HTTP API. Ctrl-C or SIGTERM cancels the runs still going, waits
// until their records are written, and ends the station.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/cli_commands.h"
#include "app/cli/cli_options.h"
#include "app/cli/cli_system.h"
#include "app/cli/console.h"
#include "app/cli/station/station.h"
#include "app/cli/station/station_http.h"
#include "app/http/token_file.h"
#include "image/sha256.h"
#include "serial/com_name.h"
#include "serial/number_text.h"
#include "serial/serial.h"

namespace {

const char LOOPBACK[] = "127.0.0.1";
// How often the station looks for adapters that came or went.
constexpr auto LOOK_EVERY = std::chrono::milliseconds(500);
constexpr auto INTERRUPT_POLL = std::chrono::milliseconds(50);
struct Address {
  HttpAddress address;
  std::string problem;
};

// "[ADDRESS:]PORT"; 127.0.0.1 when no address is given.
Address parse_address(const std::string& text) {
  Address parsed;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) parsed.address.host = text.substr(0, colon);
  else parsed.address.host = LOOPBACK;
  uint32_t port = 0;
  if (parsed.address.host.empty() || !parse_u32(text.substr(colon + 1), &port) || port > 65535) {
    parsed.problem =
        "--serve takes [ADDRESS:]PORT, such as 8080 or 0.0.0.0:8080, not '" + text + "'";
  }
  parsed.address.port = static_cast<int>(port);
  return parsed;
}

// The entry of the port list a slot's port stands for, if any.
const PortEntry* entry_of(const std::string& name, const std::vector<PortEntry>& ports) {
  const UsbPortFound found = cli_resolve_port(name, ports);
  if (found.status != UsbPortLookup::ok) return nullptr;
  const std::string& port = found.name;
  const int number = com_number(port.c_str());
  char path[SERIAL_PATH_SIZE] = "";
  serial_resolve_name(port.c_str(), path, sizeof path);
  for (const PortEntry& entry : ports) {
    if ((number != 0 && entry.number == number) || entry.device == path) return &entry;
  }
  return nullptr;
}

// One look at the port list serves every slot.
std::vector<PortLook> look_at_ports(const std::vector<std::string>& names) {
  const std::vector<PortEntry> ports = serial_list_ports();
  std::vector<PortLook> looks;
  for (const std::string& name : names) {
    const PortEntry* entry = entry_of(name, ports);
    PortLook look;
    look.present = cli_is_usb_selector(name) ? entry != nullptr : serial_port_present(name.c_str());
    if (look.present && entry != nullptr) look.usb = entry->description;
    looks.push_back(look);
  }
  return looks;
}

double wall_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

std::string image_name_of(const std::string& path) {
  if (path.empty()) return "built-in";
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

CliEnding cli_serve(const CliOptions& options, const FirmwareImage& image) {
  const Address at = parse_address(options.serve);
  if (!at.problem.empty()) return {CliStatus::usage, at.problem};
  TokenFile token;
  if (!options.token_file.empty()) {
    token = token_file_read(options.token_file);
    if (token.status != TokenFileStatus::ok) return {CliStatus::usage, token.reason};
  } else if (at.address.host != LOOPBACK) {
    return {CliStatus::usage, "--serve on " + at.address.host +
                                  " needs --token-file FILE: every request must then carry "
                                  "its token (only 127.0.0.1 is served without one)"};
  }
  // A station must not upgrade controllers it cannot keep a record of.
  if (!options.log_path.empty()) {
    const RecordAppend opened = run_record_append(options.log_path, "");
    if (!opened.ok()) return {CliStatus::usage, opened.reason};
  }

  StationSetup setup;
  setup.ports = options.ports;
  setup.log_path = options.log_path;
  setup.image_name = image_name_of(options.image);
  setup.image_sha256 = sha256_hex(sha256(image.bytes, image.size));
  StationSystem system;
  system.runs = cli_port_runs_system();
  system.record = cli_record_system();
  system.look = look_at_ports;
  system.wall_ms = wall_ms;
  system.err = [](const std::string& text) { cli_write(stderr, text); };
  system.note = [](const std::string& text) { cli_write(stdout, text); };

  Station station(setup, image, system);
  HttpServer server(at.address, station_site(station, token.token));
  const HttpListenResult bound = server.bind();
  if (bound.status != HttpListen::ok) return {CliStatus::no_port, bound.reason};

  std::string slots;
  for (size_t i = 0; i < options.ports.size(); ++i) {
    slots += (i ? ", " : "") + std::to_string(i + 1) + " " + options.ports[i];
  }
  cli_write(stdout, "station at http://" + at.address.host + ":" + std::to_string(server.port()) +
                        "/ with slots " + slots + "; Ctrl-C ends it\n");

  std::thread serving([&server] { server.serve(); });
  auto next_look = std::chrono::steady_clock::now() + LOOK_EVERY;
  while (!console_interrupted()) {
    std::this_thread::sleep_for(INTERRUPT_POLL);
    if (std::chrono::steady_clock::now() < next_look) continue;
    station.check_presence();
    next_look = std::chrono::steady_clock::now() + LOOK_EVERY;
  }
  // The runs end as Ctrl-C ends them on the command line, with their records.
  station.finish();
  server.stop();
  serving.join();
  return {};
}

#include "app/cli/cli_system.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/cli/cli_commands.h"
#include "app/cli/cli_options.h"
#include "app/cli/console.h"
#include "app/runs/notice_lines.h"
#include "serial/serial.h"

namespace {

double seconds_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// usb:SERIAL and usb-port:LOCATION open the one port whose adapter has that
// serial number or sits in that socket; when there is none or more than one,
// nothing is opened.
PortOpening open_port(const std::string& name) {
  const UsbPortFound found = cli_resolve_port(name);
  if (found.status != UsbPortLookup::ok) return {0, found.reason + "\n"};
  PortOpening opening;
  const SerialOpening opened = serial_open_explained(found.name.c_str(), &opening.port);
  if (opened.result != 0)
    opening.failure = notice_lines(opened.text.c_str()) + notice_lines(opened.hint.c_str());
  return opening;
}

void close_port(PortHandle port) {
  char message[128] = "";
  serial_close(&port, message);
}

} // namespace

PortRunsSystem cli_port_runs_system() {
  PortRunsSystem system;
  system.open = open_port;
  system.close = close_port;
  system.interrupted = console_interrupted;
  system.now_s = seconds_now;
  return system;
}

RecordSystem cli_record_system() {
  RecordSystem record;
  // A port named by its adapter's USB serial number names it in the record too.
  record.usb_serial = cli_usb_serial_of;
  record.append = run_record_append;
  record.host = run_record_host;
  record.utc_now = run_record_utc_now;
  return record;
}

void cli_write(FILE* stream, const std::string& text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

StoreOpening cli_open_records(const std::string& path) {
  StoreOpening opening;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::error_code failed;
  if (!folder.empty()) std::filesystem::create_directories(folder, failed);
  if (failed) {
    opening.reason = "cannot make the folder of the record store " + path + ": " + failed.message();
    return opening;
  }
  StoreResult result;
  opening.store = RecordStore::open(path, &result);
  opening.reason = result.reason;
  return opening;
}

StoreOpening cli_open_station_records(const std::string& station) {
  const std::string folder = run_record_state_folder();
  if (folder.empty()) return {nullptr, "no folder for the record store: give --records FILE"};
  // The name as a file name takes it on every system: anything but letters,
  // digits, '.', '_' and '-' percent-encoded.
  std::string file = "records-";
  for (const char c : station) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '.' || c == '_' || c == '-') {
      file += c;
    } else {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", u);
      file += code;
    }
  }
  const std::filesystem::path own = std::filesystem::path(folder) / (file + ".db");
  const std::filesystem::path shared = std::filesystem::path(folder) / "records.db";
  std::error_code failed;
  if (!std::filesystem::exists(own, failed) && std::filesystem::exists(shared, failed)) {
    StoreOpening earlier = cli_open_records(shared.string());
    bool holds = false;
    if (earlier.store && earlier.store->holds_station(station, &holds).ok() && holds) {
      return earlier;
    }
  }
  return cli_open_records(own.string());
}

std::string cli_image_source(const std::string& path) {
  if (path.empty()) return "built-in";
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

RowContext cli_row_context(const CliOptions& options, const FirmwareImage& image,
                           const std::string& image_sha256) {
  RowContext context;
  context.station = options.station_name.empty() ? run_record_host() : options.station_name;
  context.image_sha256 = image_sha256;
  context.image_size = image.size;
  context.load_address = image.load_address;
  context.image_source = cli_image_source(options.image);
  context.program_version = ORVA_VERSION_TEXT;
  return context;
}

int64_t cli_wall_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

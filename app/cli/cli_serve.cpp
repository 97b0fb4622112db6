// orvaload-cli --serve: a production station. The --port options are its
// slots, in order; nothing runs until a client asks, from the station's page
// or its HTTP API. Ctrl-C or SIGTERM cancels the runs still going, waits
// until their records are written, and ends the station.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/access/credentials.h"
#include "app/access/sessions.h"
#include "app/cli/cli_commands.h"
#include "app/cli/cli_options.h"
#include "app/cli/cli_system.h"
#include "app/cli/console.h"
#include "app/http/http_face.h"
#include "app/http/token_file.h"
#include "app/runs/cli_ending.h"
#include "app/runs/record_json.h"
#include "app/station/line_reporter.h"
#include "app/station/release_follower.h"
#include "app/station/station.h"
#include "app/station/station_http.h"
#include "app/station/station_people.h"
#include "image/sha256.h"
#include "serial/com_name.h"
#include "serial/port_watch.h"
#include "serial/serial.h"

namespace {

// How often the station may look for adapters that came or went: when the
// system tells of one (udev), at most every LOOK_EVERY; otherwise every
// LOOK_ANYWAY (a pseudo-terminal or a link comes and goes untold). An idle
// station costs next to nothing between.
constexpr auto LOOK_EVERY = std::chrono::milliseconds(500);
constexpr auto LOOK_ANYWAY = std::chrono::milliseconds(5000);
constexpr auto INTERRUPT_POLL = std::chrono::milliseconds(200);
// What a station that ends gives its last post to the line.
constexpr int GIVE_BACK_MS = 2000;

// What the slots' ports look like. Reading the port list (with each USB
// adapter's identity) is the costly part: it is read when a slot names its
// adapter by USB (usb:, usb-port:) or a port came or went since the last
// look; otherwise the last look stands.
class PortLooker {
public:
  std::vector<PortLook> operator()(const std::vector<std::string>& names) {
    bool full = looks_.size() != names.size();
    for (size_t i = 0; !full && i < names.size(); ++i) {
      full = cli_is_usb_selector(names[i]) ||
             serial_port_present(names[i].c_str()) != looks_[i].present;
    }
    if (!full) return looks_;
    const std::vector<PortEntry> ports = serial_list_ports();
    looks_.clear();
    for (const std::string& name : names) {
      const PortEntry* entry = cli_port_entry(name, ports);
      PortLook look;
      look.present =
          cli_is_usb_selector(name) ? entry != nullptr : serial_port_present(name.c_str());
      if (look.present && entry != nullptr) {
        look.usb = entry->description;
        look.identity = entry->usb;
      }
      looks_.push_back(look);
    }
    return looks_;
  }

private:
  std::vector<PortLook> looks_;
};

double wall_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

} // namespace

CliEnding cli_serve(const CliOptions& options, const FirmwareImage& image) {
  HttpAddress listen;
  const std::string problem = http_address_parse(options.serve, "--serve", &listen);
  if (!problem.empty()) return {CliStatus::usage, problem};
  const HttpAddress& address = listen;
  TokenFile token;
  if (!options.token_file.empty()) {
    token = token_file_read(options.token_file);
    if (token.status != TokenFileStatus::ok) return {CliStatus::usage, token.reason};
  } else if (address.host != HTTP_LOOPBACK) {
    return {CliStatus::usage, "--serve on " + address.host +
                                  " needs --token-file FILE: every request must then carry "
                                  "its token (only 127.0.0.1, or localhost, is served without "
                                  "one)"};
  }
  // A station must not upgrade controllers it cannot keep a record of.
  if (!options.log_path.empty()) {
    const RecordAppend opened = run_record_append(options.log_path, "");
    if (!opened.ok()) return {CliStatus::usage, opened.reason};
  }

  // Every run is kept in the record store; a station has one whether told
  // or not.
  const std::string station_name =
      options.station_name.empty() ? run_record_host() : options.station_name;
  // The line takes the name into its paths, topics and credentials as it is.
  if (!options.line_url.empty() && !credential_name_is_valid(station_name)) {
    return {CliStatus::usage, "the station's name '" + station_name +
                                  "' is not one a line takes: give --station-name NAME, " +
                                  CREDENTIAL_NAME_RULE};
  }
  const StoreOpening records = options.records_path.empty()
                                   ? cli_open_station_records(station_name)
                                   : cli_open_records(options.records_path);
  if (!records.store) return {CliStatus::usage, records.reason};
  const std::string& records_path = records.store->path();

  // The line server this station reports to, checked before anything runs.
  TokenFile line_token;
  LineHttp line_transport;
  if (!options.line_url.empty()) {
    std::string line_host;
    int line_port = 0;
    bool https = false;
    if (!line_url_parse(options.line_url, &line_host, &line_port, &https)) {
      return {CliStatus::usage,
              "--line takes the line server's address as https://HOST:PORT (or http://), not '" +
                  options.line_url + "'"};
    }
    if (!options.line_token_file.empty()) {
      line_token = token_file_read(options.line_token_file);
      if (line_token.status != TokenFileStatus::ok) {
        return {CliStatus::usage, "--line-token-file: " + line_token.reason};
      }
    }
    line_transport = line_http(options.line_url, line_token.token, options.line_cafile);
    if (!line_transport.problem.empty()) {
      return {CliStatus::usage, "--line-cafile: " + line_transport.problem};
    }
    if (!https && !line_token.token.empty() && line_host != HTTP_LOOPBACK &&
        line_host != "localhost") {
      cli_write(stderr, cli_error_line("warning: the line's token goes to " + line_host +
                                       " in clear: use an https:// line (its --tls-cert)"));
    }
  }
  // Made once the station is, torn down before it: the station tells it of
  // each change, it asks the station for the slots.
  std::unique_ptr<LineReporter> line;

  StationSetup setup;
  setup.ports = options.ports;
  setup.log_path = options.log_path;
  setup.image_name = cli_image_source(options.image);
  setup.image_sha256 = sha256_hex(sha256(image.bytes, image.size));
  setup.rows = cli_row_context(options, image, setup.image_sha256);
  StationSystem system;
  system.runs = cli_port_runs_system();
  system.record = cli_record_system();
  system.look = PortLooker();
  system.wall_ms = wall_ms;
  system.err = [](const std::string& text) { cli_write(stderr, text); };
  system.note = [](const std::string& text) { cli_write(stdout, text); };
  system.store = records.store.get();
  system.changed = [&line](bool phase, bool rows) {
    if (!line) return;
    line->state_changed(phase);
    if (rows) line->rows_changed();
  };
  system.line_status = [&line] { return line ? line->status() : nlohmann::ordered_json(nullptr); };
  // With --product the line's release is flashed, as the line gives it.
  std::unique_ptr<SlotReleases> releases;
  if (!options.product.empty()) {
    ReleaseSetup follow;
    follow.product = options.product;
    follow.station = setup.rows.station;
    follow.grace_ms = int64_t{options.release_grace_hours} * 3600 * 1000;
    follow.now_ms = [] { return static_cast<int64_t>(wall_ms()); };
    if (!options.release_key.empty()) {
      std::string problem;
      follow.key = ReleaseKey::read_file(options.release_key, &problem);
      if (!follow.key) return {CliStatus::usage, "--release-key " + problem};
    }
    releases = std::make_unique<SlotReleases>(*records.store, follow);
    const std::string kept = releases->load_kept();
    if (!kept.empty()) cli_write(stderr, cli_error_line(kept));
    system.release = [&releases](int64_t slot, std::shared_ptr<const RunFirmware>* firmware) {
      return releases->image_for_run(slot, firmware);
    };
    system.release_status = [&releases] { return releases->status(); };
  }

  Station station(setup, image, system);

  // Who acts here: people from the station's store, or its line's; each
  // sign-in and change an entry of the station's audit trail.
  RecordStore& store = *records.store;
  const std::string origin = setup.rows.station;
  const auto audit = [&store, origin](const std::string& who, const std::string& action,
                                      const std::string& subject, const std::string& details) {
    const StoreResult kept =
        store.audit_append(origin, record_utc_text(cli_wall_ms()), who, action, subject, details);
    if (!kept.ok()) cli_write(stderr, cli_error_line("the audit trail: " + kept.reason));
  };
  Sessions sessions(SessionLimits{options.session_hours * 3600LL * 1000,
                                  options.session_idle_minutes * 60LL * 1000});
  const std::unique_ptr<PeopleCheck> people =
      options.line_url.empty()
          ? people_of_store(store)
          : people_of_line(store,
                           line_http(options.line_url, line_token.token, options.line_cafile).post);
  StationAccess access;
  access.people_required = options.people_required;
  access.sessions = &sessions;
  access.people = people.get();
  access.secure = !options.tls_cert.empty();
  access.now_ms = cli_wall_ms;
  access.audit = audit;
  HttpServer server(address, station_site(station, token.token, access));
  if (!options.tls_cert.empty()) {
    const std::string refused = server.use_tls({options.tls_cert, options.tls_key});
    if (!refused.empty()) return {CliStatus::usage, refused};
  } else if (!token.token.empty() && !http_is_loopback(address.host)) {
    cli_write(stderr, cli_error_line("warning: the token crosses the network to " + address.host +
                                     " in clear: serve HTTPS with --tls-cert FILE --tls-key FILE"));
  }
  const HttpListenResult bound = server.bind();
  if (bound.status != HttpListen::ok) return {CliStatus::no_port, bound.reason};
  const std::string scheme = server.tls() ? "https://" : "http://";

  std::string slots;
  for (size_t i = 0; i < options.ports.size(); ++i) {
    slots += (i ? ", " : "") + std::to_string(i + 1) + " " + options.ports[i];
  }
  audit("local", "program.start", origin,
        nlohmann::ordered_json{{"version", ORVA_VERSION_TEXT},
                               {"people_required", options.people_required}}
            .dump());
  cli_write(stdout, "station at " + scheme + address.host + ":" + std::to_string(server.port()) +
                        "/ with slots " + slots + "; records in " + records_path +
                        "; Ctrl-C ends it\n");

  if (!options.line_url.empty()) {
    const std::string page_host = address.host == "0.0.0.0" ? run_record_host() : address.host;
    LineSetup line_setup{options.line_url, line_token.token, setup.rows.station,
                         scheme + page_host + ":" + std::to_string(server.port()) + "/",
                         [](const std::string& text) { cli_write(stderr, cli_error_line(text)); }};
    // The line's people, kept for sign-ins while it is away.
    line_setup.heartbeat = [transport = line_transport, &store, name = setup.rows.station,
                            &releases, said = std::string()]() mutable {
      const LineAnswer answer =
          transport.post("/api/stations/" + url_encoded(name) + "/people", "{}");
      if (answer.status == 200) keep_line_people(store, answer.body);
      // The release, each time; a trouble said once, as it begins.
      if (!releases) return;
      const std::string trouble = releases->refresh(transport.post, transport.fetch);
      if (!trouble.empty() && trouble != said) cli_write(stderr, cli_error_line(trouble));
      said = trouble;
    };
    line = std::make_unique<LineReporter>(
        line_setup, *records.store, line_transport.post,
        [&station] { return station.line_slots(); }, line_transport.cancel);
    cli_write(stdout,
              "reporting to the line at " + options.line_url + " as " + setup.rows.station + "\n");
  }

  std::thread serving([&server] { server.serve(); });
  PortWatch ports_watched;
  auto next_look = std::chrono::steady_clock::now() + LOOK_EVERY;
  auto look_anyway = std::chrono::steady_clock::now() + LOOK_ANYWAY;
  while (!console_interrupted()) {
    std::this_thread::sleep_for(INTERRUPT_POLL);
    // A renewed certificate: new connections get it, none is dropped.
    if (console_reload_requested()) {
      const std::string kept = server.reload_tls();
      if (!kept.empty()) cli_write(stderr, cli_error_line("the certificate in use stays: " + kept));
      else if (server.tls()) cli_write(stdout, "certificate read again\n");
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < next_look || (!ports_watched.changed() && now < look_anyway)) continue;
    station.check_presence();
    next_look = std::chrono::steady_clock::now() + LOOK_EVERY;
    look_anyway = next_look - LOOK_EVERY + LOOK_ANYWAY;
  }
  // The runs end as Ctrl-C ends them on the command line, with their records.
  station.finish();
  audit("local", "program.stop", origin, "{}");
  server.stop();
  serving.join();
  // Nothing tells it of changes any more: it goes before the station.
  line.reset();
  // Units held and not spent go back to the line for other stations, within
  // the station's time to end.
  if (releases) {
    const std::string kept = releases->give_back(
        line_http(options.line_url, line_token.token, options.line_cafile, GIVE_BACK_MS).post);
    if (!kept.empty()) cli_write(stderr, cli_error_line(kept));
  }
  return {};
}

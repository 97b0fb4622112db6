// orvaload-line --serve: the line server. Stations send it their finished
// rows and their live state; it keeps the rows in the line's database
// (PostgreSQL, or an SQLite file) and shows the whole line on one page.
// Ctrl-C or SIGTERM ends it.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "app/http/token_file.h"
#include "app/line/firmware_catalogue.h"
#include "app/line/line.h"
#include "app/line/line_console.h"
#include "app/line/line_db.h"
#include "app/line/line_http.h"
#include "app/line/line_mqtt.h"
#include "app/line/open_files.h"
#include "app/runs/run_record.h"
#include "image/image_file.h"
#include "records/record_store.h"

namespace {

// Exit statuses, as the man page lists them.
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_PORT = 3;
// How often the line looks for stations gone quiet, and at its database.
constexpr auto TICK = std::chrono::milliseconds(200);
constexpr auto DB_LOOK = std::chrono::milliseconds(2000);
constexpr int OFFLINE_S_MAX = 3600;
constexpr int64_t ROWS_PER_MINUTE_MAX = 1000000;
constexpr size_t STATIONS_MOST = 100000;

const char* const FOOTER =
    "Without --token-file (on 127.0.0.1) requests that name no credential\n"
    "are served. Give each station its own credential (credential add station NAME)\n"
    "and each screen that shows the line a viewer's.\n"
    "\n"
    "Exit status:\n"
    "  0  ended by Ctrl-C or SIGTERM; a command done\n"
    "  1  a command refused (the reason on standard error)\n"
    "  2  a wrong option, a token, password or CA file that cannot be used, a database\n"
    "     URL that is not one, a database whose schema is newer than this program's\n"
    "  3  the address cannot be listened on (another program holds it)";

std::atomic<bool> interrupted{false};
std::atomic<bool> reload{false};

void on_signal(int signal) {
  if (signal == SIGHUP) reload = true;
  else interrupted = true;
}

struct Options {
  std::string serve;
  std::string token_file;
  std::string db;
  std::string line_name = "line";
  int offline_s = LINE_OFFLINE_MS / 1000;
  int64_t rows_per_minute = LINE_ROWS_PER_MINUTE;
  size_t stations_max = LINE_STATIONS_MAX;
  std::string mqtt;
  std::string mqtt_password_file;
  std::string mqtt_cafile;
  std::string tls_cert;
  std::string tls_key;
  bool people_required = false;
  int session_hours = 8;
  int session_idle_minutes = 15;
  std::string release_key;
  int release_approvals = 1;
  size_t firmware_max_bytes = FIRMWARE_MAX_BYTES;
};

int64_t wall_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int fail(int status, const std::string& reason) {
  std::cerr << "orvaload-line: " << reason << "\n";
  return status;
}

bool starts_with(const std::string& text, const char* head) {
  return text.rfind(head, 0) == 0;
}

// The database URL to use: --db as given, or the SQLite file in the state
// folder; an SQLite file's folder is made when missing. A problem in one
// line, or empty.
std::string database_url(const std::string& given, std::string* url) {
  std::string file;
  if (given.empty()) {
    const std::string folder = run_record_state_folder();
    if (folder.empty()) return "no state folder for the line's database: give --db URL";
    file = (std::filesystem::path(folder) / "line.db").string();
  } else if (starts_with(given, "sqlite:")) {
    file = given.substr(7);
    if (file.empty()) return "--db sqlite:FILE needs the file's name";
  } else if (starts_with(given, "postgresql://") || starts_with(given, "postgres://") ||
             given.find('=') != std::string::npos) {
    *url = given;
    return "";
  } else {
    return "--db takes a PostgreSQL URL (postgresql://USER@HOST/DATABASE), libpq's "
           "\"host=... dbname=...\", or sqlite:FILE, not '" +
           given + "'";
  }
  const std::filesystem::path folder = std::filesystem::path(file).parent_path();
  std::error_code failed;
  if (!folder.empty()) std::filesystem::create_directories(folder, failed);
  if (failed) return "cannot make the folder " + folder.string() + ": " + failed.message();
  *url = "sqlite:" + file;
  return "";
}

// The broker's options as one whole; a problem in one line, or empty.
std::string mqtt_options(const Options& options, LineMqttOptions* mqtt) {
  if (options.mqtt.empty()) {
    if (!options.mqtt_password_file.empty() || !options.mqtt_cafile.empty()) {
      return "--mqtt-password-file and --mqtt-cafile go with --mqtt URL";
    }
    return "";
  }
  const std::string bad = mqtt_address_parse(options.mqtt, &mqtt->address);
  if (!bad.empty()) return bad;
  if (!options.mqtt_cafile.empty() && !mqtt->address.tls) {
    return "--mqtt-cafile is for an mqtts:// broker";
  }
  if (!options.mqtt_cafile.empty()) {
    const std::string unreadable = file_unreadable_reason(options.mqtt_cafile);
    if (!unreadable.empty()) {
      return "cannot read the CA file " + options.mqtt_cafile + " (--mqtt-cafile): " + unreadable;
    }
  }
  mqtt->cafile = options.mqtt_cafile;
  if (!options.mqtt_password_file.empty()) {
    if (mqtt->address.user.empty()) {
      return "--mqtt-password-file needs the user in the URL: mqtt://USER@HOST";
    }
    const std::string& file = options.mqtt_password_file;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      return "cannot read the MQTT password file " + file + ": " + file_unreadable_reason(file);
    }
    if (token_file_open_to_others(file)) {
      return "the MQTT password file " + file +
             " may be read or written by others: make it its owner's alone (chmod 600 " + file +
             ")";
    }
    std::getline(in, mqtt->password);
    if (!mqtt->password.empty() && mqtt->password.back() == '\r') mqtt->password.pop_back();
    if (mqtt->password.empty()) return "the MQTT password file " + file + " is empty";
  }
  mqtt->line = options.line_name;
  mqtt->note = [](const std::string& text) { std::cerr << "orvaload-line: " << text << std::endl; };
  return "";
}

} // namespace

int main(int argc, char** argv) {
  // The line's database and anything else it makes are its user's alone.
  umask(077);
  Options options;
  CLI::App app{"orvaload-line: the line server that stations report their runs to"};
  app.footer(FOOTER);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("orvaload-line: ") + e.what() + "\nRun with --help for more information.\n";
  });
  app.set_version_flag("-V,--version", ORVA_VERSION_TEXT, "Print the version and exit");
  app.add_option("--serve", options.serve,
                 "Listen on [ADDRESS:]PORT (127.0.0.1 when no address is given)")
      ->type_name("[ADDRESS:]PORT");
  app.add_option("--token-file", options.token_file,
                 "The admin's token is in FILE: every request but the page must then carry a "
                 "credential")
      ->type_name("FILE");
  app.add_option("--db", options.db,
                 "postgresql://USER@HOST/DATABASE (any libpq connection string) or sqlite:FILE "
                 "(default: line.db in the state folder)")
      ->type_name("URL");
  app.add_option("--line-name", options.line_name, "The line's name on its page")
      ->check([](const std::string& name) {
        return line_station_name_is_valid(name) ? "" : "printable ASCII without '/', 1 to 64";
      })
      ->type_name("NAME")
      ->capture_default_str();
  app.add_option("--stations-max", options.stations_max,
                 "Show at most N stations without a credential of their own")
      ->check(CLI::Range(size_t{1}, STATIONS_MOST).description(""))
      ->type_name("N")
      ->capture_default_str();
  app.add_option("--offline-after", options.offline_s,
                 "A station not heard from for SECONDS is offline")
      ->check(CLI::Range(1, OFFLINE_S_MAX).description(""))
      ->type_name("SECONDS")
      ->capture_default_str();
  app.add_option("--rows-per-minute", options.rows_per_minute,
                 "A station may send at most ROWS rows a minute; more are refused with 429 and "
                 "how long to wait")
      ->check(CLI::Range(int64_t{1}, ROWS_PER_MINUTE_MAX).description(""))
      ->type_name("ROWS")
      ->capture_default_str();
  app.add_option("--tls-cert", options.tls_cert,
                 "Serve HTTPS with the certificate (chain) in FILE, PEM; read again on SIGHUP")
      ->type_name("FILE");
  app.add_option("--tls-key", options.tls_key,
                 "The private key of --tls-cert in FILE, PEM, its owner's alone")
      ->type_name("FILE");
  app.add_flag("--people-required", options.people_required,
               "Changes (people, and what needs a role) need a person signed in");
  app.add_option("--session-hours", options.session_hours, "A sign-in lasts at most HOURS")
      ->check(CLI::Range(1, 24).description(""))
      ->type_name("HOURS")
      ->capture_default_str();
  app.add_option("--session-idle-minutes", options.session_idle_minutes,
                 "A sign-in ends after MINUTES without a request")
      ->check(CLI::Range(1, 480).description(""))
      ->type_name("MINUTES")
      ->capture_default_str();
  app.add_option("--release-key", options.release_key,
                 "Release only images whose detached signature verifies with this Ed25519 "
                 "public key (PEM)")
      ->type_name("KEYFILE");
  app.add_option("--release-approvals", options.release_approvals,
                 "Engineers who release an image (2: one other than its uploader)")
      ->check(CLI::Range(1, 2).description(""))
      ->type_name("N")
      ->capture_default_str();
  app.add_option("--firmware-max-bytes", options.firmware_max_bytes,
                 "The largest firmware file taken")
      ->check(CLI::Range(size_t{1024}, size_t{IMAGE_MAX_FILE_SIZE}).description(""))
      ->type_name("BYTES")
      ->capture_default_str();
  app.add_option("--mqtt", options.mqtt,
                 "Publish the line's live state to mqtt://[USER@]HOST[:PORT] or mqtts://...")
      ->type_name("URL");
  app.add_option("--mqtt-password-file", options.mqtt_password_file,
                 "The broker password of the URL's user, the first line of FILE")
      ->type_name("FILE");
  app.add_option("--mqtt-cafile", options.mqtt_cafile,
                 "Trust the mqtts:// broker's certificate by this CA (default: the system's)")
      ->type_name("FILE");
  LineCommand command;
  line_commands_add(app, &command);
  app.require_subcommand(0, 1);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : EXIT_USAGE;
  }
  FirmwareRules firmware_rules;
  firmware_rules.approvals = options.release_approvals;
  firmware_rules.max_bytes = options.firmware_max_bytes;
  if (!options.release_key.empty()) {
    std::string problem;
    firmware_rules.key = ReleaseKey::read_file(options.release_key, &problem);
    if (!firmware_rules.key) return fail(EXIT_USAGE, "--release-key " + problem);
  }
  if (!command.what.empty()) {
    if (!options.serve.empty())
      return fail(EXIT_USAGE, "--serve and " + command.what + " do not go together");
    std::string url;
    const std::string bad_db = database_url(options.db, &url);
    if (!bad_db.empty()) return fail(EXIT_USAGE, bad_db);
    return line_command_run(command, *LineDb::open(url), firmware_rules, std::cout, std::cerr);
  }
  if (options.serve.empty()) {
    return fail(EXIT_USAGE, "give --serve [ADDRESS:]PORT to serve the line, or a command "
                            "(credential); run with --help for more");
  }

  HttpAddress address;
  const std::string bad_address = http_address_parse(options.serve, "--serve", &address);
  if (!bad_address.empty()) return fail(EXIT_USAGE, bad_address);
  TokenFile token;
  if (!options.token_file.empty()) {
    token = token_file_read(options.token_file);
    if (token.status != TokenFileStatus::ok) return fail(EXIT_USAGE, token.reason);
  } else if (address.host != HTTP_LOOPBACK) {
    return fail(EXIT_USAGE, "--serve on " + address.host +
                                " needs --token-file FILE: every request must then carry a "
                                "credential (only 127.0.0.1, or localhost, is served without "
                                "one)");
  }
  if (options.tls_cert.empty() != options.tls_key.empty()) {
    return fail(EXIT_USAGE, "--tls-cert and --tls-key go together");
  }
  LineMqttOptions mqtt_given;
  const std::string bad_mqtt = mqtt_options(options, &mqtt_given);
  if (!bad_mqtt.empty()) return fail(EXIT_USAGE, bad_mqtt);
  std::string url;
  const std::string bad_db = database_url(options.db, &url);
  if (!bad_db.empty()) return fail(EXIT_USAGE, bad_db);

  // The address first: a line that cannot listen touches nothing else.
  std::unique_ptr<LineDb> db = LineDb::open(url, options.line_name);
  Line line(options.line_name, *db, options.offline_s * 1000, options.stations_max);
  line.limit_rows(options.rows_per_minute);
  line.on_note(
      [](const std::string& text) { std::cerr << "orvaload-line: " << text << std::endl; });
  Credentials credentials;
  credentials.set_admin_token(token.token);
  LinePeople people(*db, {options.people_required, !options.tls_cert.empty(),
                          SessionLimits{options.session_hours * 3600LL * 1000,
                                        options.session_idle_minutes * 60LL * 1000},
                          wall_ms});
  FirmwareCatalogue firmware(
      *db, firmware_rules,
      [&people](const std::string& who, const std::string& action, const std::string& subject,
                const nlohmann::ordered_json& details) {
        people.audit(who, action, subject, details);
      },
      [] { return record_utc_text(wall_ms()); });
  HttpServer server(address, line_site(line, credentials, people, firmware));
  if (!options.tls_cert.empty()) {
    const std::string refused = server.use_tls({options.tls_cert, options.tls_key});
    if (!refused.empty()) return fail(EXIT_USAGE, refused);
  } else if (!token.token.empty() && !http_is_loopback(address.host)) {
    std::cerr << "orvaload-line: warning: tokens cross the network to " << address.host
              << " in clear: serve HTTPS with --tls-cert FILE --tls-key FILE" << std::endl;
  }
  if (!mqtt_given.password.empty() && !mqtt_given.address.tls) {
    std::cerr << "orvaload-line: warning: the MQTT password goes to " << mqtt_given.address.host
              << " in clear: use an mqtts:// broker" << std::endl;
  }
  const HttpListenResult bound = server.bind();
  if (bound.status != HttpListen::ok) return fail(EXIT_NO_PORT, bound.reason);

  // A database that is down is waited for; one that refuses us is not.
  const LineDbResult started = db->start();
  if (started.status == LineDbStatus::refused) return fail(EXIT_USAGE, started.reason);
  std::unique_ptr<LineMqtt> mqtt;
  if (!options.mqtt.empty()) {
    mqtt = std::make_unique<LineMqtt>(mqtt_given);
    const std::string refused = mqtt->start();
    if (!refused.empty()) return fail(EXIT_USAGE, refused);
    line.watch(mqtt.get());
  }
  line.load_known();
  people.audit("local", "program.start", options.line_name,
               {{"version", ORVA_VERSION_TEXT}, {"people_required", options.people_required}});
  // The stations' and viewers' credentials, read again with every look at
  // the database: one made or revoked on the line's machine counts within
  // DB_LOOK, and so does its connection's place. The places are sized then
  // too, for the stations heard since (a line without credentials).
  // While the database is away the credentials last read stay.
  std::vector<CredentialRow> held;
  HttpLimits sized;
  std::string files_said;
  const auto read_credentials = [&db, &credentials, &line, &server, &held, &sized, &files_said] {
    std::vector<CredentialRow> rows;
    if (db->credentials(&rows).ok()) {
      credentials.replace(rows);
      held = std::move(rows);
    }
    const HttpLimits limits = line_http_limits(held, line.station_names());
    if (limits.connections == sized.connections &&
        limits.credential_places == sized.credential_places) {
      return;
    }
    sized = limits;
    const std::string short_of = open_files_allow(line_open_files(limits));
    if (!short_of.empty() && short_of != files_said) {
      std::cerr << "orvaload-line: " << short_of << std::endl;
    }
    files_said = short_of;
    server.set_limits(limits);
  };
  read_credentials();

  struct sigaction action {};
  action.sa_handler = on_signal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The database is named without its password.
  const std::string shown = starts_with(url, "sqlite:") ? url.substr(7) : "PostgreSQL";
  std::cout << "line '" << options.line_name << "' at " << (server.tls() ? "https" : "http")
            << "://" << address.host << ":" << server.port() << "/; records in " << shown
            << (started.ok() ? "" : " (not reachable yet: " + started.reason + ")")
            << "; Ctrl-C ends it" << std::endl;

  std::thread serving([&server] { server.serve(); });
  // The database is looked at on a thread of its own: a wait for it never
  // holds up the stations' offline times or the end.
  std::mutex db_look_mutex;
  std::condition_variable db_look_wake;
  bool ending = false;
  std::thread db_look([&] {
    std::unique_lock<std::mutex> lock(db_look_mutex);
    while (!ending) {
      lock.unlock();
      line.check_database();
      read_credentials();
      lock.lock();
      db_look_wake.wait_for(lock, DB_LOOK, [&] { return ending; });
    }
  });
  while (!interrupted) {
    std::this_thread::sleep_for(TICK);
    line.tick();
    // A renewed certificate: new connections get it, none is dropped.
    if (reload.exchange(false)) {
      const std::string kept = server.reload_tls();
      if (kept.empty()) {
        if (server.tls()) std::cerr << "orvaload-line: certificate read again" << std::endl;
      } else {
        std::cerr << "orvaload-line: the certificate in use stays: " << kept << std::endl;
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(db_look_mutex);
    ending = true;
  }
  db_look_wake.notify_all();
  line.finish();
  server.stop();
  serving.join();
  db_look.join();
  // No answer is under way once the broker's publisher goes: an answer
  // still running would tell it of a station's slots.
  server.finish_answers();
  people.audit("local", "program.stop", options.line_name, nlohmann::ordered_json::object());
  if (mqtt) mqtt->stop();
  return 0;
}

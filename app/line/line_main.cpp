// orvaload-line --serve: the line server. Stations send it their finished
// rows and their live state; it keeps the rows in the line's database
// (PostgreSQL, or an SQLite file) and shows the whole line on one page.
// Ctrl-C or SIGTERM ends it.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "app/http/token_file.h"
#include "app/line/line.h"
#include "app/line/line_db.h"
#include "app/line/line_http.h"
#include "app/line/line_mqtt.h"
#include "app/runs/run_record.h"

namespace {

// Exit statuses, as the man page lists them.
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_PORT = 3;
// How often the line looks for stations gone quiet.
constexpr auto TICK = std::chrono::milliseconds(200);
constexpr int OFFLINE_S_MAX = 3600;

std::atomic<bool> interrupted{false};

void on_signal(int) {
  interrupted = true;
}

struct Options {
  std::string serve;
  std::string token_file;
  std::string db;
  std::string line_name = "line";
  int offline_s = LINE_OFFLINE_MS / 1000;
  std::string mqtt;
  std::string mqtt_password_file;
  std::string mqtt_cafile;
};

int fail(int status, const std::string& reason) {
  std::cerr << "orvaload-line: " << reason << "\n";
  return status;
}

// The SQLite file in the state folder, its folder made when missing.
std::string default_db(std::string* problem) {
  const std::string records = run_record_default_store();
  if (records.empty()) {
    *problem = "no state folder for the line's database: give --db URL";
    return "";
  }
  const std::filesystem::path file = std::filesystem::path(records).replace_filename("line.db");
  std::error_code failed;
  std::filesystem::create_directories(file.parent_path(), failed);
  if (failed) *problem = "cannot make " + file.parent_path().string() + ": " + failed.message();
  return "sqlite:" + file.string();
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
  mqtt->cafile = options.mqtt_cafile;
  if (!options.mqtt_password_file.empty()) {
    if (mqtt->address.user.empty()) {
      return "--mqtt-password-file needs the user in the URL: mqtt://USER@HOST";
    }
    const std::string& file = options.mqtt_password_file;
    std::ifstream in(file, std::ios::binary);
    if (!in) return "cannot read the MQTT password file " + file;
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
  Options options;
  CLI::App app{"orvaload-line: the line server that stations report their runs to"};
  app.set_version_flag("-V,--version", ORVA_VERSION_TEXT, "Print the version and exit");
  app.add_option("--serve", options.serve, "Listen on [ADDRESS:]PORT (127.0.0.1 by default)")
      ->required();
  app.add_option("--token-file", options.token_file,
                 "Ask every request but the page for the token in FILE");
  app.add_option("--db", options.db,
                 "postgresql://... (any libpq connection string) or sqlite:FILE");
  app.add_option("--line-name", options.line_name, "The line's name on its page")
      ->check([](const std::string& name) {
        return line_station_name_is_valid(name) ? "" : "printable ASCII without '/', 1 to 64";
      });
  app.add_option("--offline-after", options.offline_s,
                 "A station not heard from for SECONDS is offline (default 10)")
      ->check(CLI::Range(1, OFFLINE_S_MAX));
  app.add_option("--mqtt", options.mqtt,
                 "Publish the line's live state to mqtt://[USER@]HOST[:PORT] or mqtts://...");
  app.add_option("--mqtt-password-file", options.mqtt_password_file,
                 "The broker password of the URL's user, the first line of FILE");
  app.add_option("--mqtt-cafile", options.mqtt_cafile,
                 "Trust the mqtts:// broker's certificate by this CA (default: the system's)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : EXIT_USAGE;
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
                                " needs --token-file FILE: every request must then carry its "
                                "token (only 127.0.0.1 is served without one)");
  }
  LineMqttOptions mqtt_given;
  const std::string bad_mqtt = mqtt_options(options, &mqtt_given);
  if (!bad_mqtt.empty()) return fail(EXIT_USAGE, bad_mqtt);
  std::string problem;
  const std::string url = options.db.empty() ? default_db(&problem) : options.db;
  if (!problem.empty()) return fail(EXIT_USAGE, problem);

  std::unique_ptr<LineDb> db = LineDb::open(url);
  // A database that is down is waited for; one that refuses us is not.
  const LineDbResult started = db->start();
  if (started.status == LineDbStatus::refused) return fail(EXIT_USAGE, started.reason);
  Line line(options.line_name, *db, options.offline_s * 1000);
  std::unique_ptr<LineMqtt> mqtt;
  if (!options.mqtt.empty()) {
    mqtt = std::make_unique<LineMqtt>(mqtt_given);
    const std::string refused = mqtt->start();
    if (!refused.empty()) return fail(EXIT_USAGE, refused);
    line.watch(mqtt.get());
  }
  line.load_known();
  HttpServer server(address, line_site(line, token.token));
  const HttpListenResult bound = server.bind();
  if (bound.status != HttpListen::ok) return fail(EXIT_NO_PORT, bound.reason);

  struct sigaction action {};
  action.sa_handler = on_signal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The database is named without its password.
  const std::string shown = url.rfind("sqlite:", 0) == 0 ? url.substr(7) : "PostgreSQL";
  std::cout << "line '" << options.line_name << "' at http://" << address.host << ":"
            << server.port() << "/; records in " << shown
            << (started.ok() ? "" : " (not reachable yet: " + started.reason + ")")
            << "; Ctrl-C ends it" << std::endl;

  std::thread serving([&server] { server.serve(); });
  while (!interrupted) {
    std::this_thread::sleep_for(TICK);
    line.tick();
  }
  line.finish();
  server.stop();
  serving.join();
  if (mqtt) mqtt->stop();
  return 0;
}

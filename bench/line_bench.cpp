// A whole line under its real load, not a test: four stations of eight
// slots, 32 controllers (orva-bootsim paced like a 115200-baud line), every
// station reporting with a credential of its own to one orvaload-line that keeps its rows in
// PostgreSQL and publishes to a Mosquitto broker of the bench's own. It times one run alone on
// station 1, then all 32 started together through the stations' APIs, and prints:
//  1. the 32 runs' wall time against the one run's;
//  2. each row's way from its end (ended_at) to the line's database
//     (received_at, which the line stamps as it stores the batch), and to the
//     copy the line publishes once the row is committed;
//  3. each slot's change to "running" and to "upgraded" from the station's
//     event stream to the line's event stream and to the slot's MQTT state,
//     all three stamped by the bench as it reads them;
//  4. the line server's CPU time during the 32 runs, as a share of one core.
// Exit status 0 when every goal is met, 1 when one is missed or a run
// failed, 2 when the set-up failed. It needs a PostgreSQL of its own, as the
// bench-line target gives it:
//   tests/line/with_postgresql.sh orva-line-bench --cli ORVALOAD_CLI
//       --line ORVALOAD_LINE --image FIRMWARE [--work-dir DIR]
#include <httplib.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/line_bench_figures.h"
#include "tests/support/bootsim_process.h"
#include "tests/support/broker_process.h"
#include "tests/support/child_process.h"

namespace {

using Json = nlohmann::json;

constexpr int STATIONS = 4;
constexpr int SLOTS = 8;
constexpr int RUNS = STATIONS * SLOTS;
constexpr double START_S = 30.0;
constexpr double RUN_TIMEOUT_S = 180.0;
// For the last rows and states to reach the line once the runs ended.
constexpr double SETTLE_S = 30.0;

constexpr double WALL_RATIO_GOAL = 1.10;
constexpr double ROW_P99_GOAL_MS = 1000.0;
constexpr double STATE_P99_GOAL_MS = 250.0;
constexpr double LINE_CPU_GOAL_PERCENT = 10.0;

constexpr int EXIT_MISSED = 1;
constexpr int EXIT_SETUP = 2;

const char* const LINE_NAME = "L1";
const char* const PHASES[] = {"running", "upgraded"};

// Where a slot's change was seen.
enum class Source { station, line, mqtt };

double now_ms() {
  return monotonic_seconds() * 1000.0;
}

double wall_ms() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// "2026-12-09T14:06:41.123Z" as milliseconds since the epoch; -1 when it is not.
double utc_ms(const std::string& text) {
  std::tm t{};
  int ms = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &t.tm_year, &t.tm_mon, &t.tm_mday,
                  &t.tm_hour, &t.tm_min, &t.tm_sec, &ms) != 7) {
    return -1;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return static_cast<double>(timegm(&t)) * 1000.0 + ms;
}

std::string random_token() {
  std::random_device random;
  std::string token;
  for (int i = 0; i < 32; ++i) token += "0123456789abcdef"[random() % 16];
  return token;
}

// Everything the bench saw, stamped as it read it: each slot's phase as the
// station, the line and the broker showed it, and the rows the line
// published. Only changes count: a phase seen again is no news.
class Seen {
public:
  void phase(Source source, int station, int slot, const std::string& phase, double at) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string& last = last_[{static_cast<int>(source), station, slot}];
    if (last == phase) return;
    last = phase;
    changes_.emplace(std::make_tuple(static_cast<int>(source), station, slot, phase), at);
  }
  void record(const std::string& run_id, const std::string& ended_at, double at_wall) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.emplace(run_id, at_wall - utc_ms(ended_at));
  }
  // Forgets the changes and rows seen so far (not the phases they left).
  void arm() {
    std::lock_guard<std::mutex> lock(mutex_);
    changes_.clear();
    records_.clear();
  }
  // When `source` first showed the slot going to `phase` since arm(); 0: not yet.
  double when(Source source, int station, int slot, const std::string& phase) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = changes_.find({static_cast<int>(source), station, slot, phase});
    return found == changes_.end() ? 0 : found->second;
  }
  std::string last(Source source, int station, int slot) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = last_.find({static_cast<int>(source), station, slot});
    return found == last_.end() ? "" : found->second;
  }
  // The rows published since arm(): run_id and milliseconds from ended_at.
  std::map<std::string, double> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

private:
  mutable std::mutex mutex_;
  std::map<std::tuple<int, int, int>, std::string> last_;
  std::map<std::tuple<int, int, int, std::string>, double> changes_;
  std::map<std::string, double> records_;
};

// An event stream (GET /api/events) read on a thread of its own; each event
// handed over with the time it arrived.
class StreamReader {
public:
  using Take = std::function<void(const Json& event, double at)>;

  StreamReader(int port, const std::string& token, Take take)
      : client_("127.0.0.1", port), take_(std::move(take)) {
    if (!token.empty()) headers_.emplace("Authorization", "Bearer " + token);
    client_.set_read_timeout(3600, 0);
    thread_ = std::thread([this] { read(); });
  }
  // The stream may still be connecting: it is stopped until its thread is done.
  ~StreamReader() {
    stopping_ = true;
    while (!done_) {
      client_.stop();
      usleep(20000);
    }
    thread_.join();
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  // Events read so far: the stream's first ones say it is open.
  int events() const { return events_; }

private:
  void read() {
    std::string text;
    client_.Get("/api/events", headers_, [&](const char* data, size_t size) {
      const double at = now_ms();
      text.append(data, size);
      for (size_t end; (end = text.find("\n\n")) != std::string::npos; text.erase(0, end + 2)) {
        if (text.compare(0, 6, "data: ") != 0) continue;
        const Json event = Json::parse(text.substr(6, end - 6), nullptr, false);
        if (event.is_discarded() || !event.is_object()) continue;
        take_(event, at);
        ++events_;
      }
      return !stopping_;
    });
    done_ = true;
  }

  httplib::Client client_;
  httplib::Headers headers_;
  Take take_;
  std::atomic<int> events_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// mosquitto_sub's "TOPIC PAYLOAD" lines, read on a thread of its own. The
// child's output is collected in steps of a few milliseconds: a line's time
// is at most that late.
class MqttReader {
public:
  using Take = std::function<void(const std::string& topic, const Json& payload, double at)>;

  MqttReader(ChildProcess& sub, Take take) : sub_(sub), take_(std::move(take)) {
    thread_ = std::thread([this] { read(); });
  }
  ~MqttReader() {
    stopping_ = true;
    thread_.join();
  }
  MqttReader(const MqttReader&) = delete;
  MqttReader& operator=(const MqttReader&) = delete;

  int messages() const { return messages_; }

private:
  void read() {
    size_t done = 0;
    while (!stopping_) {
      const double before = now_ms();
      // No line holds the byte 0x01: this collects output for 2 ms.
      sub_.wait_for_output("\x01", 0.002);
      const double at = now_ms();
      const std::string& out = sub_.out();
      for (size_t end; (end = out.find('\n', done)) != std::string::npos; done = end + 1) {
        const std::string line = out.substr(done, end - done);
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        const Json payload = Json::parse(line.substr(space + 1), nullptr, false);
        take_(line.substr(0, space), payload, at);
        ++messages_;
      }
      // mosquitto_sub has ended: no busy loop.
      if (at - before < 1.0) usleep(2000);
    }
  }

  ChildProcess& sub_;
  Take take_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> messages_{0};
  std::thread thread_;
};

bool wait_until(const std::function<bool()>& done, double limit_s) {
  for (const double end = monotonic_seconds() + limit_s; !bench_interrupted; usleep(5000)) {
    if (done()) return true;
    if (monotonic_seconds() > end) return false;
  }
  return false;
}

struct Options {
  std::string cli, line, image, work_dir = "/tmp";
};

struct StationProcess {
  std::string name;
  int port = 0;
  ChildProcess process;
};

// Servers and children, stopped in the reverse order of their start when
// the bench ends however it ends.
struct Rig {
  std::string dir;
  BrokerProcess broker;
  ChildProcess line;
  ChildProcess sub;
  std::vector<std::unique_ptr<BootsimProcess>> sims;
  std::vector<std::unique_ptr<StationProcess>> stations;

  ~Rig() {
    for (auto& station : stations) {
      station->process.send_signal(SIGTERM);
      station->process.finish(30);
    }
    line.send_signal(SIGTERM);
    line.finish(10);
    sub.send_signal(SIGTERM);
    sub.finish(10);
    sims.clear();
    broker.stop();
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
  }
};

int setup_failure(const std::string& reason) {
  std::fprintf(stderr, "line-bench: %s%s\n", reason.c_str(),
               bench_interrupted ? " (interrupted)" : "");
  std::printf("load at end: %s\n", load_average().c_str());
  return EXIT_SETUP;
}

// The station's number (0 to STATIONS - 1) of a name; -1 for none of ours.
int station_index(const std::vector<std::string>& names, const std::string& name) {
  const auto found = std::find(names.begin(), names.end(), name);
  return found == names.end() ? -1 : static_cast<int>(found - names.begin());
}

// run_id and milliseconds from ended_at to received_at of the stations' rows.
bool rows_in_database(const std::vector<std::string>& names, std::map<std::string, double>* rows,
                      std::string* problem) {
  std::string in;
  for (const std::string& name : names) in += (in.empty() ? "'" : ", '") + name + "'";
  ChildProcess psql;
  // The times are timestamptz (texts in a line's table of schema 1): the
  // database takes the difference either way.
  if (!psql.start({"/usr/bin/psql", "-X", "-q", "-tA", "-F", " ", "-c",
                   "SELECT run_id, 1000 * EXTRACT(EPOCH FROM CAST(received_at AS timestamptz) -"
                   " CAST(ended_at AS timestamptz)) FROM orva_runs WHERE station IN (" +
                       in + ")"})) {
    *problem = "cannot run /usr/bin/psql";
    return false;
  }
  if (psql.finish(30) != 0) {
    *problem = "psql failed: " + psql.err();
    return false;
  }
  std::istringstream lines(psql.out());
  rows->clear();
  std::string id;
  for (double ms = 0; lines >> id >> ms;) (*rows)[id] = ms;
  return true;
}

} // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--cli") o.cli = argv[i + 1];
    else if (key == "--line") o.line = argv[i + 1];
    else if (key == "--image") o.image = argv[i + 1];
    else if (key == "--work-dir") o.work_dir = argv[i + 1];
  }
  if (o.cli.empty() || o.line.empty() || o.image.empty()) {
    std::fprintf(stderr, "usage: orva-line-bench --cli ORVALOAD_CLI --line ORVALOAD_LINE --image "
                         "FIRMWARE [--work-dir DIR]\n");
    return EXIT_SETUP;
  }
  bench_catch_signals();
  std::printf("load at start: %s\n", load_average().c_str());
  std::fflush(stdout);
  if (std::getenv("PGHOST") == nullptr) {
    return setup_failure("no PostgreSQL: run it under pg_virtualenv, as "
                         "tests/line/with_postgresql.sh or the bench-line target does");
  }

  Rig rig;
  std::string dir_pattern = o.work_dir + "/orva-line-bench-XXXXXX";
  if (mkdtemp(dir_pattern.data()) == nullptr) {
    return setup_failure("cannot make a folder in " + o.work_dir);
  }
  rig.dir = dir_pattern;
  const std::string token = random_token();
  const std::string token_file = rig.dir + "/line-token";
  std::ofstream(token_file) << token << "\n";
  chmod(token_file.c_str(), S_IRUSR | S_IWUSR);

  // The line, its rows in the PostgreSQL that PG* name.
  const std::string line_problem =
      bench_start_line(rig.broker, rig.line, o.line, LINE_NAME, token_file);
  if (!line_problem.empty()) return setup_failure(line_problem);
  const int line_port = port_in(rig.line.out());

  std::vector<std::string> names;
  for (int k = 0; k < STATIONS; ++k) {
    names.push_back("st" + std::to_string(k + 1) + "-" + std::to_string(getpid()));
  }
  Seen seen;
  std::string alone_run_id;
  const std::string prefix = std::string("orva/v1/") + LINE_NAME + "/";
  if (!rig.broker.subscribe(&rig.sub, prefix + "#")) return setup_failure("no mosquitto_sub");
  MqttReader mqtt(rig.sub, [&](const std::string& topic, const Json& payload, double at) {
    if (topic.compare(0, prefix.size(), prefix) != 0 || !payload.is_object()) return;
    // STATION/slot/N/state or STATION/record
    const std::string tail = topic.substr(prefix.size());
    const size_t slash = tail.find('/');
    if (slash == std::string::npos) return;
    const int k = station_index(names, tail.substr(0, slash));
    const std::string what = tail.substr(slash + 1);
    if (k < 0) return;
    if (what == "record") {
      seen.record(payload.value("run_id", ""), payload.value("ended_at", ""), wall_ms());
    } else if (what.rfind("slot/", 0) == 0 && payload.value("phase", Json()).is_string()) {
      seen.phase(Source::mqtt, k, payload.value("slot", 0), payload["phase"].get<std::string>(),
                 at);
    }
  });
  // The line's retained status comes first.
  if (!wait_until([&] { return mqtt.messages() > 0; }, START_S)) {
    return setup_failure("nothing came from the broker: " + rig.broker.log());
  }

  // The controllers: the first of station 1 serves the run alone and then
  // its run among the 32.
  for (int i = 0; i < RUNS; ++i) {
    rig.sims.push_back(std::make_unique<BootsimProcess>());
    std::vector<std::string> args{"--image",    o.image, "--require-match", "--baud", "115200",
                                  "--erase-ms", "0",     "--program-ms",    "0"};
    if (i == 0) args.insert(args.end(), {"--runs", "2"});
    if (!rig.sims.back()->start(args, START_S) || rig.sims.back()->path().empty()) {
      return setup_failure("orva-bootsim did not start");
    }
  }
  for (int k = 0; k < STATIONS; ++k) {
    auto station = std::make_unique<StationProcess>();
    station->name = names[k];
    // Each station reports with a credential of its own, as on a real line.
    const std::string station_token = bench_credential(o.line, "station", names[k]);
    if (station_token.empty()) return setup_failure("no credential for " + names[k]);
    const std::string station_token_file = rig.dir + "/" + names[k] + ".token";
    std::ofstream(station_token_file) << station_token << "\n";
    chmod(station_token_file.c_str(), S_IRUSR | S_IWUSR);
    std::vector<std::string> args{o.cli,
                                  "--serve",
                                  "127.0.0.1:0",
                                  "--records",
                                  rig.dir + "/" + names[k] + ".db",
                                  "--station-name",
                                  names[k],
                                  "--line",
                                  "http://127.0.0.1:" + std::to_string(line_port),
                                  "--line-token-file",
                                  station_token_file};
    for (int s = 0; s < SLOTS; ++s) {
      args.insert(args.end(), {"--port", rig.sims[k * SLOTS + s]->path()});
    }
    station->process.share_stderr();
    if (!station->process.start(args) ||
        !station->process.wait_for_output("reporting to the line", START_S)) {
      return setup_failure("station " + names[k] + " did not start: " + station->process.out());
    }
    station->port = port_in(station->process.out());
    rig.stations.push_back(std::move(station));
  }

  // The station's events tell each slot's phase; the line's tell every
  // station's slots at once.
  std::vector<std::unique_ptr<StreamReader>> readers;
  for (int k = 0; k < STATIONS; ++k) {
    readers.push_back(
        std::make_unique<StreamReader>(rig.stations[k]->port, "", [&, k](const Json& e, double at) {
          if (e.value("event", "") == "slot" && e.value("state", Json()).is_string()) {
            seen.phase(Source::station, k, e.value("slot", 0), e["state"].get<std::string>(), at);
          }
        }));
  }
  readers.push_back(std::make_unique<StreamReader>(line_port, token, [&](const Json& e, double at) {
    if (e.value("event", "") != "station" || !e.value("station", Json()).is_object()) return;
    const Json& station = e["station"];
    const int k = station_index(names, station.value("name", ""));
    if (k < 0 || !station.value("slots", Json()).is_array()) return;
    for (const Json& slot : station["slots"]) {
      if (slot.value("state", Json()).is_string()) {
        seen.phase(Source::line, k, slot.value("slot", 0), slot["state"].get<std::string>(), at);
      }
    }
  }));
  // Every slot idle everywhere: the streams are open and the line knows the stations.
  const auto all_show = [&](const std::string& phase) {
    for (int k = 0; k < STATIONS; ++k) {
      for (int s = 1; s <= SLOTS; ++s) {
        for (const Source source : {Source::station, Source::line, Source::mqtt}) {
          if (seen.last(source, k, s) != phase) return false;
        }
      }
    }
    return true;
  };
  if (!wait_until([&] { return all_show("idle"); }, START_S)) {
    return setup_failure("the slots did not show idle on the stations, the line and the broker");
  }

  // One run alone on station 1.
  httplib::Client first("127.0.0.1", rig.stations[0]->port);
  const double alone_start = now_ms();
  const auto alone = first.Post("/api/slots/1/run", "{}", "application/json");
  if (!alone || alone->status != 202) return setup_failure("station 1 did not start slot 1");
  const auto alone_ended = [&] {
    const std::string last = seen.last(Source::station, 0, 1);
    return last != "running" && last != "idle";
  };
  if (!wait_until(alone_ended, RUN_TIMEOUT_S)) {
    return setup_failure("the run alone did not end");
  }
  if (seen.last(Source::station, 0, 1) != "upgraded") {
    return setup_failure("the run alone ended " + seen.last(Source::station, 0, 1));
  }
  const double alone_ms = seen.when(Source::station, 0, 1, "upgraded") - alone_start;
  // Its row and its state reach the line and the broker before the 32 start.
  if (!wait_until(
          [&] {
            return seen.records().size() == 1 && seen.last(Source::line, 0, 1) == "upgraded" &&
                   seen.last(Source::mqtt, 0, 1) == "upgraded";
          },
          SETTLE_S)) {
    return setup_failure("the run alone did not reach the line and the broker");
  }
  alone_run_id = seen.records().begin()->first;

  // All 32 together: one request to each station at once.
  seen.arm();
  const double cpu_before = cpu_seconds_of(rig.line.pid());
  const double start = now_ms();
  std::atomic<int> started{0};
  {
    std::vector<std::thread> posts;
    for (int k = 0; k < STATIONS; ++k) {
      posts.emplace_back([&, k] {
        httplib::Client api("127.0.0.1", rig.stations[k]->port);
        const auto answer = api.Post("/api/run", "{}", "application/json");
        if (!answer || answer->status != 202) return;
        const Json runs = Json::parse(answer->body, nullptr, false);
        if (runs.is_object() && runs.value("runs", Json()).is_array()) {
          started += static_cast<int>(runs["runs"].size());
        }
      });
    }
    for (std::thread& post : posts) post.join();
  }
  if (started != RUNS) {
    return setup_failure("the stations started " + std::to_string(started.load()) + " runs, not " +
                         std::to_string(RUNS));
  }
  const auto ended = [&](Source source) {
    for (int k = 0; k < STATIONS; ++k) {
      for (int s = 1; s <= SLOTS; ++s) {
        const std::string last = seen.last(source, k, s);
        if (last == "running" || seen.when(source, k, s, "running") == 0) return false;
      }
    }
    return true;
  };
  if (!wait_until([&] { return ended(Source::station); }, RUN_TIMEOUT_S)) {
    return setup_failure("the 32 runs did not end within " + std::to_string(RUN_TIMEOUT_S) + " s");
  }
  double last_end = 0;
  int upgraded = 0;
  for (int k = 0; k < STATIONS; ++k) {
    for (int s = 1; s <= SLOTS; ++s) {
      const double at = seen.when(Source::station, k, s, "upgraded");
      upgraded += at > 0;
      last_end = std::max(last_end, at);
    }
  }
  const double together_ms = last_end - start;
  // The line holds every row and shows every end, here and on the broker.
  const bool settled = wait_until(
      [&] { return seen.records().size() == RUNS && ended(Source::line) && ended(Source::mqtt); },
      SETTLE_S);
  const double window_ms = now_ms() - start;
  const double line_cpu = cpu_seconds_of(rig.line.pid()) - cpu_before;

  std::map<std::string, double> stored;
  std::string problem;
  if (!rows_in_database(names, &stored, &problem)) return setup_failure(problem);
  stored.erase(alone_run_id);
  std::vector<double> row_ms, copy_ms;
  for (const auto& [id, ms] : stored) row_ms.push_back(ms);
  for (const auto& [id, ms] : seen.records()) copy_ms.push_back(ms);

  std::vector<double> to_line, to_mqtt;
  std::map<std::string, std::vector<double>> mqtt_by_phase;
  int unseen_line = 0, unseen_mqtt = 0;
  // The slowest change of each way, as "station 2 slot 5 upgraded".
  std::string slowest_line, slowest_mqtt;
  double slowest_line_ms = -1e9, slowest_mqtt_ms = -1e9;
  for (int k = 0; k < STATIONS; ++k) {
    for (int s = 1; s <= SLOTS; ++s) {
      for (const char* phase : PHASES) {
        const double at = seen.when(Source::station, k, s, phase);
        const double line_at = seen.when(Source::line, k, s, phase);
        const double mqtt_at = seen.when(Source::mqtt, k, s, phase);
        if (at == 0) continue;
        const std::string change =
            "station " + std::to_string(k + 1) + " slot " + std::to_string(s) + " " + phase;
        if (line_at > 0) to_line.push_back(line_at - at);
        else ++unseen_line;
        if (line_at > 0 && line_at - at > slowest_line_ms) {
          slowest_line_ms = line_at - at;
          slowest_line = change;
        }
        if (mqtt_at > 0) to_mqtt.push_back(mqtt_at - at);
        else ++unseen_mqtt;
        if (mqtt_at > 0) mqtt_by_phase[phase].push_back(mqtt_at - at);
        if (mqtt_at > 0 && mqtt_at - at > slowest_mqtt_ms) {
          slowest_mqtt_ms = mqtt_at - at;
          slowest_mqtt = change;
        }
      }
    }
  }

  // Each controller ends by itself after its last run; its status says
  // whether its flash holds the image.
  int matched = 0;
  for (auto& sim : rig.sims) matched += sim->wait_exit(std::chrono::seconds(10)) == 0;

  const double ratio = together_ms / alone_ms;
  const double row_p99 = percentile(row_ms, 0.99);
  const double line_p99 = percentile(to_line, 0.99);
  const double mqtt_p99 = percentile(to_mqtt, 0.99);
  const double cpu_percent = line_cpu * 1000.0 / window_ms * 100.0;
  const bool rows_all = static_cast<int>(row_ms.size()) == RUNS;
  const bool wall_met = ratio <= WALL_RATIO_GOAL;
  const bool row_met = rows_all && row_p99 <= ROW_P99_GOAL_MS;
  const bool line_met = unseen_line == 0 && line_p99 <= STATE_P99_GOAL_MS;
  const bool mqtt_met = unseen_mqtt == 0 && mqtt_p99 <= STATE_P99_GOAL_MS;
  const bool cpu_met = cpu_percent < LINE_CPU_GOAL_PERCENT;
  const bool runs_ok = upgraded == RUNS && matched == RUNS;

  std::printf("1. wall time: one run alone %.3f s; %d runs together %.3f s; ratio %.3f "
              "(goal <= %.2f: %s)\n",
              alone_ms / 1000, RUNS, together_ms / 1000, ratio, WALL_RATIO_GOAL, verdict(wall_met));
  std::printf("2. run's end to PostgreSQL (received_at - ended_at, %zu of %d rows): median %.0f "
              "ms, p99 %.0f ms (goal p99 <= %.0f ms: %s)\n",
              row_ms.size(), RUNS, percentile(row_ms, 0.5), row_p99, ROW_P99_GOAL_MS,
              verdict(row_met));
  std::printf("   run's end to its committed row's copy on MQTT (read by the bench, %zu rows): "
              "median %.0f ms, p99 %.0f ms\n",
              copy_ms.size(), percentile(copy_ms, 0.5), percentile(copy_ms, 0.99));
  std::printf("3. slot change (to running, to upgraded; %zu matched by station, slot and phase) "
              "station events to line events: median %.1f ms, p99 %.1f ms (%s), %d never seen "
              "(goal p99 <= %.0f ms: %s)\n",
              to_line.size(), percentile(to_line, 0.5), line_p99, slowest_line.c_str(), unseen_line,
              STATE_P99_GOAL_MS, verdict(line_met));
  std::printf("   station events to MQTT slot state (%zu matched): median %.1f ms, p99 %.1f ms "
              "(%s), %d never seen (goal p99 <= %.0f ms: %s)\n",
              to_mqtt.size(), percentile(to_mqtt, 0.5), mqtt_p99, slowest_mqtt.c_str(), unseen_mqtt,
              STATE_P99_GOAL_MS, verdict(mqtt_met));
  for (const char* phase : PHASES) {
    std::printf("   to MQTT, changes to %s: median %.1f ms, p99 %.1f ms\n", phase,
                percentile(mqtt_by_phase[phase], 0.5), percentile(mqtt_by_phase[phase], 0.99));
  }
  std::printf("4. line server CPU: %.2f s in the %.1f s of the %d runs, %.1f%% of one core "
              "(goal < %.0f%%: %s)\n",
              line_cpu, window_ms / 1000, RUNS, cpu_percent, LINE_CPU_GOAL_PERCENT,
              verdict(cpu_met));
  std::printf("load at end: %s\n", load_average().c_str());
  if (!settled)
    std::printf("reason: the line did not show every end and row within %.0f s\n", SETTLE_S);
  if (!runs_ok) {
    std::printf("reason: %d of %d runs upgraded, %d flashes hold the image\n", upgraded, RUNS,
                matched);
  }
  if (!wall_met)
    std::printf("reason: the 32 runs took %.1f%% longer than one\n", (ratio - 1) * 100);
  if (!row_met) std::printf("reason: rows reached PostgreSQL late or not at all\n");
  if (!line_met) std::printf("reason: slot changes reached the line's events late or not at all\n");
  if (!mqtt_met) std::printf("reason: slot changes reached MQTT late or not at all\n");
  if (!cpu_met) std::printf("reason: the line server used %.1f%% of a core\n", cpu_percent);
  std::fflush(stdout);
  readers.clear();
  const bool all_met = settled && runs_ok && wall_met && row_met && line_met && mqtt_met && cpu_met;
  return all_met ? 0 : EXIT_MISSED;
}

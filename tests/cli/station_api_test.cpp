// orvaload-cli --serve as a production line's test system sees it: the HTTP
// API of a whole station process against simulated controllers on
// pseudo-terminals. With ORVA_STATION_WINDOWS_CLI set (the 64-bit Windows
// build's test) the station is the Windows program under Wine, its slots the
// terminals mapped as COM5 and up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/bootsim_process.h"
#include "tests/support/child_process.h"
#include "tests/support/promtool.h"
#include "tests/support/test_ca.h"

namespace {

using nlohmann::json;

constexpr double START_S = 60.0;
constexpr double RUN_S = 60.0;
constexpr int FIRST_WINE_COM = 5;
// Paced so that a run lasts long enough to be refused or cancelled while it
// goes: about 3.5 s.
const std::vector<std::string> PACED = {"--program-ms", "5"};

const char* windows_cli() {
  return std::getenv("ORVA_STATION_WINDOWS_CLI");
}

double now_s() {
  return monotonic_seconds();
}

// Every event of one stream, collected on a thread of its own.
class EventLog {
public:
  EventLog(const std::string& host, int port, httplib::Headers headers)
      : client_(host, port), thread_([this, headers] {
          client_.Get("/api/events", headers, [this](const char* data, size_t size) {
            std::lock_guard<std::mutex> lock(mutex_);
            text_.append(data, size);
            for (size_t end; (end = text_.find("\n\n")) != std::string::npos;) {
              const std::string message = text_.substr(0, end);
              text_.erase(0, end + 2);
              if (message.rfind("data: ", 0) == 0) {
                events_.push_back(json::parse(message.substr(6)));
              }
            }
            return true;
          });
        }) {}
  ~EventLog() {
    client_.stop();
    thread_.join();
  }
  std::vector<json> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // Waits until `done` holds for the events so far.
  bool wait(const std::function<bool(const std::vector<json>&)>& done, double limit_s = RUN_S) {
    for (const double end = now_s() + limit_s; now_s() < end; usleep(20000)) {
      if (done(events())) return true;
    }
    return false;
  }

private:
  httplib::Client client_;
  std::mutex mutex_;
  std::string text_;
  std::vector<json> events_;
  std::thread thread_; // last: it uses the members above
};

// The status of an answer; 0 when none came (a station that died, say).
int status_of(const httplib::Result& result) {
  return result ? result->status : 0;
}

size_t count(const std::vector<json>& events, const std::string& kind) {
  size_t n = 0;
  for (const json& e : events) n += e.value("event", "") == kind;
  return n;
}

class StationApi : public ::testing::Test {
protected:
  void TearDown() override {
    station_.send_signal(SIGTERM);
    station_.finish(30);
    std::remove(log_path_.c_str());
    std::remove((log_path_ + ".token").c_str());
    for (const char* end : {"", "-wal", "-shm"}) std::remove((records_path_ + end).c_str());
    // A station killed on purpose leaves its life's lock file beside the store.
    const std::filesystem::path store(records_path_);
    std::error_code ignored;
    for (const auto& file : std::filesystem::directory_iterator(store.parent_path(), ignored)) {
      const std::string name = file.path().filename().string();
      if (name.rfind(store.filename().string() + "-life-", 0) == 0)
        std::filesystem::remove(file.path(), ignored);
    }
  }

  // Starts one simulated controller per entry of `faults`; returns the
  // names the station knows their ports by.
  std::vector<std::string> start_controllers(const std::vector<std::vector<std::string>>& faults) {
    std::vector<std::string> ports;
    for (const auto& extra : faults) {
      sims_.push_back(std::make_unique<BootsimProcess>());
      std::vector<std::string> args{"--image", ORVA_FIRMWARE_FILE, "--runs", "0"};
      args.insert(args.end(), extra.begin(), extra.end());
      EXPECT_TRUE(sims_.back()->start(args, START_S));
      ports.push_back(sims_.back()->path());
    }
    if (windows_cli()) {
      for (size_t i = 0; i < ports.size(); ++i) {
        const std::string com = std::to_string(FIRST_WINE_COM + i);
        ChildProcess map;
        EXPECT_TRUE(map.start({ORVA_SCRIPTS "/wine-map-com", com, ports[i]}));
        EXPECT_EQ(map.finish(START_S), 0) << map.err();
        ports[i] = "COM" + com;
      }
    }
    return ports;
  }

  // Starts the station on `host` with `ports` as its slots; returns its exit
  // status when it ended at once (a refusal), else -1 with port_ set.
  int serve(const std::string& host, const std::vector<std::string>& ports,
            std::vector<std::string> extra = {}, std::vector<std::string> env = {}) {
    std::vector<std::string> args{ORVALOAD_CLI};
    if (windows_cli()) args = {ORVA_SCRIPTS "/wine-run", windows_cli()};
    args.insert(args.end(),
                {"--serve", host + ":0", "--log", log_path_, "--records", records_path_});
    for (const std::string& port : ports) args.insert(args.end(), {"--port", port});
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_TRUE(station_.start(args, env));
    if (!station_.wait_for_output("/ with slots", START_S)) return station_.finish(10);
    const std::string& out = station_.out();
    const size_t colon = out.find(':', out.find("://") + 3);
    host_ = host;
    port_ = std::stoi(out.substr(colon + 1));
    return -1;
  }

  httplib::Result post(const std::string& path, const std::string& body,
                       httplib::Headers headers = {}) {
    return client().Post(path.c_str(), headers, body, "application/json");
  }
  httplib::Client client() { return httplib::Client(host_, port_); }

  std::vector<json> records() {
    const auto res = client().Get("/api/records?limit=10");
    EXPECT_TRUE(res && res->status == 200);
    return res ? json::parse(res->body)["records"].get<std::vector<json>>() : std::vector<json>{};
  }

  std::vector<std::unique_ptr<BootsimProcess>> sims_;
  ChildProcess station_;
  // Files of this case's own: a station of the case before that is still
  // ending (under Wine it may outlive its wrapper a moment) holds its own.
  static inline int cases_ = 0;
  const std::string name_ =
      "/tmp/orva-station-" + std::to_string(getpid()) + "-" + std::to_string(++cases_);
  std::string log_path_ = name_ + ".jsonl";
  std::string records_path_ = name_ + ".db";
  std::string host_;
  int port_ = 0;
};

} // namespace

// Start all with a tag for one slot: every run reports through the events,
// ends as its controller makes it end, and leaves a record with its tag;
// the API refuses what it cannot do, each time with one JSON error.
TEST_F(StationApi, StartAllRunsEverySlotAndRefusesWhatItCannotDo) {
  std::vector<std::string> failing = PACED;
  failing.insert(failing.end(), {"--device-error", "300:7"});
  const auto ports = start_controllers({PACED, PACED, failing});
  ASSERT_EQ(serve("127.0.0.1", ports), -1) << station_.err();

  const auto station = client().Get("/api/station");
  ASSERT_TRUE(station && station->status == 200);
  const json state = json::parse(station->body);
  EXPECT_EQ(state["firmware"]["size"], 180036);
  ASSERT_EQ(state["slots"].size(), 3u);
  for (const json& slot : state["slots"]) EXPECT_EQ(slot["state"], "idle") << slot;

  EventLog log(host_, port_, {});
  ASSERT_TRUE(log.wait([](const auto& e) { return count(e, "slot") >= 3; }));
  const auto two = post("/api/slots/2/run", R"({"tag": "SN-0002"})");
  ASSERT_TRUE(two && two->status == 202) << (two ? two->body : "no answer");
  const auto again = post("/api/slots/2/run", "{}");
  EXPECT_TRUE(again && again->status == 409 && json::parse(again->body).contains("error"));
  const auto all = post("/api/run", R"({"tags": {"1": "SN-0001"}})");
  ASSERT_TRUE(all && all->status == 202);
  EXPECT_EQ(json::parse(all->body)["runs"].size(), 2u) << all->body; // slot 2 runs already

  ASSERT_TRUE(log.wait([](const auto& e) { return count(e, "end") == 3; })) << "runs did not end";
  std::map<int, json> ends;
  for (const json& e : log.events()) {
    if (e["event"] == "end") ends[e["slot"]] = e;
    EXPECT_TRUE(e.contains("slot") && e.contains("sent_ms")) << e;
  }
  EXPECT_EQ(ends[1]["result"], "ok");
  EXPECT_EQ(ends[1]["tag"], "SN-0001");
  EXPECT_EQ(ends[2]["result"], "ok");
  EXPECT_EQ(ends[2]["tag"], "SN-0002");
  EXPECT_EQ(ends[3]["result"], "failed");
  EXPECT_EQ(ends[3]["last_text"].get<std::string>().rfind("ORVA had an internal error(7)!", 0), 0u);
  EXPECT_GE(count(log.events(), "progress"), 3u * 50);
  EXPECT_EQ(count(log.events(), "run"), 3u);

  std::map<std::string, std::string> tags;
  for (const json& record : records()) tags[record.value("tag", "")] = record["result"];
  EXPECT_EQ(tags["SN-0001"], "ok");
  EXPECT_EQ(tags["SN-0002"], "ok");
  EXPECT_EQ(tags[""], "failed");

  struct Refusal {
    const char* method;
    std::string path;
    std::string body;
    int status;
  };
  const Refusal refusals[] = {
      {"POST", "/api/slots/4/run", "{}", 404},
      {"POST", "/api/slots/x/cancel", "{}", 404},
      {"GET", "/api/elsewhere", "", 404},
      {"GET", "/api/run", "", 405},
      {"POST", "/api/station", "{}", 405},
      {"POST", "/api/slots/1/run", "{\"tag\": ", 400},
      {"POST", "/api/slots/1/run", R"({"tag": "line\nbreak"})", 400},
      {"POST", "/api/slots/1/run", R"({"tag": ")" + std::string(65, 'x') + "\"}", 400},
      {"POST", "/api/run", R"({"tags": {"9": "SN"}})", 400},
      {"POST", "/api/slots/1/run", "{\"tag\": \"" + std::string(5000, 'x') + "\"}", 413},
      {"POST", "/api/slots/1/cancel", "{}", 409},
      {"GET", "/api/records?limit=0", "", 400},
  };
  for (const Refusal& r : refusals) {
    const auto res =
        std::string(r.method) == "GET" ? client().Get(r.path.c_str()) : post(r.path, r.body);
    ASSERT_TRUE(res) << r.path;
    EXPECT_EQ(res->status, r.status) << r.method << " " << r.path << ": " << res->body;
    EXPECT_TRUE(json::parse(res->body, nullptr, false).contains("error")) << res->body;
  }
  // Bodies are read within bounds before any document is built from them.
  const std::pair<std::string, std::string> unread[] = {
      {"/api/slots/1/run", "{\"tag\": " + std::string(2000, '[') + std::string(2000, ']') + "}"},
      {"/api/run", "{\"tags\": {\"1\": " + std::string(15, '[') + std::string(15, ']') + "}}"},
      {"/api/slots/1/cancel", "{\"run\": \"" + std::string(1025, 'x') + "\"}"},
  };
  for (const auto& [path, body] : unread) {
    const auto res = post(path, body);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 400) << path;
    const std::string error = json::parse(res->body).value("error", "");
    EXPECT_TRUE(error.find("nests deeper than 16") != std::string::npos ||
                error.find("a text of more than 1024 bytes") != std::string::npos)
        << error;
  }
}

// A cancel ends that run as the CLI's Ctrl-C does; an adapter that goes
// shows its slot not present, which cannot start, until it comes back; and
// SIGTERM cancels the runs still going, writes their records and ends.
TEST_F(StationApi, CancelUnplugAndSignalEndRunsWithTheirRecords) {
  const std::vector<std::string> slow = {"--program-ms", "20"};
  const auto ports = start_controllers({slow, slow});
  // Slot 1 is COM7 through a port link that can be taken away and put back.
  std::vector<std::string> env;
  std::string link, unplugged;
  std::vector<std::string> slots = ports;
  if (!windows_cli()) {
    const std::string folder = sims_[0]->dir() + "/orvaload/dosdevices";
    std::system(("mkdir -p " + folder).c_str());
    link = folder + "/com7";
    unplugged = folder + "/unplugged";
    ASSERT_EQ(symlink(ports[0].c_str(), link.c_str()), 0);
    slots[0] = "COM7";
    env = {"XDG_CONFIG_HOME=" + sims_[0]->dir()};
  }
  ASSERT_EQ(serve("127.0.0.1", slots, {}, env), -1) << station_.err();
  EventLog log(host_, port_, {});

  ASSERT_EQ(status_of(post("/api/slots/1/run", "{}")), 202) << station_.err();
  ASSERT_TRUE(log.wait([](const auto& e) { return count(e, "progress") > 5; }));
  EXPECT_EQ(status_of(post("/api/slots/1/cancel", "{}")), 202);
  ASSERT_TRUE(log.wait([](const auto& e) { return count(e, "end") == 1; }));
  const std::vector<json> cancelled = records();
  ASSERT_FALSE(cancelled.empty());
  EXPECT_EQ(cancelled.front()["result"], "cancelled") << "the newest record comes first";

  if (!windows_cli()) {
    const auto present = [](bool want) {
      return [want](const std::vector<json>& events) {
        for (auto e = events.rbegin(); e != events.rend(); ++e) {
          if ((*e)["event"] == "slot" && (*e)["slot"] == 1) return (*e)["present"] == want;
        }
        return false;
      };
    };
    ASSERT_EQ(rename(link.c_str(), unplugged.c_str()), 0);
    ASSERT_TRUE(log.wait(present(false), 10)) << "the unplug was not seen";
    const auto absent = post("/api/slots/1/run", "{}");
    ASSERT_TRUE(absent);
    EXPECT_EQ(absent->status, 409);
    EXPECT_NE(absent->body.find("not present"), std::string::npos) << absent->body;
    ASSERT_EQ(rename(unplugged.c_str(), link.c_str()), 0);
    ASSERT_TRUE(log.wait(present(true), 10)) << "the adapter did not come back";
  }

  ASSERT_EQ(status_of(post("/api/slots/2/run", R"({"tag": "SN-SIGTERM"})")), 202);
  ASSERT_TRUE(log.wait([](const auto& e) { return count(e, "progress") > 30; }));
  // Windows knows no SIGTERM; Wine hands the program SIGINT as Ctrl-C.
  station_.send_signal(windows_cli() ? SIGINT : SIGTERM);
  EXPECT_EQ(station_.finish(30), 0) << station_.err();
  std::ifstream file(log_path_);
  std::string last, line;
  while (std::getline(file, line)) last = line;
  const json record = json::parse(last, nullptr, false);
  ASSERT_TRUE(record.is_object()) << "no record line";
  EXPECT_EQ(record["tag"], "SN-SIGTERM");
  EXPECT_EQ(record["result"], "cancelled");
}

// The records are found by tag, result and time, newest first, and every
// filter is checked.
TEST_F(StationApi, RecordsAreFoundByTagResultAndTime) {
  const auto ports = start_controllers({{}, {"--device-error", "300:7"}});
  ASSERT_EQ(serve("127.0.0.1", ports), -1) << station_.err();
  EventLog log(host_, port_, {});
  ASSERT_EQ(status_of(post("/api/run", R"({"tags": {"1": "SN-A", "2": "SN-B"}})")), 202);
  ASSERT_TRUE(log.wait([](const auto& e) { return count(e, "end") == 2; }));
  const auto rows = [this](const std::string& query) {
    const auto res = client().Get(("/api/records?" + query).c_str());
    EXPECT_TRUE(res && res->status == 200) << query << ": " << (res ? res->body : "no answer");
    return res ? json::parse(res->body)["records"] : json::array();
  };
  const json a = rows("tag=SN-A");
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0]["result"], "ok");
  EXPECT_EQ(a[0]["slot"], 1);
  EXPECT_EQ(a[0]["step"], "start");
  EXPECT_EQ(a[0]["image_source"], "built-in");
  EXPECT_EQ(a[0]["run_id"].get<std::string>().size(), 36u);
  const json failed = rows("result=failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0]["tag"], "SN-B");
  EXPECT_EQ(rows("since=2000-01-01").size(), 2u);
  EXPECT_EQ(rows("since=2999-01-01T00:00:00Z").size(), 0u);
  EXPECT_EQ(rows("limit=1")[0]["station_seq"], 2) << "newest first";
  for (const char* bad : {"limit=0", "result=fine", "since=yesterday", "colour=red", "tag=%zz"}) {
    const auto res = client().Get((std::string("/api/records?") + bad).c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << bad;
  }
}

// GET /metrics in Prometheus' text format, as promtool checks it: the runs
// that ended since the station started by result, their seconds, the slots
// by state and the answers by route class and status.
TEST_F(StationApi, MetricsAreWhatPrometheusTakes) {
  if (!have_promtool()) {
    GTEST_SKIP() << "no promtool here: install the package prometheus (scripts/install-deps)";
  }
  const auto ports = start_controllers({{}, {"--device-error", "300:7"}});
  ASSERT_EQ(serve("127.0.0.1", ports, {"--station-name", "st-m"}), -1) << station_.err();
  EventLog log(host_, port_, {});
  ASSERT_EQ(status_of(post("/api/run", "{}")), 202);
  ASSERT_TRUE(log.wait([](const auto& e) { return count(e, "end") == 2; }));
  EXPECT_EQ(status_of(client().Get("/api/elsewhere")), 404);
  const std::string text = metrics_checked(client().Get("/metrics"));
  for (const char* sample : {
           "orva_runs_total{station=\"st-m\",result=\"ok\"} 1\n",
           "orva_runs_total{station=\"st-m\",result=\"failed\"} 1\n",
           "orva_run_duration_seconds_count{station=\"st-m\"} 2\n",
           "orva_run_duration_seconds_bucket{station=\"st-m\",le=\"+Inf\"} 2\n",
           "orva_slots{station=\"st-m\",state=\"upgraded\"} 1\n",
           "orva_slots{station=\"st-m\",state=\"failed\"} 1\n",
           "orva_slots{station=\"st-m\",state=\"idle\"} 0\n",
           "orva_http_requests_total{route=\"run\",code=\"202\"} 1\n",
           "orva_http_requests_total{route=\"events\",code=\"200\"} 1\n",
           "orva_http_requests_total{route=\"other\",code=\"404\"} 1\n",
       }) {
    EXPECT_NE(text.find(sample), std::string::npos) << sample << text;
  }
  EXPECT_EQ(text.find("orva_rows_waiting"), std::string::npos) << "a station without a line";
}

// The same rows as a file a spreadsheet opens: a header row, quoting where a
// cell needs it, and no cell a spreadsheet would take for a formula.
TEST_F(StationApi, RecordsComeAsACsvFile) {
  const auto ports = start_controllers({{}});
  ASSERT_EQ(serve("127.0.0.1", ports), -1) << station_.err();
  EventLog log(host_, port_, {});
  ASSERT_EQ(status_of(post("/api/slots/1/run", R"({"tag": "=SN,\"7\""})")), 202);
  ASSERT_TRUE(log.wait([](const auto& e) { return count(e, "end") == 1; }));
  const auto res = client().Get("/api/records.csv?limit=5");
  ASSERT_TRUE(res && res->status == 200);
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/csv; charset=utf-8");
  EXPECT_NE(res->get_header_value("Content-Disposition").find("attachment"), std::string::npos);
  const std::string& csv = res->body;
  const size_t header_end = csv.find("\r\n");
  ASSERT_NE(header_end, std::string::npos);
  EXPECT_EQ(csv.substr(0, header_end),
            "run_id,station_seq,station,slot,port,usb_location,usb_serial,tag,image_sha256,"
            "image_size,load_address,image_source,program_version,started_at,ended_at,result,"
            "step,last_text,frames,retransmissions,operator,product,release_version");
  EXPECT_NE(csv.find(",\"'=SN,\"\"7\"\"\","), std::string::npos) << csv;
  EXPECT_NE(csv.find(",ok,start,\"Program success, starting application...\","), std::string::npos)
      << "a comma in a cell is quoted: " << csv;
}

// A station killed in the middle of a run (a power cut, a crash) left the
// run's row in its store; started again, it says the run was interrupted.
TEST_F(StationApi, ARunOfAKilledStationIsInterruptedOnRecord) {
  // Killing the script that runs Wine would leave the Windows program alive.
  if (windows_cli()) GTEST_SKIP() << "SIGKILL reaches the Linux station only";
  const auto ports = start_controllers({{"--program-ms", "20"}});
  ASSERT_EQ(serve("127.0.0.1", ports), -1) << station_.err();
  {
    EventLog log(host_, port_, {});
    ASSERT_EQ(status_of(post("/api/slots/1/run", R"({"tag": "SN-KILLED"})")), 202);
    ASSERT_TRUE(log.wait([](const auto& e) { return count(e, "progress") > 5; }));
    station_.send_signal(SIGKILL);
    station_.finish(10);
  }
  ASSERT_EQ(serve("127.0.0.1", ports), -1) << station_.err();
  EXPECT_NE(station_.out().find("records in " + records_path_), std::string::npos)
      << station_.out();
  const auto res = client().Get("/api/records?tag=SN-KILLED");
  ASSERT_TRUE(res && res->status == 200);
  const json rows = json::parse(res->body)["records"];
  ASSERT_EQ(rows.size(), 1u) << res->body;
  EXPECT_EQ(rows[0]["result"], "interrupted");
  EXPECT_EQ(rows[0]["slot"], 1);
  EXPECT_FALSE(rows[0].contains("ended_at")) << "when it ended is not known";
}

// Away from 127.0.0.1 the station needs a token, and asks every request for
// it; a page of another site cannot make it change anything.
TEST_F(StationApi, TokenAndOriginGuardTheStation) {
  const auto ports = start_controllers({{}});
  ChildProcess refused;
  std::vector<std::string> args{ORVALOAD_CLI};
  if (windows_cli()) args = {ORVA_SCRIPTS "/wine-run", windows_cli()};
  args.insert(args.end(), {"--serve", "127.0.0.2:0", "--port", ports[0]});
  ASSERT_TRUE(refused.start(args));
  EXPECT_EQ(refused.finish(START_S), 2);
  EXPECT_NE(refused.err().find("needs --token-file"), std::string::npos) << refused.err();

  const std::string token = "0123456789abcdef0123456789abcdef";
  const std::string token_file = log_path_ + ".token";
  std::ofstream(token_file) << token << "\n";
  ASSERT_EQ(serve("127.0.0.2", ports, {"--token-file", token_file}), -1) << station_.err();
  const httplib::Headers bearer{{"Authorization", "Bearer " + token}};

  EXPECT_EQ(status_of(client().Get("/api/station")), 401);
  EXPECT_EQ(status_of(client().Get("/api/station", {{"Authorization", "Bearer wrong"}})), 401);
  EXPECT_EQ(status_of(client().Get("/api/station", bearer)), 200);
  EXPECT_EQ(status_of(client().Get("/metrics")), 401);
  EXPECT_EQ(status_of(client().Get("/metrics", bearer)), 200);
  EXPECT_EQ(status_of(client().Get("/")), 200) << "the page itself asks for the token";
  EXPECT_EQ(status_of(post("/api/run", "{}")), 401);

  httplib::Headers foreign = bearer;
  foreign.emplace("Origin", "http://elsewhere.example");
  EXPECT_EQ(status_of(post("/api/run", "{}", foreign)), 403);
  httplib::Headers own = bearer;
  own.emplace("Origin", "http://127.0.0.2:" + std::to_string(port_));
  EXPECT_EQ(status_of(post("/api/run", "{}", own)), 202);
}

// The station over HTTPS, and its reports to a line over HTTPS, each with
// a certificate of a CA the test makes. A line whose certificate is for
// another host, or of a CA the station was not told of, is refused and the
// station says why on its page (never falling back to plain HTTP); with the
// right one its rows reach the line.
TEST_F(StationApi, HttpsForItsPageAndToItsLine) {
  TestCa ca("/tmp/orva-station-tls-" + std::to_string(getpid()));
  TestCa stranger("/tmp/orva-station-tls-other-" + std::to_string(getpid()));
  ASSERT_EQ(ca.prepare(), "");
  ASSERT_EQ(stranger.prepare("stranger-ca"), "");
  for (const auto& [made, file, host, address] :
       {std::make_tuple(&ca, "station", "localhost", true),
        std::make_tuple(&ca, "line", "localhost", true),
        std::make_tuple(&ca, "elsewhere", "elsewhere.example", false),
        std::make_tuple(&stranger, "line", "localhost", true)}) {
    ASSERT_EQ(made->issue(file, host, address), "");
  }
  const auto ports = start_controllers({{}});
  const std::string token_file = ca.dir() + "/st-https.token";

  // A line with the given certificate, the station's credential made for it.
  const auto line = [&](ChildProcess* process, const TestCa& of, const std::string& file) {
    const std::string db = "sqlite:" + of.dir() + "/" + file + ".db";
    ChildProcess credential;
    EXPECT_TRUE(
        credential.start({ORVALOAD_LINE, "--db", db, "credential", "add", "station", "st-https"}));
    EXPECT_EQ(credential.finish(30), 0) << credential.err();
    std::ofstream(token_file) << credential.out();
    chmod(token_file.c_str(), 0600);
    EXPECT_TRUE(process->start({ORVALOAD_LINE, "--serve", "127.0.0.1:0", "--db", db, "--tls-cert",
                                of.cert(file), "--tls-key", of.key(file)}));
    EXPECT_TRUE(process->wait_for_output("; Ctrl-C ends it", START_S)) << process->err();
    const std::string& out = process->out();
    return std::stoi(out.substr(out.find(':', out.find("https://") + 8) + 1));
  };
  const auto station_to = [&](int line_port, const std::string& host) {
    return std::vector<std::string>{"--tls-cert",
                                    ca.cert("station"),
                                    "--tls-key",
                                    ca.key("station"),
                                    "--station-name",
                                    "st-https",
                                    "--line",
                                    "https://" + host + ":" + std::to_string(line_port),
                                    "--line-cafile",
                                    ca.cafile(),
                                    "--line-token-file",
                                    token_file};
  };
  // The station's word on its line, once it has one.
  const auto line_state = [&](int line_port, const std::string& host) {
    EXPECT_EQ(serve("127.0.0.1", ports, station_to(line_port, host)), -1) << station_.err();
    httplib::SSLClient page(host_, port_);
    page.set_ca_cert_path(ca.cafile().c_str());
    page.enable_server_certificate_verification(true);
    json state;
    for (const double end = now_s() + RUN_S; now_s() < end; usleep(100000)) {
      const auto answer = page.Get("/api/station");
      if (status_of(answer) != 200) continue;
      EXPECT_EQ(answer->get_header_value("Strict-Transport-Security"), "max-age=31536000");
      state = json::parse(answer->body)["line"];
      if (state.value("trouble", "none") != "none" || state.value("synced_through", 0) > 0) break;
      if (state.value("unsynced", 0) == 0 &&
          status_of(page.Post("/api/slots/1/run", "{}", "application/json")) == 202) {
        continue;
      }
    }
    station_.send_signal(windows_cli() ? SIGINT : SIGTERM);
    EXPECT_EQ(station_.finish(30), 0) << station_.err();
    return state;
  };

  ChildProcess elsewhere;
  json state = line_state(line(&elsewhere, ca, "elsewhere"), "localhost");
  EXPECT_NE(state.value("error", "").find("certificate"), std::string::npos) << state;
  std::printf("another host's certificate: %s\n", state.value("error", "").c_str());
  EXPECT_NE(station_.err().find("localhost"), std::string::npos) << station_.err();
  ChildProcess strange;
  state = line_state(line(&strange, stranger, "line"), "localhost");
  EXPECT_NE(state.value("error", "").find("certificate"), std::string::npos) << state;
  std::printf("an unknown CA's certificate: %s\n", state.value("error", "").c_str());

  // A line that takes the connection and never answers the station's
  // handshake: stopped meanwhile, the station ends cleanly, its post
  // cancelled in the middle of the handshake.
  const int quiet = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  ASSERT_EQ(bind(quiet, reinterpret_cast<sockaddr*>(&at), size), 0);
  ASSERT_EQ(listen(quiet, 4), 0);
  getsockname(quiet, reinterpret_cast<sockaddr*>(&at), &size);
  EXPECT_EQ(serve("127.0.0.1", ports, station_to(ntohs(at.sin_port), "localhost")), -1)
      << station_.err();
  pollfd connection{quiet, POLLIN, 0};
  EXPECT_EQ(poll(&connection, 1, static_cast<int>(START_S * 1000)), 1) << "the station connects";
  const int held = accept(quiet, nullptr, nullptr);
  pollfd hello{held, POLLIN, 0};
  EXPECT_EQ(poll(&hello, 1, static_cast<int>(START_S * 1000)), 1) << "its handshake begins";
  station_.send_signal(windows_cli() ? SIGINT : SIGTERM);
  EXPECT_EQ(station_.finish(30), 0) << station_.err();
  close(held);
  close(quiet);

  ChildProcess trusted;
  state = line_state(line(&trusted, ca, "line"), "localhost");
  EXPECT_EQ(state.value("trouble", ""), "none") << state;
  EXPECT_GE(state.value("synced_through", 0), 1) << state;
  for (ChildProcess* process : {&elsewhere, &strange, &trusted}) {
    process->send_signal(SIGTERM);
    EXPECT_EQ(process->finish(10), 0) << process->err();
  }
}

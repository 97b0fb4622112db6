// orvaload-line as the stations and the plant see it: a real line server
// process with its database, PostgreSQL (a cluster of its own, started by
// with_postgresql.sh through pg_virtualenv) or an SQLite file. Each case runs
// against both engines; the PostgreSQL ones are skipped, with the reason,
// where PostgreSQL is not installed.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/bootsim_process.h"
#include "tests/support/broker_process.h"
#include "tests/support/child_process.h"
#include "tests/support/promtool.h"
#include "tests/support/raw_connection.h"
#include "tests/support/test_ca.h"

namespace {

using nlohmann::json;

constexpr double START_S = 30.0;
constexpr int OFFLINE_S = 2;

bool have_postgresql() {
  return std::getenv("PGVERSION") != nullptr && std::getenv("PGHOST") != nullptr;
}

// A finished row of `station`'s store, as a station sends it.
json row(const std::string& station, int seq, const std::string& result = "ok") {
  char id[64];
  std::snprintf(id, sizeof id, "%08x-0000-4000-8000-%012d", static_cast<unsigned>(station.size()),
                seq);
  return json{{"run_id", station + "-" + id},
              {"station_seq", seq},
              {"station", station},
              {"slot", 1 + seq % 8},
              {"port", "/dev/ttyUSB" + std::to_string(seq % 8)},
              {"usb_location", nullptr},
              {"usb_serial", nullptr},
              {"tag", "SN-" + station + "-" + std::to_string(seq)},
              {"image_sha256", std::string(64, 'a')},
              {"image_size", 180036},
              {"load_address", 536870912},
              {"image_source", "built-in"},
              {"program_version", "1.0.0"},
              {"started_at", "2026-12-09T14:06:41.123Z"},
              {"ended_at", "2026-12-09T14:06:44.456Z"},
              {"result", result},
              {"step", nullptr},
              {"last_text", "done, \"quoted\""},
              {"frames", 700},
              {"retransmissions", 0}};
}

json batch(const std::string& station, int first, int last) {
  json rows = json::array();
  for (int seq = first; seq <= last; ++seq) rows.push_back(row(station, seq));
  return json{{"rows", rows}};
}

// How many lines of `out` begin with `prefix`.
size_t lines_with(const std::string& out, const std::string& prefix) {
  size_t n = 0;
  for (size_t at = 0; (at = out.find(prefix, at)) != std::string::npos; at += prefix.size()) {
    n += at == 0 || out[at - 1] == '\n';
  }
  return n;
}

// 64 hex digits of a token's SHA-256, as the line keeps it.
std::string credential_hash(const std::string& token) {
  ChildProcess run;
  run.start({"/bin/sh", "-c", "printf %s '" + token + "' | sha256sum | cut -c1-64"});
  run.finish(10);
  std::string out = run.out();
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

int status_of(const httplib::Result& result) {
  return result ? result->status : 0;
}

// How much the line's memory may grow under a flood. Under the sanitizers
// (AddressSanitizer keeps 256 MiB of what was freed in quarantine before it
// is used again; ThreadSanitizer's allocator holds on to more) only a
// growth without bound shows.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long GROWTH_MAX_KIB = 1024 * 1024;
#else
constexpr long GROWTH_MAX_KIB = 64 * 1024;
#endif

// A figure of a process's memory in KiB from /proc (VmRSS: resident now,
// VmHWM: the most it was); 0 when it cannot be read.
long memory_kib(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return 0;
}

long resident_kib(pid_t pid) {
  return memory_kib(pid, "VmRSS");
}

// A batch of `station`'s rows first to last, sent to the line on `port`.
httplib::Result post_rows(int port, const std::string& station, int first, int last) {
  httplib::Client c("127.0.0.1", port);
  c.set_read_timeout(20, 0);
  return c.Post(("/api/stations/" + station + "/records").c_str(),
                batch(station, first, last).dump(), "application/json");
}

int64_t have_through_of(const httplib::Result& answer) {
  if (status_of(answer) != 200) return -1;
  return json::parse(answer->body).value("have_through", -1);
}

bool wait_until(const std::function<bool()>& done, double limit_s) {
  for (const double end = monotonic_seconds() + limit_s; monotonic_seconds() < end; usleep(50000)) {
    if (done()) return true;
  }
  return false;
}

// A station named `name` with the one slot `port` and its store at
// `records`, reporting to the line at `line_port`; the port of its HTTP API,
// 0 when it did not start.
int serve_station(ChildProcess* station, const std::string& port, const std::string& records,
                  const std::string& name, int line_port) {
  if (!station->start({ORVALOAD_CLI, "--serve", "127.0.0.1:0", "--port", port, "--records", records,
                       "--station-name", name, "--line",
                       "http://127.0.0.1:" + std::to_string(line_port)}) ||
      !station->wait_for_output("/ with slots", START_S)) {
    return 0;
  }
  const std::string& out = station->out();
  return std::stoi(out.substr(out.find(':', out.find("http://") + 7) + 1));
}

class LineApi : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    // A refused body may close the connection while it is still sent.
    signal(SIGPIPE, SIG_IGN);
    if (GetParam() == "postgresql" && !have_postgresql()) {
      GTEST_SKIP() << "no PostgreSQL here: install the package postgresql and run this test "
                      "under pg_virtualenv (ctest does)";
    }
    if (GetParam() == "postgresql") {
      db_ = "postgresql://";
      psql("DROP TABLE IF EXISTS orva_runs; DROP TABLE IF EXISTS orva_schema;"
           " DROP TABLE IF EXISTS orva_credentials; DROP TABLE IF EXISTS orva_run_figures");
    } else {
      db_ = "sqlite:" + sqlite_path_;
    }
    start();
  }
  void TearDown() override {
    line_->send_signal(SIGTERM);
    EXPECT_EQ(line_->finish(10), 0) << line_->err();
    for (const char* end : {"", "-wal", "-shm"}) std::remove((sqlite_path_ + end).c_str());
  }

  void start(const std::vector<std::string>& more = {}) {
    line_ = std::make_unique<ChildProcess>();
    std::vector<std::string> args{ORVALOAD_LINE,
                                  "--serve",
                                  "127.0.0.1:" + std::to_string(port_),
                                  "--db",
                                  db_,
                                  "--line-name",
                                  "L1",
                                  "--offline-after",
                                  std::to_string(OFFLINE_S)};
    args.insert(args.end(), more.begin(), more.end());
    ASSERT_TRUE(line_->start(args));
    ASSERT_TRUE(line_->wait_for_output("; Ctrl-C ends it", START_S)) << line_->err();
    const std::string& out = line_->out();
    const size_t colon = out.find(':', out.find("http://") + 7);
    port_ = std::stoi(out.substr(colon + 1));
  }

  static std::string psql(const std::string& sql) {
    ChildProcess run;
    EXPECT_TRUE(run.start({"/usr/bin/psql", "-X", "-q", "-tA", "-c", sql}));
    EXPECT_EQ(run.finish(30), 0) << run.err();
    std::string out = run.out();
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  static void cluster(const std::string& action) {
    ChildProcess run;
    ASSERT_TRUE(run.start({"/usr/bin/pg_ctlcluster", std::getenv("PGVERSION"), "regress", action}));
    ASSERT_EQ(run.finish(60), 0) << run.err();
  }

  httplib::Client client() {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(20, 0);
    return c;
  }
  httplib::Result post(const std::string& path, const std::string& body) {
    return client().Post(path.c_str(), body, "application/json");
  }
  httplib::Result send(const std::string& station, int first, int last) {
    return post_rows(port_, station, first, last);
  }
  int64_t have_through(const httplib::Result& answer) { return have_through_of(answer); }
  // The run_ids the line holds of `station`; each must be there once.
  std::vector<std::string> run_ids(const std::string& station) {
    const auto read = client().Get(("/api/records?limit=1000&station=" + station).c_str());
    EXPECT_EQ(status_of(read), 200);
    std::vector<std::string> ids;
    if (status_of(read) != 200) return ids;
    const json records = json::parse(read->body)["records"];
    for (const json& r : records) ids.push_back(r["run_id"]);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
    return ids;
  }

  bool postgresql() const { return GetParam() == "postgresql"; }
  void stop() {
    line_->send_signal(SIGTERM);
    ASSERT_EQ(line_->finish(10), 0) << line_->err();
  }

  // Runs `sql` on the line's database beside the line, as a plant tool or
  // an earlier line would: with psql, or SQLite's own library on the file.
  // The rows it gives, as psql -tA prints them.
  std::string db_run(const std::string& sql) {
    if (postgresql()) return psql(sql);
    sqlite3* db = nullptr;
    std::string out;
    EXPECT_EQ(sqlite3_open(sqlite_path_.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 10000);
    char* error = nullptr;
    const auto row = [](void* to, int n, char** cells, char**) {
      std::string& text = *static_cast<std::string*>(to);
      if (!text.empty()) text += "\n";
      for (int i = 0; i < n; ++i) text += (i ? "|" : "") + std::string(cells[i] ? cells[i] : "");
      return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), row, &out, &error), SQLITE_OK)
        << (error ? error : "") << ": " << sql.substr(0, 300);
    sqlite3_free(error);
    sqlite3_close(db);
    return out;
  }
  // A time as the engine's table takes it in SQL.
  std::string time_sql(const std::string& text) const {
    return postgresql() ? "CAST('" + text + "' AS timestamptz)" : "'" + text + "'";
  }
  // Rows `first` to `last` of `station` put straight into orva_runs, as a
  // line that took any number once did (or a plant tool might).
  void insert_rows(const std::string& station, int64_t first, int64_t last) {
    db_run("INSERT INTO orva_runs (run_id, station_seq, station, port, image_sha256, image_size,"
           " load_address, image_source, program_version, started_at, result, frames,"
           " retransmissions, received_at" +
           std::string(postgresql() ? ", line" : "") + ") WITH RECURSIVE n(i) AS (SELECT CAST(" +
           std::to_string(first) + " AS bigint) UNION ALL SELECT i + 1 FROM n WHERE i < " +
           std::to_string(last) + ") SELECT 'put-" + station + "-' || i, i, '" + station +
           "', 'COM5', 'aa', 1, 1, 'built-in', '1.0.0', " + time_sql("2026-12-09T14:06:41.123Z") +
           ", 'ok', 1, 0, " + time_sql("2026-12-09T14:06:45.000Z") +
           (postgresql() ? ", 'L1'" : "") + " FROM n");
  }

  std::unique_ptr<ChildProcess> line_;
  int port_ = 0;
  std::string db_;
  const std::string sqlite_path_ = "/tmp/orva-line-" + std::to_string(getpid()) + ".db";
};

} // namespace

// A batch is stored once however often it comes; have_through stops before
// the first missing row and moves on when the gap is filled. The records
// come back by station and tag, in JSON and CSV.
TEST_P(LineApi, BatchesAreStoredOnceAndHaveThroughStopsAtAGap) {
  EXPECT_EQ(have_through(send("st-a", 1, 3)), 3);
  EXPECT_EQ(have_through(send("st-a", 1, 3)), 3);
  EXPECT_EQ(run_ids("st-a").size(), 3u);
  EXPECT_EQ(have_through(send("st-a", 5, 6)), 3);
  EXPECT_EQ(have_through(send("st-a", 3, 4)), 6); // 3 held, 4 new: only 4 counted
  EXPECT_EQ(have_through(send("st-b", 2, 2)), 0);
  EXPECT_EQ(have_through(post("/api/stations/st-b/records", R"({"rows": []})")), 0);
  EXPECT_EQ(run_ids("st-a").size(), 6u);

  const auto tagged = client().Get("/api/records?tag=SN-st-a-5");
  ASSERT_EQ(status_of(tagged), 200);
  const json found = json::parse(tagged->body)["records"];
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]["station_seq"], 5);
  EXPECT_FALSE(found[0].contains("usb_serial")); // NULL stays NULL
  EXPECT_EQ(found[0]["seconds"], 3.333);
  const auto csv = client().Get("/api/records.csv?station=st-a");
  ASSERT_EQ(status_of(csv), 200);
  EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
  EXPECT_EQ(std::count(csv->body.begin(), csv->body.end(), '\n'), 7); // header and 6 rows
  EXPECT_NE(csv->body.find("\"done, \"\"quoted\"\"\""), std::string::npos);

  const auto line = client().Get("/api/line");
  ASSERT_EQ(status_of(line), 200);
  const json state = json::parse(line->body);
  EXPECT_EQ(state["line"], "L1");
  EXPECT_EQ(state["totals"]["upgraded"], 7);
  ASSERT_EQ(state["stations"].size(), 2u);
  EXPECT_EQ(state["stations"][0]["have_through"], 6);
}

// A batch with one bad row, or too big, is refused whole: nothing of it is
// stored, and the answer says why in one JSON error.
TEST_P(LineApi, ABadBatchIsRefusedWholeAndStoresNothing) {
  const auto refused = [&](const std::string& body, int status) {
    const auto answer = post("/api/stations/st-a/records", body);
    EXPECT_EQ(status_of(answer), status) << body.substr(0, 200);
    if (answer) {
      EXPECT_TRUE(json::parse(answer->body).contains("error")) << answer->body;
    }
  };
  json missing = batch("st-a", 1, 2);
  missing["rows"][1].erase("tag");
  refused(missing.dump(), 400);
  json unknown = batch("st-a", 1, 2);
  unknown["rows"][1]["shift"] = "night";
  refused(unknown.dump(), 400);
  json other = batch("st-a", 1, 2);
  other["rows"][1] = row("st-b", 2);
  refused(other.dump(), 400);
  json wrong_type = batch("st-a", 1, 2);
  wrong_type["rows"][0]["frames"] = "700";
  refused(wrong_type.dump(), 400);
  json running = batch("st-a", 1, 2);
  running["rows"][1]["result"] = "running";
  refused(running.dump(), 400);
  refused(batch("st-a", 1, 501).dump(), 400);
  refused("[1, 2", 400);
  EXPECT_EQ(status_of(send(std::string(65, 'x'), 1, 1)), 404);

  // 5 MB of rows, sent as a client sends it without waiting for an answer.
  const std::string rows = batch("st-a", 1, 500).dump();
  std::string big = rows.substr(0, rows.size() - 2);
  while (big.size() < 5000000) big += "," + row("st-a", 1).dump();
  big += "]}";
  Connection raw(port_);
  const std::string answer = raw.flood("POST /api/stations/st-a/records HTTP/1.1\r\nHost: x\r\n"
                                       "Content-Type: application/json\r\nContent-Length: " +
                                           std::to_string(big.size()) + "\r\n\r\n" + big,
                                       "", big.size(), 10);
  EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer.substr(0, 200);

  EXPECT_TRUE(run_ids("st-a").empty());
  EXPECT_EQ(have_through(send("st-a", 1, 2)), 2); // the line took no harm

  // A station whose store was replaced numbers from 1 again, under new
  // run_ids; a row under a run_id the line holds for another station. Both
  // are refused whole, and what the line holds stays as it was.
  json replaced = batch("st-a", 2, 3);
  replaced["rows"][0]["run_id"] = "st-a-from-a-new-store-2";
  refused(replaced.dump(), 409);
  json taken = batch("st-b", 1, 1);
  taken["rows"][0]["run_id"] = row("st-a", 1)["run_id"];
  EXPECT_EQ(status_of(post("/api/stations/st-b/records", taken.dump())), 409);
  EXPECT_EQ(run_ids("st-a").size(), 2u);
  EXPECT_TRUE(run_ids("st-b").empty());
}

// A row sent again must be the row held, column by column: a run's result
// rewritten after the fact is refused with 409 naming the column and both
// values, and nothing of that batch is stored; the row sent as it is goes.
// A state that carries the station's synced mark is answered with what the
// line holds of the station.
TEST_P(LineApi, ARowHeldIsNeverRewrittenAndTheStateIsAnsweredWithWhatIsHeld) {
  EXPECT_EQ(have_through(send("st-a", 1, 2)), 2);
  EXPECT_EQ(have_through(send("st-a", 1, 2)), 2) << "the same rows again";
  const auto refused = [&](json rows, const std::string& column) {
    const auto answer = post("/api/stations/st-a/records", rows.dump());
    EXPECT_EQ(status_of(answer), 409) << column;
    if (status_of(answer) != 409) return std::string();
    const std::string error = json::parse(answer->body)["error"];
    EXPECT_NE(error.find("row 2 of station 'st-a'"), std::string::npos) << error;
    EXPECT_NE(error.find(": " + column + " differs"), std::string::npos) << error;
    return error;
  };
  json forged = batch("st-a", 2, 3);
  forged["rows"][0]["result"] = "failed";
  forged["rows"][0]["last_text"] = "FORGED: device error";
  EXPECT_NE(refused(forged, "result").find("(held \"ok\", sent \"failed\")"), std::string::npos);
  json quiet = batch("st-a", 2, 2);
  quiet["rows"][0]["last_text"] = std::string(300, 'y');
  const std::string cut = refused(quiet, "last_text");
  EXPECT_NE(cut.find("sent \"" + std::string(37, 'y') + "...\")"), std::string::npos) << cut;
  json unplugged = batch("st-a", 2, 2);
  unplugged["rows"][0]["usb_serial"] = "A50285BI"; // NULL held
  refused(unplugged, "usb_serial");
  EXPECT_EQ(run_ids("st-a").size(), 2u) << "row 3 came with a refused row";
  const auto tagged = client().Get("/api/records?tag=SN-st-a-2");
  ASSERT_EQ(status_of(tagged), 200);
  EXPECT_EQ(json::parse(tagged->body)["records"][0]["result"], "ok");

  const auto state = [&](const std::string& body) {
    const auto answer = post("/api/stations/st-a/state", body);
    return std::make_pair(status_of(answer), answer ? answer->body : std::string());
  };
  EXPECT_EQ(state(R"({"slots": []})"), std::make_pair(200, std::string("{\"ok\":true}\n")));
  EXPECT_EQ(state(R"({"slots": [], "synced_through": 7})"),
            std::make_pair(200, std::string("{\"ok\":true,\"have_through\":2}\n")));
  EXPECT_EQ(state(R"({"synced_through": 0})").second, "{\"ok\":true,\"have_through\":2}\n");
  for (const char* bad : {R"({"synced_through": -1})", R"({"synced_through": 9007199254740993})",
                          R"({"synced_through": "2"})", R"({"synced_through": 1.5})",
                          R"({"synced_through": 2, "have_through": 2})"}) {
    EXPECT_EQ(state(bad).first, 400) << bad;
  }
}

// The stations' live state: on /api/line and its event stream, each station
// online while heard, offline after the offline time without a word.
TEST_P(LineApi, StationsShowLiveAndGoOfflineWhenQuiet) {
  std::string stream;
  httplib::Client events("127.0.0.1", port_);
  std::thread reader([&] {
    events.Get("/api/events", [&](const char* data, size_t size) {
      stream.append(data, size);
      return stream.find("\"online\":false") == std::string::npos;
    });
  });
  const std::string state =
      R"({"page": "http://10.0.0.5:8080/", "slots": [{"slot": 1, "port": "/dev/ttyUSB0",
      "state": "running", "permille": 420, "tag": "SN-1", "last_text": "programming"},
      {"slot": 2, "port": "/dev/ttyUSB1", "state": "idle", "permille": 0, "tag": null,
      "last_text": null}], "unsynced": 3, "unsynced_oldest_s": 12.5})";
  EXPECT_EQ(status_of(post("/api/stations/st-a/state", state)), 200);
  EXPECT_EQ(status_of(post("/api/stations/st-b/state", R"({"slots": []})")), 200);

  const json line = json::parse(client().Get("/api/line")->body);
  ASSERT_EQ(line["stations"].size(), 2u);
  const json& a = line["stations"][0];
  EXPECT_EQ(a["name"], "st-a");
  EXPECT_TRUE(a["online"].get<bool>());
  EXPECT_EQ(a["slots"][0]["permille"], 420);
  EXPECT_EQ(a["unsynced"], 3);
  EXPECT_EQ(line["totals"]["running"], 1);

  json many = json::object();
  many["slots"] = json::array();
  for (int i = 1; i <= 65; ++i) many["slots"].push_back({{"slot", i}, {"state", "idle"}});
  EXPECT_EQ(status_of(post("/api/stations/st-a/state", many.dump())), 400);
  EXPECT_EQ(status_of(post("/api/stations/st-a/state", R"j({"page": "javascript:alert(1)"})j")),
            400);

  const double quiet_from = monotonic_seconds();
  EXPECT_TRUE(wait_until(
      [&] {
        const json now = json::parse(client().Get("/api/line")->body);
        return !now["stations"][0]["online"].get<bool>();
      },
      OFFLINE_S + 3));
  EXPECT_GE(monotonic_seconds() - quiet_from, OFFLINE_S - 0.5);
  reader.join();
  EXPECT_NE(stream.find("\"online\":false"), std::string::npos);
  // The page's events and GET /api/line show a station alike, its slots as
  // the station sent them.
  const size_t at = stream.find("data: {\"event\":\"station\",\"station\":{\"name\":\"st-a\"");
  ASSERT_NE(at, std::string::npos) << stream;
  json told = json::parse(stream.substr(at + 6, stream.find('\n', at) - at - 6))["station"];
  json shown = a;
  told.erase("heard_ago_ms");
  shown.erase("heard_ago_ms");
  EXPECT_EQ(told, shown);
  EXPECT_EQ(shown["slots"], json::parse(state)["slots"]);

  // The totals run only an online station's running slots: none while it is
  // offline, its own again once heard, none once they end.
  const auto running = [&] {
    return json::parse(client().Get("/api/line")->body)["totals"]["running"];
  };
  EXPECT_EQ(running(), 0);
  EXPECT_EQ(status_of(post("/api/stations/st-a/state", state)), 200);
  EXPECT_EQ(running(), 1);
  EXPECT_EQ(status_of(post("/api/stations/st-a/state", R"({"slots": []})")), 200);
  EXPECT_EQ(running(), 0);
}

// A line server killed (SIGKILL) between and during batches, and started
// again on the same database: a station that resends from have_through on
// gets every row in, none twice.
TEST_P(LineApi, AKilledLineServerLosesNothingAndStoresNothingTwice) {
  constexpr int ROWS = 300;
  constexpr int BATCH = 50;
  int64_t through = 0;
  for (int round = 0; through < ROWS && round < 40; ++round) {
    if (round == 2 || round == 5) {
      // Killed while a batch is on its way.
      std::thread sender([&] { send("st-k", static_cast<int>(through) + 1, ROWS); });
      usleep(round == 2 ? 0 : 3000);
      line_->send_signal(SIGKILL);
      sender.join();
      line_->finish(10);
      start();
      continue;
    }
    const int64_t now = have_through(send("st-k", static_cast<int>(through) + 1,
                                          std::min(ROWS, static_cast<int>(through) + BATCH)));
    if (now >= 0) through = now;
  }
  EXPECT_EQ(through, ROWS);
  EXPECT_EQ(run_ids("st-k").size(), static_cast<size_t>(ROWS));
}

// Each credential does what its role allows and no more: a viewer reads and
// posts nothing; a station reports for its own name only and reads nothing;
// the admin's token (--token-file) does everything; no credential, an
// unknown or a revoked one gets 401. The database keeps no token, only its
// hash, and names are checked where credentials are made.
TEST_P(LineApi, EachCredentialDoesWhatItsRoleAllows) {
  const auto command = [&](std::vector<std::string> args, int status = 0) {
    args.insert(args.begin(), {ORVALOAD_LINE, "--db", db_});
    ChildProcess run;
    EXPECT_TRUE(run.start(args));
    EXPECT_EQ(run.finish(30), status) << run.err();
    std::string out = run.out();
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  };
  const std::string station_token = command({"credential", "add", "station", "st-a"});
  const std::string viewer_token = command({"credential", "add", "viewer", "hall-screen"});
  EXPECT_EQ(station_token.size(), 64u);
  command({"credential", "add", "station", "st-a"}, 1);
  for (const char* bad : {"a+b", "a#b", ".a", "a/b", "a b"}) {
    command({"credential", "add", "station", bad}, 1);
  }
  command({"credential", "add", "admin", "boss"}, 1);

  const std::string admin_token = "admin-" + std::string(40, 'a') + "0123456789";
  const std::string token_file = "/tmp/orva-line-admin-" + std::to_string(getpid());
  std::ofstream(token_file) << admin_token << "\n";
  chmod(token_file.c_str(), 0600);
  line_->send_signal(SIGTERM);
  ASSERT_EQ(line_->finish(10), 0);
  start({"--token-file", token_file});
  std::remove(token_file.c_str());

  const auto as = [&](const std::string& token, const std::string& method, const std::string& path,
                      const std::string& body = "") {
    httplib::Client c = client();
    httplib::Headers headers;
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    return status_of(method == "GET" ? c.Get(path.c_str(), headers)
                                     : c.Post(path.c_str(), headers, body, "application/json"));
  };
  const std::string rows = batch("st-a", 1, 2).dump();
  const std::string state = R"({"slots": []})";
  EXPECT_EQ(as(viewer_token, "GET", "/api/line"), 200);
  EXPECT_EQ(as(viewer_token, "GET", "/api/records.csv"), 200);
  EXPECT_EQ(as(viewer_token, "GET", "/api/stats"), 200);
  EXPECT_EQ(as(viewer_token, "GET", "/metrics"), 200);
  EXPECT_EQ(as(station_token, "GET", "/metrics"), 403);
  EXPECT_EQ(as("", "GET", "/metrics"), 401);
  EXPECT_EQ(as(viewer_token, "POST", "/api/stations/st-a/records", rows), 403);
  EXPECT_EQ(as(viewer_token, "POST", "/api/stations/st-a/state", state), 403);
  EXPECT_EQ(as(station_token, "POST", "/api/stations/st-a/records", rows), 200);
  EXPECT_EQ(as(station_token, "POST", "/api/stations/st-a/state", state), 200);
  EXPECT_EQ(as(station_token, "POST", "/api/stations/st-b/state", state), 403);
  EXPECT_EQ(as(station_token, "POST", "/api/stations/st-b/records", batch("st-b", 1, 1).dump()),
            403);
  EXPECT_EQ(as(station_token, "GET", "/api/records"), 403);
  EXPECT_EQ(as("", "GET", "/api/line"), 401);
  EXPECT_EQ(as(std::string(64, '0'), "GET", "/api/line"), 401);
  EXPECT_EQ(as("", "GET", "/"), 200) << "the page asks for a credential itself";
  EXPECT_EQ(as(admin_token, "POST", "/api/stations/st-b/state", state), 200);
  EXPECT_EQ(as(admin_token, "POST", "/api/stations/a+b/state", state), 404)
      << "no name the line could not put into a topic as it is";
  EXPECT_EQ(as(admin_token, "GET", "/api/records"), 200);

  const std::string listed = command({"credential", "list"});
  EXPECT_NE(listed.find("st-a\tstation\tmade "), std::string::npos) << listed;
  EXPECT_EQ(listed.find(station_token), std::string::npos);
  if (GetParam() == "postgresql") {
    EXPECT_EQ(psql("SELECT COUNT(*) FROM orva_credentials WHERE token_sha256 = '" +
                   credential_hash(station_token) + "'"),
              "1");
  } else {
    std::ifstream file(sqlite_path_, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(bytes.find(station_token), std::string::npos) << "the token itself is kept nowhere";
  }
  command({"credential", "revoke", "st-a"});
  command({"credential", "revoke", "st-a"}, 1);
  EXPECT_TRUE(wait_until(
      [&] { return as(station_token, "POST", "/api/stations/st-a/state", state) == 401; }, 5))
      << "a revoked credential stops working";
  EXPECT_EQ(as(viewer_token, "GET", "/api/line"), 200);
}

// PostgreSQL stopped mid-way: the line keeps answering, refuses batches with
// 503 while it is down, and takes them again once it is back. It says so on
// standard error once each way, and /api/line carries it for the page's
// banner. A start after the first tells of no table it found (no NOTICE).
TEST_P(LineApi, PostgresqlStoppedMidWayThenBack) {
  if (GetParam() != "postgresql") GTEST_SKIP() << "a PostgreSQL case";
  EXPECT_EQ(have_through(send("st-p", 1, 10)), 10);
  const auto database_up = [&] {
    const auto line = client().Get("/api/line");
    return status_of(line) == 200 && json::parse(line->body)["database"]["up"].get<bool>();
  };
  EXPECT_TRUE(database_up());
  cluster("stop");
  const auto down = send("st-p", 11, 20);
  EXPECT_EQ(status_of(down), 503);
  if (down) {
    EXPECT_TRUE(json::parse(down->body).contains("error"));
  }
  EXPECT_TRUE(wait_until([&] { return !database_up(); }, 5));
  EXPECT_EQ(status_of(client().Get("/")), 200);
  EXPECT_EQ(status_of(client().Get("/api/stats")), 503);
  EXPECT_NE(client().Get("/metrics")->body.find("\norva_database_up 0\n"), std::string::npos);
  cluster("start");
  EXPECT_TRUE(wait_until(database_up, 10));
  const double back = monotonic_seconds();
  int64_t through = -1;
  EXPECT_TRUE(wait_until([&] { return (through = have_through(send("st-p", 11, 20))) == 20; }, 10));
  EXPECT_LT(monotonic_seconds() - back, 10);
  EXPECT_EQ(psql("SELECT COUNT(*), COUNT(DISTINCT run_id) FROM orva_runs WHERE station = 'st-p'"),
            "20|20");
  EXPECT_EQ(psql("SELECT MAX(version) FROM orva_schema"), "4");
  line_->send_signal(SIGTERM);
  EXPECT_EQ(line_->finish(10), 0);
  const std::string said = line_->err();
  EXPECT_EQ(lines_with(said, "orvaload-line: the line's database is down: "), 1u) << said;
  EXPECT_EQ(lines_with(said, "orvaload-line: the line's database is back"), 1u) << said;
  start();
  EXPECT_EQ(have_through(send("st-p", 1, 20)), 20);
  EXPECT_EQ(line_->err().find("NOTICE"), std::string::npos) << line_->err();
}

// A real station reporting to the line, against simulated controllers: its
// rows reach the database each once through faults. PostgreSQL stopped while
// it upgrades: the station goes on, and its rows are in within 10 s of the
// database's return. The station killed mid-run: the line shows it offline
// once the offline time is over, and started again it sends the run as
// interrupted. At the end the line holds exactly the rows of its store.
TEST_P(LineApi, ARealStationsRowsArriveOnceThroughFaults) {
  BootsimProcess fast;
  BootsimProcess paced;
  ASSERT_TRUE(fast.start({"--image", ORVA_FIRMWARE_FILE, "--runs", "0"}, START_S));
  ASSERT_TRUE(
      paced.start({"--image", ORVA_FIRMWARE_FILE, "--runs", "0", "--program-ms", "20"}, START_S));
  const std::string records = "/tmp/orva-line-station-" + std::to_string(getpid()) + ".db";
  ChildProcess station;
  int station_port = 0;
  const auto serve = [&] {
    station.start({ORVALOAD_CLI, "--serve", "127.0.0.1:0", "--port", fast.path(), "--port",
                   paced.path(), "--records", records, "--station-name", "st-real", "--line",
                   "http://127.0.0.1:" + std::to_string(port_)});
    ASSERT_TRUE(station.wait_for_output("/ with slots", START_S)) << station.err();
    const std::string& out = station.out();
    station_port = std::stoi(out.substr(out.find(':', out.find("http://") + 7) + 1));
  };
  const auto station_rows = [&] {
    httplib::Client c("127.0.0.1", station_port);
    const auto read = c.Get("/api/records?limit=1000");
    std::set<std::string> ids;
    if (status_of(read) != 200) return ids;
    const json records = json::parse(read->body)["records"];
    for (const json& r : records) {
      if (r["result"] != "running") ids.insert(r["run_id"].get<std::string>());
    }
    return ids;
  };
  const auto line_rows = [&] {
    const std::vector<std::string> ids = run_ids("st-real");
    return std::set<std::string>(ids.begin(), ids.end());
  };
  // One run on the fast slot, to its end on the station.
  const auto upgrade = [&](const std::string& tag) {
    httplib::Client c("127.0.0.1", station_port);
    const size_t before = station_rows().size();
    ASSERT_EQ(status_of(c.Post("/api/slots/1/run", json{{"tag", tag}}.dump(), "application/json")),
              202);
    ASSERT_TRUE(wait_until([&] { return station_rows().size() == before + 1; }, 60))
        << c.Get("/api/records")->body << station.err() << station_rows().size() << " " << before
        << " " << status_of(c.Get("/api/records?limit=1000"));
  };
  const auto slot_of_line = [&](int n) {
    const json line = json::parse(client().Get("/api/line")->body);
    for (const json& s : line["stations"]) {
      if (s["name"] != "st-real") continue;
      for (const json& slot : s["slots"]) {
        if (slot["slot"] == n) return std::make_pair(s["online"].get<bool>(), slot);
      }
      return std::make_pair(s["online"].get<bool>(), json());
    }
    return std::make_pair(false, json());
  };

  serve();
  upgrade("SN-R-1");
  EXPECT_TRUE(wait_until([&] { return line_rows() == station_rows(); }, 10));

  if (GetParam() == "postgresql") {
    cluster("stop");
    upgrade("SN-R-2");
    upgrade("SN-R-3");
    cluster("start");
    const double back = monotonic_seconds();
    EXPECT_TRUE(wait_until([&] { return line_rows() == station_rows(); }, 15));
    EXPECT_LT(monotonic_seconds() - back, 10.0);
    std::printf("rows in the database %.2f s after it came back\n", monotonic_seconds() - back);
  }

  httplib::Client c("127.0.0.1", station_port);
  ASSERT_EQ(status_of(c.Post("/api/slots/2/run", R"({"tag": "SN-KILLED"})", "application/json")),
            202);
  ASSERT_TRUE(wait_until(
      [&] {
        const json slot = slot_of_line(2).second;
        return slot.is_object() && slot["state"] == "running" && slot["permille"] > 50;
      },
      30));
  station.send_signal(SIGKILL);
  station.finish(10);
  const double killed = monotonic_seconds();
  EXPECT_TRUE(wait_until([&] { return !slot_of_line(2).first; }, OFFLINE_S + 5));
  const double offline_after = monotonic_seconds() - killed;
  EXPECT_LE(offline_after, OFFLINE_S + 2.0);
  std::printf("killed station offline on the line after %.2f s (offline time %d s)\n",
              offline_after, OFFLINE_S);

  serve();
  EXPECT_TRUE(wait_until(
      [&] {
        const auto read = client().Get("/api/records?tag=SN-KILLED");
        const json found = json::parse(read->body)["records"];
        return found.size() == 1 && found[0]["result"] == "interrupted";
      },
      15));
  EXPECT_TRUE(wait_until([&] { return line_rows() == station_rows(); }, 10));
  EXPECT_EQ(line_rows().size(), GetParam() == "postgresql" ? 4u : 2u);
  station.send_signal(SIGTERM);
  EXPECT_EQ(station.finish(30), 0) << station.err();
  for (const char* end : {"", "-wal", "-shm"}) std::remove((records + end).c_str());
}

// A line whose database lost the station's rows (a new line at the same
// address, a database restored from an older backup): the station's next
// heartbeat carries its synced mark, the line answers with less, and the
// station sends every row again, saying so once.
TEST_P(LineApi, ALineThatLostTheStationsRowsGetsThemAgainAtTheNextHeartbeat) {
  BootsimProcess sim;
  ASSERT_TRUE(sim.start({"--image", ORVA_FIRMWARE_FILE, "--runs", "0"}, START_S));
  const std::string records = "/tmp/orva-line-lost-" + std::to_string(getpid()) + ".db";
  ChildProcess station;
  const int station_port = serve_station(&station, sim.path(), records, "st-lost", port_);
  ASSERT_NE(station_port, 0) << station.err();
  httplib::Client c("127.0.0.1", station_port);
  for (const char* tag : {"SN-L-1", "SN-L-2"}) {
    ASSERT_EQ(status_of(c.Post("/api/slots/1/run", json{{"tag", tag}}.dump(), "application/json")),
              202);
    ASSERT_TRUE(wait_until(
        [&] {
          const auto read = c.Get("/api/station");
          return status_of(read) == 200 &&
                 json::parse(read->body)["slots"][0]["state"] != "running";
        },
        60));
  }
  ASSERT_TRUE(wait_until([&] { return run_ids("st-lost").size() == 2; }, 10));

  line_->send_signal(SIGTERM);
  ASSERT_EQ(line_->finish(10), 0) << line_->err();
  if (GetParam() == "postgresql") {
    psql("DROP TABLE orva_runs; DROP TABLE orva_schema");
  } else {
    for (const char* end : {"", "-wal", "-shm"}) std::remove((sqlite_path_ + end).c_str());
  }
  start();
  const double back = monotonic_seconds();
  EXPECT_TRUE(wait_until([&] { return run_ids("st-lost").size() == 2; }, 12));
  std::printf("rows in the new line's database %.2f s after it started\n",
              monotonic_seconds() - back);
  station.send_signal(SIGTERM);
  EXPECT_EQ(station.finish(30), 0) << station.err();
  const std::string said = "holds this station's rows only through 0, not through 2";
  const size_t at = station.err().find(said);
  EXPECT_NE(at, std::string::npos) << station.err();
  EXPECT_EQ(station.err().find(said, at + 1), std::string::npos) << station.err();
  for (const char* end : {"", "-wal", "-shm"}) std::remove((records + end).c_str());
}

// A body nested 100,000 deep once ended the line (SIGSEGV): it is refused
// before it is read, as are bodies of too many values or too long a text,
// on every route; a whole batch of 500 rows still goes, and the line takes
// no harm.
TEST_P(LineApi, ADeepOrWideBodyIsRefusedBeforeItIsRead) {
  const auto refused = [&](const std::string& path, const std::string& body,
                           const std::string& says) {
    const auto answer = post(path, body);
    EXPECT_EQ(status_of(answer), 400) << body.substr(0, 80);
    if (status_of(answer) != 400) return;
    const std::string error = json::parse(answer->body)["error"];
    EXPECT_NE(error.find(says), std::string::npos) << error;
  };
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  std::string wide = "[0";
  for (int i = 0; i < 20000; ++i) wide += ",0";
  wide += "]";
  for (const char* path : {"/api/stations/st-a/state", "/api/stations/st-a/records"}) {
    SCOPED_TRACE(path);
    const double asked = monotonic_seconds();
    refused(path, "{\"slots\": " + deep + "}", "nests deeper than 16");
    EXPECT_LT(monotonic_seconds() - asked, 2.0);
    refused(path, "{\"rows\": " + std::string(17, '[') + std::string(17, ']') + "}",
            "nests deeper than 16");
    refused(path, "{\"slots\": " + wide + "}", "more than");
    refused(path, "{\"page\": \"" + std::string(1025, 'x') + "\"}",
            "page is a text of more than 1024 bytes");
  }
  refused("/api/stations/st-a/state", "{\"slots\": [" + std::string(2000, ' ') + "]", "not JSON");
  EXPECT_EQ(have_through(send("st-a", 1, 500)), 500) << "a whole batch of today's stations";
  EXPECT_EQ(status_of(client().Get("/api/line")), 200);
  EXPECT_EQ(line_->err().find("Segmentation"), std::string::npos);
}

// Every column has its limit, checked as a row arrives and named in the
// refusal: tags as the station takes them, texts of at most 1 KiB without
// NUL, station_seq from 1 to 2^53, numbers never negative, times in the
// store's form. Nothing of a refused batch is kept.
TEST_P(LineApi, EachColumnHasItsLimit) {
  struct Case {
    const char* column;
    json value;
  };
  const Case cases[] = {
      {"station_seq", json(9223372036854775807LL)},
      {"station_seq", json((int64_t{1} << 53) + 1)},
      {"station_seq", json(0)},
      {"frames", json(-1)},
      {"image_size", json(18446744073709551615ULL)},
      {"tag", json("SN\t1")},
      {"tag", json(std::string(65, 'x'))},
      {"tag", json("SN-\u00e9")},
      {"port", json(std::string(1025, 'p'))},
      {"last_text", json(std::string("done\0 hidden", 12))},
      {"started_at", json("2026-12-09")},
      {"started_at", json("2026-02-30T10:00:00.000Z")},
      {"ended_at", json("2026-12-09T24:00:00.000Z")},
      {"result", json("bogus")},
  };
  for (const Case& c : cases) {
    json rows = batch("st-c", 1, 2);
    rows["rows"][1][c.column] = c.value;
    const auto answer = post("/api/stations/st-c/records", rows.dump());
    EXPECT_EQ(status_of(answer), 400) << c.column << " " << c.value.dump().substr(0, 40);
    if (status_of(answer) == 400) {
      const std::string error = json::parse(answer->body)["error"];
      EXPECT_NE(error.find(c.column), std::string::npos) << error;
    }
  }
  EXPECT_TRUE(run_ids("st-c").empty());
  json fits = batch("st-c", 1, 1);
  fits["rows"][0]["port"] = std::string(1024, 'p');
  fits["rows"][0]["tag"] = std::string(64, '~');
  fits["rows"][0]["station_seq"] = 1;
  EXPECT_EQ(have_through(post("/api/stations/st-c/records", fits.dump())), 1);
  json last = batch("st-c", 2, 2);
  last["rows"][0]["station_seq"] = int64_t{1} << 53;
  EXPECT_EQ(have_through(post("/api/stations/st-c/records", last.dump())), 1);
}

// station_seq 9223372036854775807 once stopped a station for good on
// PostgreSQL (bigint out of range, every later batch 500 though its rows
// were committed). Such a row, put into the table by an earlier line, now
// costs nothing; and with row 1 missing under 100,000 rows a batch reads
// only what it needs, not the whole station, so other requests stay quick.
TEST_P(LineApi, NoRowNumberStopsAStationAndAGapCostsNoReading) {
  insert_rows("st-n", 9223372036854775807LL, 9223372036854775807LL);
  EXPECT_EQ(have_through(send("st-n", 1, 3)), 3);
  EXPECT_EQ(have_through(send("st-n", 1, 3)), 3) << "sent again";
  EXPECT_EQ(have_through(send("st-n", 4, 4)), 4);
  const auto state = post("/api/stations/st-n/state", R"({"synced_through": 4})");
  EXPECT_EQ(status_of(state), 200);

  insert_rows("st-gap", 2, 100001);
  std::vector<double> batches_ms;
  std::vector<double> reads_ms;
  for (int seq = 100002; seq < 100012; ++seq) {
    double at = monotonic_seconds();
    EXPECT_EQ(have_through(send("st-gap", seq, seq)), 0);
    batches_ms.push_back((monotonic_seconds() - at) * 1000);
    at = monotonic_seconds();
    EXPECT_EQ(status_of(client().Get("/api/line")), 200);
    reads_ms.push_back((monotonic_seconds() - at) * 1000);
  }
  std::sort(batches_ms.begin(), batches_ms.end());
  std::sort(reads_ms.begin(), reads_ms.end());
  std::printf("row 1 missing under 100000 rows: a batch %.1f ms (median), %.1f ms (most); "
              "/api/line meanwhile %.1f ms (most)\n",
              batches_ms[5], batches_ms.back(), reads_ms.back());
  EXPECT_LT(batches_ms[5], 40.0);
  const double filled = monotonic_seconds();
  EXPECT_EQ(have_through(send("st-gap", 1, 1)), 100011);
  std::printf("row 1 filled in: have_through walked to 100011 in %.0f ms, once\n",
              (monotonic_seconds() - filled) * 1000);
  const double again = monotonic_seconds();
  EXPECT_EQ(have_through(send("st-gap", 100012, 100012)), 100012);
  EXPECT_LT(monotonic_seconds() - again, 0.5) << "from where it got to";
}

// 16 clients once stored 141,500 rows of one station in 15 s: a station
// now sends at most its rows a minute (600 unless --rows-per-minute says
// otherwise), the rest answered 429 with how long to wait. Rows of 1 MB
// texts are refused unread, and the line's memory stays flat through it all.
TEST_P(LineApi, FloodsOfRowsMeetTheQuotaAndLeaveTheMemoryFlat) {
  const long first_kib = memory_kib(line_->pid(), "VmRSS");
  std::atomic<int> next{1};
  std::atomic<int> stored{0};
  std::atomic<int> waited{0};
  std::atomic<int> other{0};
  std::atomic<int> wait_s{0};
  const double until = monotonic_seconds() + 3;
  std::vector<std::thread> clients;
  for (int c = 0; c < 16; ++c) {
    clients.emplace_back([&] {
      while (monotonic_seconds() < until) {
        const int first = next.fetch_add(500);
        const auto answer = post_rows(port_, "st-f", first, first + 499);
        if (status_of(answer) == 200) {
          stored += 500;
        } else if (status_of(answer) == 429) {
          ++waited;
          wait_s = std::atoi(answer->get_header_value("Retry-After").c_str());
        } else if (status_of(answer) != 0) {
          // 0: a connection past the face's 16 from one address, while
          // refused ones linger, is closed unanswered.
          ++other;
        }
      }
    });
  }
  for (std::thread& t : clients) t.join();
  std::printf("16 clients for 3 s: %d rows stored, %d batches answered 429 (Retry-After %d s)\n",
              stored.load(), waited.load(), wait_s.load());
  EXPECT_EQ(other, 0);
  EXPECT_LE(stored, 600 + 500);
  EXPECT_GT(waited, 0);
  EXPECT_GE(wait_s, 1);
  EXPECT_EQ(run_ids("st-f").size(), static_cast<size_t>(stored.load()));
  const auto told = send("st-f", 100000, 100499);
  ASSERT_EQ(status_of(told), 429);
  EXPECT_NE(json::parse(told->body)["error"].get<std::string>().find("600 rows a minute"),
            std::string::npos);

  // 200 rows of 1 MB text each, from 4 clients at once.
  std::atomic<int> refused{0};
  clients.clear();
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      const std::string station = "st-t" + std::to_string(c);
      json one = batch(station, 1, 1);
      one["rows"][0]["last_text"] = std::string(1000000, 'x');
      const std::string body = one.dump();
      for (int i = 0; i < 50; ++i) {
        httplib::Client each("127.0.0.1", port_);
        const int status = status_of(
            each.Post(("/api/stations/" + station + "/records").c_str(), body, "application/json"));
        refused += status == 400 || status == 413;
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(refused, 200);
  const long most_kib = memory_kib(line_->pid(), "VmHWM");
  std::printf("the line's memory: %ld KiB at start, at most %ld KiB\n", first_kib, most_kib);
  EXPECT_LT(most_kib - first_kib, GROWTH_MAX_KIB);
}

// 200 rows of large texts once came back as 193 MB from one request: an
// answer holds at most 8 MiB and ends with a link to the next page, which
// walks every row once; the CSV file comes a page at a time, however many
// rows it holds, and the line's memory stays flat.
TEST_P(LineApi, RecordsComeInPagesOfAtMost8MiBAndTheCsvFileStreams) {
  stop();
  start({"--rows-per-minute", "1000000"});
  const long first_kib = memory_kib(line_->pid(), "VmRSS");
  const std::string kib(1024, 'k');
  int seq = 1;
  for (int b = 0; b < 10; ++b) {
    json rows = json::array();
    for (int i = 0; i < 100; ++i, ++seq) {
      json r = row("st-big", seq);
      for (const char* text : {"port", "usb_location", "usb_serial", "image_sha256", "image_source",
                               "program_version", "step", "last_text"}) {
        r[text] = kib;
      }
      r["run_id"] = r["run_id"].get<std::string>() + std::string(960, '-');
      rows.push_back(r);
    }
    ASSERT_EQ(have_through(post("/api/stations/st-big/records", json{{"rows", rows}}.dump())),
              seq - 1);
  }
  std::set<std::string> seen;
  std::string path = "/api/records?limit=1000&station=st-big";
  int pages = 0;
  size_t largest = 0;
  while (!path.empty() && pages < 10) {
    const auto page = client().Get(path.c_str());
    ASSERT_EQ(status_of(page), 200) << path;
    largest = std::max(largest, page->body.size());
    const json answer = json::parse(page->body);
    for (const json& r : answer["records"]) seen.insert(r["run_id"].get<std::string>());
    path = answer.value("next", "");
    ++pages;
  }
  std::printf("1000 rows of 9 KiB texts: %d pages, the largest %zu bytes\n", pages, largest);
  EXPECT_EQ(seen.size(), 1000u);
  EXPECT_GE(pages, 2);
  EXPECT_LE(largest, size_t{8} * 1024 * 1024);
  const auto small = client().Get("/api/records?limit=3&station=st-big");
  ASSERT_EQ(status_of(small), 200);
  EXPECT_EQ(json::parse(small->body)["records"][0]["station_seq"], 1000);
  const std::string next = json::parse(small->body)["next"];
  const auto after = client().Get(next.c_str());
  ASSERT_EQ(status_of(after), 200);
  EXPECT_EQ(json::parse(after->body)["records"][0]["station_seq"], 997);
  EXPECT_EQ(status_of(client().Get("/api/records?after=yesterday")), 400);

  const auto csv = client().Get("/api/records.csv?limit=10000");
  ASSERT_EQ(status_of(csv), 200);
  EXPECT_EQ(csv->get_header_value("Transfer-Encoding"), "chunked");
  EXPECT_EQ(std::count(csv->body.begin(), csv->body.end(), '\n'), 1001) << "the header and 1000";
  const long most_kib = memory_kib(line_->pid(), "VmHWM");
  std::printf("%zu bytes of CSV; the line's memory %ld KiB at start, at most %ld KiB\n",
              csv->body.size(), first_kib, most_kib);
  EXPECT_LT(most_kib - first_kib, GROWTH_MAX_KIB);
}

// A cell a spreadsheet would run as a formula (=, +, -, @, or a TAB or CR
// before one) is made text with an apostrophe, and a cell with ';' or ','
// is quoted, as the station's CSV does.
TEST_P(LineApi, CsvCellsThatASpreadsheetWouldRunAreText) {
  json rows = batch("st-x", 1, 1);
  rows["rows"][0]["last_text"] = "\t=1+1";
  rows["rows"][0]["step"] = "\r=1+1";
  rows["rows"][0]["usb_serial"] = ";=1+1";
  rows["rows"][0]["usb_location"] = "@SUM(A1)";
  ASSERT_EQ(have_through(post("/api/stations/st-x/records", rows.dump())), 1);
  const auto csv = client().Get("/api/records.csv?station=st-x");
  ASSERT_EQ(status_of(csv), 200);
  EXPECT_NE(csv->body.find(",'@SUM(A1),\";=1+1\","), std::string::npos) << csv->body;
  EXPECT_NE(csv->body.find(",\"'\r=1+1\",'\t=1+1,"), std::string::npos) << csv->body;
}

namespace {

// orva_runs as the line of schema version 1 made it, word for word, and
// its version.
const char* const FIRST_SCHEMA[] = {
    "CREATE TABLE IF NOT EXISTS orva_schema (version integer NOT NULL)",
    "CREATE TABLE IF NOT EXISTS orva_runs ("
    " run_id text PRIMARY KEY, station_seq bigint NOT NULL, station text NOT NULL, slot bigint,"
    " port text NOT NULL, usb_location text, usb_serial text, tag text,"
    " image_sha256 text NOT NULL, image_size bigint NOT NULL, load_address bigint NOT NULL,"
    " image_source text NOT NULL, program_version text NOT NULL, started_at text NOT NULL,"
    " ended_at text, result text NOT NULL, step text, last_text text, frames bigint NOT NULL,"
    " retransmissions bigint NOT NULL, received_at text NOT NULL,"
    " UNIQUE (station, station_seq))",
    "CREATE INDEX IF NOT EXISTS orva_runs_tag ON orva_runs (tag)",
    "CREATE INDEX IF NOT EXISTS orva_runs_started_at ON orva_runs (started_at, station_seq)",
    "CREATE TABLE IF NOT EXISTS orva_credentials (name text PRIMARY KEY, role text NOT NULL,"
    " token_sha256 text NOT NULL UNIQUE, created_at text NOT NULL, revoked_at text)",
    "INSERT INTO orva_schema (version) VALUES (1)",
};

// Units first upgraded on two days at two stations: SN-1 failed first and
// passed on its second run, SN-2 and SN-3 passed at once, one run had no
// tag and never ended.
std::vector<json> first_schema_rows() {
  std::vector<json> rows;
  const auto add = [&rows](const std::string& station, int seq, const char* tag, const char* result,
                           const std::string& started) {
    json r = row(station, seq, result);
    r["tag"] = tag == nullptr ? json() : json(tag);
    r["started_at"] = started;
    r["ended_at"] =
        std::string(result) == "interrupted" ? json() : json(started.substr(0, 17) + "44.456Z");
    rows.push_back(r);
  };
  add("st-a", 1, "SN-1", "failed", "2026-12-08T08:00:41.123Z");
  add("st-a", 2, "SN-1", "ok", "2026-12-08T08:05:41.123Z");
  add("st-a", 3, "SN-2", "ok", "2026-12-08T09:00:41.123Z");
  add("st-b", 1, "SN-3", "ok", "2026-12-09T10:00:41.123Z");
  add("st-b", 2, nullptr, "interrupted", "2026-12-09T11:00:41.123Z");
  return rows;
}

// An INSERT of `r` into a table of the first schema, as that line wrote it.
std::string first_schema_insert(const json& r) {
  std::string names;
  std::string values;
  for (const auto& [name, value] : r.items()) {
    names += name + ", ";
    values += value.is_null()     ? "NULL, "
              : value.is_string() ? "'" + value.get<std::string>() + "', "
                                  : value.dump() + ", ";
  }
  return "INSERT INTO orva_runs (" + names + "received_at) VALUES (" + values +
         "'2026-12-09T14:06:45.000Z')";
}

// The README's query for a quality engineer: the ```sql block that names
// first_pass_yield.
std::string readme_query() {
  std::ifstream file(ORVA_README);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  const size_t named = text.find("first_pass_yield");
  const size_t begin = text.rfind("```sql\n", named);
  const size_t end = text.find("```", named);
  if (named == std::string::npos || begin == std::string::npos || end == std::string::npos) {
    return "";
  }
  return text.substr(begin + 7, end - begin - 7);
}

} // namespace

// A database of the first schema is converted in place by the first line of
// this version that starts on it, rows and all, in one transaction: in
// PostgreSQL its times become timestamptz, each row names the line, a
// result must be one of the documented values and (line, station,
// station_seq) is unique; SQLite keeps its texts. The rows come out of the
// API as they did, a batch sent again is taken as held, and the README's
// query gives each day's and station's first-pass yield.
TEST_P(LineApi, ATableOfTheFirstSchemaIsConvertedInPlace) {
  stop();
  if (postgresql()) {
    psql("DROP TABLE orva_runs; DROP TABLE orva_schema; DROP TABLE orva_credentials");
  } else {
    for (const char* end : {"", "-wal", "-shm"}) std::remove((sqlite_path_ + end).c_str());
  }
  for (const char* statement : FIRST_SCHEMA) db_run(statement);
  const std::vector<json> rows = first_schema_rows();
  for (const json& r : rows) db_run(first_schema_insert(r));

  if (postgresql()) {
    // A row the conversion cannot take: nothing is changed, and the line
    // says why and does not start.
    db_run("INSERT INTO orva_runs SELECT 'garbled', 9, 'st-z', slot, port, usb_location,"
           " usb_serial, tag, image_sha256, image_size, load_address, image_source,"
           " program_version, 'not a time', ended_at, result, step, last_text, frames,"
           " retransmissions, received_at FROM orva_runs WHERE station_seq = 1 AND"
           " station = 'st-a'");
    ChildProcess refused;
    ASSERT_TRUE(
        refused.start({ORVALOAD_LINE, "--serve", "127.0.0.1:0", "--db", db_, "--line-name", "L1"}));
    EXPECT_EQ(refused.finish(30), 2);
    EXPECT_NE(refused.err().find("cannot convert orva_runs from schema version 1 to 4 (nothing "
                                 "was changed)"),
              std::string::npos)
        << refused.err();
    EXPECT_EQ(psql("SELECT MAX(version) FROM orva_schema"), "1");
    EXPECT_EQ(psql("SELECT data_type FROM information_schema.columns WHERE table_name ="
                   " 'orva_runs' AND column_name = 'started_at'"),
              "text");
    EXPECT_EQ(psql("SELECT COUNT(*) FROM orva_runs"), "6");
    psql("DELETE FROM orva_runs WHERE run_id = 'garbled'");
  }

  start();
  EXPECT_EQ(db_run("SELECT MAX(version) FROM orva_schema"), "4");
  EXPECT_EQ(db_run("SELECT COUNT(*) FROM orva_runs"), "5");
  for (const json& r : rows) {
    const auto read = client().Get(
        ("/api/records?station=" + r["station"].get<std::string>() + "&limit=1000").c_str());
    ASSERT_EQ(status_of(read), 200);
    json expected = r;
    for (auto it = expected.begin(); it != expected.end();) {
      it = it->is_null() ? expected.erase(it) : std::next(it);
    }
    if (r["ended_at"].is_string()) expected["seconds"] = 3.333;
    bool found = false;
    const json answer = json::parse(read->body);
    for (const json& held : answer["records"]) {
      if (held["run_id"] != r["run_id"]) continue;
      found = true;
      EXPECT_EQ(held, expected);
    }
    EXPECT_TRUE(found) << r["run_id"];
  }
  EXPECT_NE(client()
                .Get("/api/records?tag=SN-2")
                ->body.find("\"started_at\":\"2026-12-08T09:00:41.123Z\",\"ended_at\":\"2026-12-"
                            "08T09:00:44.456Z\""),
            std::string::npos);
  json again = json::object();
  again["rows"] = json::array({rows[0], rows[1], rows[2]});
  EXPECT_EQ(have_through(post("/api/stations/st-a/records", again.dump())), 3);
  EXPECT_EQ(have_through(send("st-a", 4, 4)), 4);
  EXPECT_EQ(json::parse(client().Get("/api/line")->body)["totals"]["upgraded"], 4);
  if (!postgresql()) {
    EXPECT_EQ(db_run("SELECT typeof(started_at) FROM orva_runs LIMIT 1"), "text");
    return;
  }

  EXPECT_EQ(psql("SELECT column_name, data_type FROM information_schema.columns WHERE"
                 " table_name = 'orva_runs' AND column_name IN ('started_at', 'ended_at',"
                 " 'received_at', 'line') ORDER BY column_name"),
            "ended_at|timestamp with time zone\nline|text\nreceived_at|timestamp with time "
            "zone\nstarted_at|timestamp with time zone");
  EXPECT_EQ(psql("SELECT line, COUNT(*) FROM orva_runs GROUP BY line"), "L1|6");
  ChildProcess bogus;
  ASSERT_TRUE(bogus.start({"/usr/bin/psql", "-X", "-q", "-c",
                           "UPDATE orva_runs SET result = 'bogus' WHERE station_seq = 4"}));
  EXPECT_NE(bogus.finish(30), 0) << "a result that is not one of the documented values";
  EXPECT_EQ(psql("SET TIME ZONE 'UTC'; " + readme_query()),
            "2026-12-08|st-a|2|1|50.0\n2026-12-09|st-a|1|1|100.0\n2026-12-09|st-b|1|1|100.0");

  // A second line on the same database: its rows apart from L1's, the same
  // station names and numbers allowed; a run L1 holds is not L2's.
  stop();
  ChildProcess second;
  ASSERT_TRUE(
      second.start({ORVALOAD_LINE, "--serve", "127.0.0.1:0", "--db", db_, "--line-name", "L2"}));
  ASSERT_TRUE(second.wait_for_output("; Ctrl-C ends it", START_S)) << second.err();
  const std::string& out = second.out();
  const int l2 = std::stoi(out.substr(out.find(':', out.find("http://") + 7) + 1));
  json other = batch("st-a", 1, 2);
  for (json& r : other["rows"]) r["run_id"] = "L2-" + r["run_id"].get<std::string>();
  httplib::Client c("127.0.0.1", l2);
  EXPECT_EQ(have_through_of(c.Post("/api/stations/st-a/records", other.dump(), "application/json")),
            2);
  const auto taken = c.Post("/api/stations/st-b/records",
                            json{{"rows", json::array({rows[3]})}}.dump(), "application/json");
  EXPECT_EQ(status_of(taken), 409);
  if (taken) {
    EXPECT_NE(taken->body.find("held for the line 'L1'"), std::string::npos) << taken->body;
  }
  EXPECT_EQ(json::parse(c.Get("/api/records")->body)["records"].size(), 2u);
  second.send_signal(SIGTERM);
  EXPECT_EQ(second.finish(10), 0);
  start();
  EXPECT_EQ(run_ids("st-a").size(), 4u) << "L1's own rows";
}

namespace {

// A run of 2026-12-09 that began at `at` (HH:MM) and took `seconds` (under a
// minute; below 0: it has no end), with `tag` (empty: none) and `text`.
json run_at(const std::string& station, int seq, const std::string& tag, const std::string& result,
            const std::string& at, int seconds, const std::string& text = "") {
  json r = row(station, seq, result);
  char ended[16];
  std::snprintf(ended, sizeof ended, "%02d", seconds < 0 ? 0 : seconds);
  r["tag"] = tag.empty() ? json() : json(tag);
  r["started_at"] = "2026-12-09T" + at + ":00.000Z";
  r["ended_at"] = seconds < 0 ? json() : json("2026-12-09T" + at + ":" + ended + ".000Z");
  r["last_text"] = text.empty() ? json() : json(text);
  return r;
}

const char* const DEVICE_ERROR = "ORVA had an internal error(7)!\nwhile erasing 0x00004000";
const char* const TIMEOUT = "serial port timeout during transmission, error!";
const char* const NOT_OPENED = "serial port open failed!\nthe port is held by ModemManager";

// Two stations' runs around the period 08:00 to 16:00: units run twice
// (SN-2 failed, passed, and failed again; SN-OLD failed before the period
// and passed in it), runs without a tag, each result, a run on the period's
// end.
json period_rows(const std::string& station) {
  json rows = json::array();
  if (station == "st-a") {
    rows.push_back(run_at("st-a", 1, "SN-OLD", "failed", "07:00", 5, DEVICE_ERROR));
    rows.push_back(run_at("st-a", 2, "SN-1", "ok", "08:10", 20));
    rows.push_back(run_at("st-a", 3, "SN-2", "failed", "08:20", 5, DEVICE_ERROR));
    rows.push_back(run_at("st-a", 4, "SN-OLD", "ok", "09:00", 22));
    rows.push_back(run_at("st-a", 5, "SN-1", "ok", "11:00", 19));
    rows.push_back(run_at("st-a", 6, "SN-4", "cancelled", "13:00", 3));
    rows.push_back(run_at("st-a", 7, "SN-4", "ok", "13:10", 24));
    rows.push_back(run_at("st-a", 8, "SN-9", "ok", "16:00", 20));
  } else {
    rows.push_back(run_at("st-b", 1, "SN-2", "ok", "08:40", 25));
    rows.push_back(run_at("st-b", 2, "", "ok", "09:30", 18));
    rows.push_back(run_at("st-b", 3, "", "failed", "10:00", 30, TIMEOUT));
    rows.push_back(run_at("st-b", 4, "SN-3", "not-opened", "12:00", 0, NOT_OPENED));
    rows.push_back(run_at("st-b", 5, "SN-3", "ok", "12:05", 21));
    rows.push_back(run_at("st-b", 6, "SN-5", "interrupted", "14:00", -1));
    rows.push_back(run_at("st-b", 7, "SN-2", "failed", "15:00", 6, DEVICE_ERROR));
  }
  return json{{"rows", rows}};
}

// The counts of a part of the figures, in the order the answer has them.
std::vector<json> counts_of(const json& part) {
  return {part["runs"],       part["units_upgraded"],   part["first_runs"],
          part["first_pass"], part["first_pass_yield"], part["failures"]};
}

} // namespace

// The figures of a period, counted by the database from rows of known
// yield: a unit is its tag (a run without one its own), its first run ever
// decides whether it passed the first time, a unit upgraded twice counts
// once, failures are failed, not-opened and interrupted runs with their
// texts' first lines, and the median is that of the upgrades. The slices
// and the stations add up to the whole; a station's own figures are its
// part of the whole. Runs that arrive after later runs of their units (a
// station that was away) count as if they had come in order, and so do
// runs the line counted before it was stopped with its figures lost.
TEST_P(LineApi, TheFiguresOfAPeriodAreCountedByTheDatabase) {
  const json a = period_rows("st-a")["rows"];
  const json late{{"rows", json(std::vector<json>(a.begin(), a.begin() + 4))}};
  const json early{{"rows", json(std::vector<json>(a.begin() + 4, a.end()))}};
  for (const auto& [station, rows] : {std::pair<std::string, json>{"st-a", early},
                                      {"st-b", period_rows("st-b")},
                                      {"st-a", late}}) {
    ASSERT_EQ(status_of(post("/api/stations/" + station + "/records", rows.dump())), 200);
  }
  const auto stats = [&](const std::string& query) {
    const auto answer = client().Get(("/api/stats" + query).c_str());
    EXPECT_EQ(status_of(answer), 200) << (answer ? answer->body : "no answer");
    return status_of(answer) == 200 ? json::parse(answer->body) : json::object();
  };
  const json whole = stats("?since=2026-12-09T08:00:00Z&until=2026-12-09T16:00:00Z");
  EXPECT_EQ(whole["since"], "2026-12-09T08:00:00.000Z");
  EXPECT_EQ(whole["station"], nullptr);
  EXPECT_EQ(whole["slice_s"], 600);
  EXPECT_EQ(counts_of(whole), (std::vector<json>{13, 6, 7, 2, 0.2857, 5}));
  EXPECT_EQ(whole["results"], json::parse(R"({"ok": 7, "failed": 3, "cancelled": 1,
                                             "not-opened": 1, "interrupted": 1})"));
  EXPECT_EQ(whole["units_per_hour"], 0.8);
  EXPECT_EQ(whole["median_seconds"], 21.0);
  EXPECT_EQ(whole["top_failures"],
            json::parse(R"([{"reason": "ORVA had an internal error(7)!", "runs": 2},
                            {"reason": "", "runs": 1},
                            {"reason": "serial port open failed!", "runs": 1},
                            {"reason": "serial port timeout during transmission, error!",
                             "runs": 1}])"));
  ASSERT_EQ(whole["slices"].size(), 48u);
  EXPECT_EQ(whole["slices"][1]["from"], "2026-12-09T08:10:00.000Z");
  EXPECT_EQ(counts_of(whole["slices"][1]), (std::vector<json>{1, 1, 1, 1, 1.0, 0}));
  EXPECT_EQ(whole["slices"][1]["median_seconds"], 20.0);
  EXPECT_EQ(whole["slices"][1]["units_per_hour"], 6.0);
  EXPECT_EQ(counts_of(whole["slices"][0]), (std::vector<json>{0, 0, 0, 0, nullptr, 0}));
  EXPECT_EQ(whole["slices"][0]["median_seconds"], nullptr);
  std::map<std::string, int64_t> summed;
  for (const json& slice : whole["slices"]) {
    for (const char* count : {"runs", "units_upgraded", "first_runs", "first_pass", "failures"}) {
      summed[count] += slice[count].get<int64_t>();
    }
  }
  for (const auto& [count, n] : summed) EXPECT_EQ(n, whole[count]) << count;
  ASSERT_EQ(whole["stations"].size(), 2u);
  EXPECT_EQ(whole["stations"][0]["station"], "st-a");
  EXPECT_EQ(counts_of(whole["stations"][0]), (std::vector<json>{6, 3, 3, 1, 0.3333, 1}));
  EXPECT_EQ(counts_of(whole["stations"][1]), (std::vector<json>{7, 3, 4, 1, 0.25, 4}));

  const json b = stats("?station=st-b&since=2026-12-09T08:00:00Z&until=2026-12-09T16:00:00Z");
  EXPECT_EQ(b["station"], "st-b");
  EXPECT_EQ(counts_of(b), counts_of(whole["stations"][1]));
  EXPECT_EQ(b["median_seconds"], 21.0);
  EXPECT_EQ(b["top_failures"].size(), 4u);
  const json of_a = stats("?station=st-a&since=2026-12-09T08:00:00Z&until=2026-12-09T16:00:00Z");
  EXPECT_EQ(of_a["median_seconds"], 21.0) << "19, 20, 22 and 24: the mean of the middle two";
  // Without since, the 8 hours before until.
  EXPECT_EQ(counts_of(stats("?until=2026-12-09T16:00:00.000Z")), counts_of(whole));
  // Days given as dates: the whole day, with the run before 08:00 and the one on 16:00.
  EXPECT_EQ(stats("?since=2026-12-09&until=2026-12-10")["runs"], 15);
  EXPECT_EQ(stats("")["runs"], 0) << "the last 8 hours hold none of these";

  for (const char* bad :
       {"?since=yesterday", "?since=2026-12-09T16:00:00Z&until=2026-12-09",
        "?since=2024-01-01&until=2026-01-01", "?limit=5", "?station=a/b", "?until=2026-02-30"}) {
    const auto refused = client().Get((std::string("/api/stats") + bad).c_str());
    EXPECT_EQ(status_of(refused), 400) << bad;
  }
  // A line that finds its figures short of the runs counts them again.
  db_run("DELETE FROM orva_run_figures WHERE station = 'st-b'");
  stop();
  start();
  const json again = stats("?since=2026-12-09T08:00:00Z&until=2026-12-09T16:00:00Z");
  EXPECT_EQ(counts_of(again), counts_of(whole));
  EXPECT_EQ(again["stations"], whole["stations"]);
  EXPECT_EQ(again["top_failures"], whole["top_failures"]);

  // Whether a run is its unit's first is looked up along an index.
  const std::string index =
      postgresql() ? psql("SELECT indexdef FROM pg_indexes WHERE indexname = 'orva_runs_unit'")
                   : db_run("SELECT sql FROM sqlite_master WHERE name = 'orva_runs_unit'");
  EXPECT_NE(index.find("(tag, "), std::string::npos) << index;
}

// GET /metrics in Prometheus' text format, as promtool checks it: the runs
// the line stored since it started by station, product (a release's) and
// result, their seconds,
// each station's slots by state and its waiting rows, the database, and
// the answers by route class and status.
TEST_P(LineApi, MetricsAreWhatPrometheusTakes) {
  if (!have_promtool()) {
    GTEST_SKIP() << "no promtool here: install the package prometheus (scripts/install-deps)";
  }
  ASSERT_EQ(status_of(post("/api/stations/st-a/records", period_rows("st-a").dump())), 200);
  ASSERT_EQ(status_of(post("/api/stations/st-a/records", period_rows("st-a").dump())), 200);
  const std::string state =
      R"({"slots": [{"slot": 1, "state": "running", "port": "/dev/ttyUSB0"},
         {"slot": 2, "state": "failed", "port": "/dev/ttyUSB1", "last_text": "a \"quoted\" text"}],
         "unsynced": 4, "unsynced_oldest_s": 12.5})";
  json released = row("st-p", 1);
  released["product"] = "ORVA-M2";
  released["release_version"] = "2.1.0";
  ASSERT_EQ(status_of(post("/api/stations/st-p/records", json{{"rows", {released}}}.dump())), 200);
  ASSERT_EQ(status_of(post("/api/stations/a+b/state", state)), 404);
  ASSERT_EQ(status_of(post("/api/stations/st-a/state", state)), 200);
  EXPECT_EQ(status_of(client().Get("/api/nothing")), 404);
  const std::string text = metrics_checked(client().Get("/metrics"));
  for (const char* sample : {
           "orva_runs_total{station=\"st-a\",result=\"ok\"} 5\n",
           "orva_runs_total{station=\"st-a\",result=\"failed\"} 2\n",
           "orva_runs_total{station=\"st-a\",result=\"cancelled\"} 1\n",
           "orva_run_duration_seconds_bucket{station=\"st-a\",le=\"20\"} 6\n",
           "orva_run_duration_seconds_bucket{station=\"st-a\",le=\"+Inf\"} 8\n",
           "orva_run_duration_seconds_count{station=\"st-a\"} 8\n",
           "orva_run_duration_seconds_sum{station=\"st-a\"} 118\n",
           "orva_slots{station=\"st-a\",state=\"running\"} 1\n",
           "orva_slots{station=\"st-a\",state=\"failed\"} 1\n",
           "orva_slots{station=\"st-a\",state=\"idle\"} 0\n",
           "orva_station_up{station=\"st-a\"} 1\n",
           "orva_rows_waiting{station=\"st-a\"} 4\n",
           "orva_rows_waiting_oldest_seconds{station=\"st-a\"} 12.5\n",
           "orva_database_up 1\n",
           "orva_runs_total{station=\"st-p\",product=\"ORVA-M2\",result=\"ok\"} 1\n",
           "orva_http_requests_total{route=\"station\",code=\"200\"} 4\n",
           "orva_http_requests_total{route=\"station\",code=\"404\"} 1\n",
           "orva_http_requests_total{route=\"other\",code=\"404\"} 1\n",
       }) {
    EXPECT_NE(text.find(sample), std::string::npos) << sample << text;
  }
}

// The README's prometheus.yml, its files where this test makes them, is a
// configuration Prometheus takes.
TEST(LineReadme, ThePrometheusScrapeSectionIsAConfigPrometheusTakes) {
  if (!have_promtool()) {
    GTEST_SKIP() << "no promtool here: install the package prometheus (scripts/install-deps)";
  }
  std::ifstream file(ORVA_README);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  const size_t begin = text.find("```yaml\n");
  const size_t end = text.find("```", begin + 8);
  ASSERT_NE(begin, std::string::npos) << "no prometheus.yml in the README";
  std::string config = text.substr(begin + 8, end - begin - 8);
  EXPECT_NE(config.find("- job_name: orva-line"), std::string::npos) << config;
  const std::string dir = "/tmp/orva-prometheus-" + std::to_string(getpid());
  const std::string from = "/etc/prometheus/orva";
  for (size_t at = 0; (at = config.find(from, at)) != std::string::npos; at += dir.size()) {
    const size_t name_end = config.find_first_of(" \n", at);
    std::filesystem::create_directories(dir);
    std::ofstream(dir + config.substr(at + from.size(), name_end - at - from.size())) << "x\n";
    config.replace(at, from.size(), dir);
  }
  const PromtoolCheck checked = promtool_check("config", config);
  EXPECT_EQ(checked.status, 0) << checked.said << config;
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Engines, LineApi, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

// The line over HTTPS: TLS 1.2 and 1.3, HSTS on every answer, files that do
// not fit refused at start, and a certificate renewed in place taken on
// SIGHUP for the connections that follow.
TEST(LineHttps, ServesTlsAndTakesARenewedCertificateOnSighup) {
  TestCa ca("/tmp/orva-line-tls-" + std::to_string(getpid()));
  ASSERT_EQ(ca.prepare(), "");
  ASSERT_EQ(ca.issue("line"), "");
  ASSERT_EQ(ca.issue("renewed", "renewed.localhost"), "");
  const std::string db = "sqlite:" + ca.dir() + "/line.db";
  const auto start = [&](ChildProcess* line, const std::string& cert, const std::string& key) {
    return line->start({ORVALOAD_LINE, "--serve", "127.0.0.1:0", "--db", db, "--tls-cert", cert,
                        "--tls-key", key});
  };

  // The key of another certificate, and a key others may read, are refused.
  ChildProcess mismatched;
  ASSERT_TRUE(start(&mismatched, ca.cert("line"), ca.key("renewed")));
  EXPECT_EQ(mismatched.finish(10), 2);
  EXPECT_NE(mismatched.err().find("is not the key of the certificate"), std::string::npos)
      << mismatched.err();
  std::filesystem::copy_file(ca.key("line"), ca.dir() + "/open.key");
  chmod((ca.dir() + "/open.key").c_str(), 0644);
  ChildProcess open_key;
  ASSERT_TRUE(start(&open_key, ca.cert("line"), ca.dir() + "/open.key"));
  EXPECT_EQ(open_key.finish(10), 2);
  EXPECT_NE(open_key.err().find("chmod 600"), std::string::npos) << open_key.err();

  const std::string cert = ca.dir() + "/serving.pem";
  const std::string key = ca.dir() + "/serving.key";
  std::filesystem::copy_file(ca.cert("line"), cert);
  std::filesystem::copy_file(ca.key("line"), key);
  ChildProcess line;
  ASSERT_TRUE(start(&line, cert, key));
  ASSERT_TRUE(line.wait_for_output("; Ctrl-C ends it", START_S)) << line.err();
  const std::string& out = line.out();
  ASSERT_NE(out.find("at https://127.0.0.1:"), std::string::npos) << out;
  const int port = std::stoi(out.substr(out.find(':', out.find("https://") + 8) + 1));

  httplib::SSLClient client("127.0.0.1", port);
  client.set_ca_cert_path(ca.cafile().c_str());
  client.enable_server_certificate_verification(true);
  const auto answer = client.Get("/api/line");
  ASSERT_EQ(status_of(answer), 200);
  EXPECT_EQ(answer->get_header_value("Strict-Transport-Security"), "max-age=31536000");
  httplib::Client plain("127.0.0.1", port);
  plain.set_read_timeout(5, 0);
  EXPECT_EQ(status_of(plain.Get("/api/line")), 0) << "plain HTTP gets no answer";

  // The subject of the certificate the line serves, by openssl's client,
  // which also tells the protocol versions apart.
  const auto served = [&](const char* version) {
    ChildProcess probe;
    probe.start({"/bin/sh", "-c",
                 "openssl s_client " + std::string(version) +
                     " -connect 127.0.0.1:" + std::to_string(port) + " -CAfile " + ca.cafile() +
                     " </dev/null 2>/dev/null | sed -n 's/^subject=.*CN *= *//p'"});
    probe.finish(20);
    std::string name = probe.out();
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
  };
  EXPECT_EQ(served("-tls1_2"), "localhost");
  EXPECT_EQ(served("-tls1_3"), "localhost");

  std::filesystem::copy_file(ca.cert("renewed"), cert,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(ca.key("renewed"), key,
                             std::filesystem::copy_options::overwrite_existing);
  line.send_signal(SIGHUP);
  EXPECT_TRUE(wait_until([&] { return served("-tls1_3") == "renewed.localhost"; }, 5));
  line.send_signal(SIGTERM);
  EXPECT_EQ(line.finish(10), 0) << line.err();
}

// Stations without end: past --stations-max a name without a credential of
// its own is refused (403, saying why), one with its own credential is
// taken; however many it knows, a new event reader gets every station in
// its opening snapshot.
TEST(LineStations, AreBoundedAndTheSnapshotComesWhole) {
  const std::string db = "sqlite:/tmp/orva-line-stations-" + std::to_string(getpid()) + ".db";
  ChildProcess credential;
  ASSERT_TRUE(credential.start({ORVALOAD_LINE, "--db", db, "credential", "add", "station", "own"}));
  ASSERT_EQ(credential.finish(30), 0) << credential.err();
  std::string token = credential.out();
  token.pop_back();
  ChildProcess line;
  ASSERT_TRUE(
      line.start({ORVALOAD_LINE, "--serve", "127.0.0.1:0", "--db", db, "--stations-max", "4200"}));
  ASSERT_TRUE(line.wait_for_output("; Ctrl-C ends it", START_S)) << line.err();
  const std::string& out = line.out();
  const int port = std::stoi(out.substr(out.find(':', out.find("http://") + 7) + 1));
  httplib::Client c("127.0.0.1", port);
  c.set_keep_alive(true);
  c.set_tcp_nodelay(true); // no 40 ms wait for an acknowledgement per post
  const std::string state = R"({"slots": [{"slot": 1, "port": "/dev/ttyUSB0", "state": "idle"}]})";
  const auto report = [&](int n) {
    char name[16];
    std::snprintf(name, sizeof name, "t%05d", n);
    return status_of(c.Post(("/api/stations/" + std::string(name) + "/state").c_str(), state,
                            "application/json"));
  };
  for (int n = 1; n <= 4200; ++n) ASSERT_EQ(report(n), 200) << n;
  const auto refused = c.Post("/api/stations/t99999/state", state, "application/json");
  ASSERT_EQ(status_of(refused), 403);
  EXPECT_NE(refused->body.find("--stations-max"), std::string::npos) << refused->body;
  EXPECT_EQ(report(17), 200) << "a station the line knows goes on reporting";
  EXPECT_EQ(status_of(c.Post("/api/stations/own/state", {{"Authorization", "Bearer " + token}},
                             state, "application/json")),
            200);

  // The opening snapshot: the database, 4201 stations and the totals, past
  // the 4096 events a stream may otherwise lag by.
  size_t stations_seen = 0;
  std::string stream;
  httplib::Client events("127.0.0.1", port);
  events.Get("/api/events", [&](const char* data, size_t size) {
    stream.append(data, size);
    size_t line_end;
    while ((line_end = stream.find('\n')) != std::string::npos) {
      stations_seen +=
          stream.compare(0, 6, "data: ") == 0 && stream.find("\"event\":\"station\"") < line_end;
      if (stream.find("\"event\":\"totals\"") < line_end) return false;
      stream.erase(0, line_end + 1);
    }
    return true;
  });
  EXPECT_EQ(stations_seen, 4201u);
  line.send_signal(SIGTERM);
  EXPECT_EQ(line.finish(10), 0) << line.err();
  for (const char* end : {"", "-wal", "-shm"}) std::remove((db.substr(7) + end).c_str());
}

// A line's places are sized for its stations: with 80 station credentials
// (and the admin's token, so that every place past the first 48 takes only
// a request with a credential), 80 stations from 80 addresses each hold a
// kept-alive connection, past the station's 64, and go on posting on it
// while clients without a credential take what is left; a credential made
// while the line runs brings its place within the line's look at its
// database.
TEST(LinePlaces, EachStationCredentialHoldsAKeptAliveConnection) {
  constexpr int STATIONS = 80;
  const std::string db = "sqlite:/tmp/orva-line-places-" + std::to_string(getpid()) + ".db";
  const auto add = [&](int n) {
    ChildProcess made;
    EXPECT_TRUE(made.start(
        {ORVALOAD_LINE, "--db", db, "credential", "add", "station", "st-" + std::to_string(n)}));
    EXPECT_EQ(made.finish(30), 0) << made.err();
    std::string token = made.out();
    if (!token.empty()) token.pop_back();
    return token;
  };
  std::vector<std::string> tokens;
  for (int n = 1; n <= STATIONS; ++n) tokens.push_back(add(n));
  const std::string token_file = "/tmp/orva-line-places-admin-" + std::to_string(getpid());
  std::ofstream(token_file) << "admin-" << std::string(40, 'b') << "0123456789\n";
  chmod(token_file.c_str(), 0600);
  ChildProcess line;
  ASSERT_TRUE(line.start(
      {ORVALOAD_LINE, "--serve", "127.0.0.1:0", "--db", db, "--token-file", token_file}));
  ASSERT_TRUE(line.wait_for_output("; Ctrl-C ends it", START_S)) << line.err();
  std::remove(token_file.c_str());
  const std::string& out = line.out();
  const int port = std::stoi(out.substr(out.find(':', out.find("http://") + 7) + 1));

  const std::string body = R"({"slots": [{"slot": 1, "port": "/dev/ttyUSB0", "state": "idle"}]})";
  const auto state = [&](int n, const std::string& token) {
    return "POST /api/stations/st-" + std::to_string(n) +
           "/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nAuthorization: Bearer " + token +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
  };
  const auto address = [](int n) { return "127.0.1." + std::to_string(n); };
  const auto answered = [](Connection& c) {
    return c.read_head(5).find("HTTP/1.1 200 OK") != std::string::npos && !c.closed();
  };
  std::vector<std::unique_ptr<Connection>> stations;
  for (int n = 1; n <= STATIONS; ++n) {
    stations.push_back(std::make_unique<Connection>(port, address(n)));
    ASSERT_TRUE(stations.back()->send_text(state(n, tokens[n - 1]))) << n;
    ASSERT_TRUE(answered(*stations.back())) << "station " << n << " got no place";
  }
  // Clients without a credential, 16 from each of 4 addresses: they fill
  // what no station holds and are refused the rest.
  std::vector<std::unique_ptr<Connection>> others;
  for (int i = 0; i < 64; ++i) {
    others.push_back(std::make_unique<Connection>(port, "127.0.2." + std::to_string(1 + i % 4)));
  }
  for (int n = 1; n <= STATIONS; ++n) {
    ASSERT_TRUE(stations[n - 1]->send_text(state(n, tokens[n - 1]))) << n;
    EXPECT_TRUE(answered(*stations[n - 1])) << "station " << n << " lost its connection";
  }
  EXPECT_EQ(status_of(httplib::Client("127.0.0.1", port).Get("/api/line")), 401);

  // Made while the line runs: its place comes with the next look.
  const std::string late = add(STATIONS + 1);
  EXPECT_TRUE(wait_until(
      [&] {
        auto c = std::make_unique<Connection>(port, address(STATIONS + 1));
        if (!c->send_text(state(STATIONS + 1, late)) || !answered(*c)) return false;
        stations.push_back(std::move(c));
        return true;
      },
      10))
      << "a station credential made while the line runs got no place";
  for (int n = 1; n <= STATIONS; ++n) {
    ASSERT_TRUE(stations[n - 1]->send_text(state(n, tokens[n - 1]))) << n;
    EXPECT_TRUE(answered(*stations[n - 1])) << "station " << n << " lost its connection";
  }
  line.send_signal(SIGTERM);
  EXPECT_EQ(line.finish(10), 0) << line.err();
  for (const char* end : {"", "-wal", "-shm"}) std::remove((db.substr(7) + end).c_str());
}

// Options the line cannot use end it at once with one line that says what to
// do (status 2); an address in use ends it (status 3) before it has touched
// its database or broker; an SQLite file's folder is made, the file its
// user's alone.
TEST(LineOptions, ARefusedOptionIsOneLineAndNothingIsTouched) {
  const std::string folder = "/tmp/orva-line-options-" + std::to_string(getpid());
  const auto refused = [](std::vector<std::string> args, int status, const std::string& says) {
    args.insert(args.begin(), ORVALOAD_LINE);
    ChildProcess line;
    ASSERT_TRUE(line.start(args));
    EXPECT_EQ(line.finish(10), status) << line.err();
    EXPECT_EQ(line.err().rfind("orvaload-line: ", 0), 0u) << line.err();
    EXPECT_NE(line.err().find(says), std::string::npos) << line.err();
  };
  for (const char* db : {"plain.db", "mysql://orva@db/orva", "sqlite:"}) {
    refused({"--serve", "0", "--db", db}, 2, ": --db ");
  }
  refused({"--serve", "0", "--db", "sqlite:" + folder + "/x.db", "--mqtt", "mqtts://h",
           "--mqtt-cafile", folder + "/none.pem"},
          2, "cannot read the CA file " + folder + "/none.pem (--mqtt-cafile): No such file");
  refused({"--serve", "0.0.0.0:0", "--token-file", folder + "/none.token"}, 2,
          "cannot read the token file " + folder + "/none.token: No such file");
  refused({"--serve", "0.0.0.0:0"}, 2, "needs --token-file");
  refused({"--serve", "0", "--offline-after", "0"}, 2, "--offline-after");

  ChildProcess first;
  ASSERT_TRUE(first.start({ORVALOAD_LINE, "--serve", "localhost:0", "--db",
                           "sqlite:" + folder + "/made/for/it/line.db"}));
  ASSERT_TRUE(first.wait_for_output("; Ctrl-C ends it", START_S)) << first.err();
  const std::string& out = first.out();
  const std::string port = out.substr(out.find(':', out.find("http://") + 7) + 1);
  struct stat made {};
  ASSERT_EQ(stat((folder + "/made/for/it/line.db").c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 0777, 0600u);
  // Nothing listens on port 1: a line that tried it would say so first.
  const double began = monotonic_seconds();
  refused({"--serve", "127.0.0.1:" + std::to_string(std::stoi(port)), "--db",
           "postgresql://orva@127.0.0.1:1/orva", "--mqtt", "mqtt://127.0.0.1:1"},
          3, "cannot listen on 127.0.0.1:");
  EXPECT_LT(monotonic_seconds() - began, 2.0);
  first.send_signal(SIGTERM);
  EXPECT_EQ(first.finish(10), 0);
  std::filesystem::remove_all(folder);
}

namespace {

// The line with its live state on a real Mosquitto broker: the line server
// connects over TLS with a password, as a plant's broker asks; the plant's
// side is mosquitto_sub on the plain listener.
class LineMqtt : public ::testing::Test {
protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    if (access("/usr/sbin/mosquitto", X_OK) != 0 || access("/usr/bin/mosquitto_sub", X_OK) != 0) {
      GTEST_SKIP() << "no Mosquitto here: install the packages mosquitto and mosquitto-clients";
    }
    const std::string made = broker_.prepare();
    ASSERT_EQ(made, "");
    ASSERT_TRUE(broker_.start()) << broker_.log();
    start_line();
  }
  void TearDown() override {
    if (line_) {
      line_->send_signal(SIGTERM);
      EXPECT_EQ(line_->finish(10), 0) << line_->err();
    }
    for (const char* end : {"", "-wal", "-shm"}) std::remove((sqlite_path_ + end).c_str());
  }

  void start_line(const std::string& password = BrokerProcess::PASSWORD) {
    line_ = std::make_unique<ChildProcess>();
    ASSERT_TRUE(line_->start({ORVALOAD_LINE, "--serve", "127.0.0.1:0", "--db",
                              "sqlite:" + sqlite_path_, "--line-name", "L1", "--mqtt",
                              "mqtts://plant@localhost:" + std::to_string(broker_.tls_port()),
                              "--mqtt-cafile", broker_.cafile(), "--mqtt-password-file",
                              broker_.password_file(password)}));
    ASSERT_TRUE(line_->wait_for_output("; Ctrl-C ends it", START_S)) << line_->err();
    const std::string& out = line_->out();
    port_ = std::stoi(out.substr(out.find(':', out.find("http://") + 7) + 1));
  }

  int post(const std::string& path, const std::string& body) {
    httplib::Client c("127.0.0.1", port_);
    return status_of(c.Post(path.c_str(), body, "application/json"));
  }
  static std::string slot(int n, const std::string& state, int permille,
                          const std::string& tag = "SN-1") {
    return json{{"slot", n},      {"port", "/dev/ttyUSB" + std::to_string(n)},
                {"state", state}, {"permille", permille},
                {"tag", tag},     {"last_text", state}}
        .dump();
  }

  BrokerProcess broker_;
  std::unique_ptr<ChildProcess> line_;
  int port_ = 0;
  const std::string sqlite_path_ = "/tmp/orva-line-mqtt-" + std::to_string(getpid()) + ".db";
};

} // namespace

// What the plant reads: the line online, each station's status, each slot's
// state (retained, at most two a second per slot, the newest last), a copy
// of each row new to the database and none of a batch sent again; a wrong
// password is said and the line serves on; a line that ends says offline.
TEST_F(LineMqtt, PlantSeesStatusSlotsAndRecordsOverTls) {
  ChildProcess sub;
  ASSERT_TRUE(broker_.subscribe(&sub, "orva/#"));
  ASSERT_TRUE(sub.wait_for_output("orva/v1/L1/status {\"state\":\"online\"}", 10)) << line_->err();

  ASSERT_EQ(post("/api/stations/st-a/state", "{\"slots\": [" + slot(1, "running", 420) + "]}"),
            200);
  EXPECT_TRUE(sub.wait_for_output("orva/v1/L1/st-a/status {\"state\":\"online\"", 5));
  EXPECT_TRUE(sub.wait_for_output(
      "orva/v1/L1/st-a/slot/1/state {\"slot\":1,\"port\":\"/dev/ttyUSB1\",\"phase\":\"running\","
      "\"percent\":42.0,\"tag\":\"SN-1\",\"last_text\":\"running\"}",
      5))
      << sub.out();
  // Ten changes at once: two go now, the newest when the second is over.
  for (int p = 501; p <= 510; ++p) {
    ASSERT_EQ(post("/api/stations/st-a/state", "{\"slots\": [" + slot(1, "running", p) + "]}"),
              200);
  }
  EXPECT_TRUE(sub.wait_for_output("\"percent\":51.0,", 5));
  sub.wait_for_output("not to come", 1.2);
  EXPECT_LE(lines_with(sub.out(),
                       "orva/v1/L1/st-a/slot/1/state {\"slot\":1,\"port\":\"/dev/ttyUSB1\","
                       "\"phase\":\"running\",\"percent\":5"),
            3u);

  ASSERT_EQ(have_through_of(post_rows(port_, "st-a", 1, 3)), 3);
  ASSERT_EQ(have_through_of(post_rows(port_, "st-a", 1, 3)), 3);
  EXPECT_TRUE(sub.wait_for_output("\"tag\":\"SN-st-a-3\"", 5));
  sub.wait_for_output("not to come", 1);
  EXPECT_EQ(lines_with(sub.out(), "orva/v1/L1/st-a/record {"), 3u);

  // A second line with a wrong password is refused by the broker and says
  // so, once; its HTTP face answers all the same.
  ChildProcess wrong;
  ASSERT_TRUE(wrong.start({ORVALOAD_LINE, "--serve", "127.0.0.1:0", "--db",
                           "sqlite:" + sqlite_path_ + "-2", "--line-name", "L2", "--mqtt",
                           "mqtts://plant@localhost:" + std::to_string(broker_.tls_port()),
                           "--mqtt-cafile", broker_.cafile(), "--mqtt-password-file",
                           broker_.password_file("not-the-password")}));
  ASSERT_TRUE(wrong.wait_for_output("; Ctrl-C ends it", START_S));
  EXPECT_TRUE(wait_until(
      [&] {
        wrong.wait_for_output("not to come", 0.05);
        return wrong.err().find("refused") != std::string::npos;
      },
      5))
      << wrong.err();
  wrong.send_signal(SIGTERM);
  EXPECT_EQ(wrong.finish(10), 0);
  EXPECT_EQ(lines_with(wrong.err(), "orvaload-line: MQTT broker localhost:"), 1u) << wrong.err();
  for (const char* end : {"-2", "-2-wal", "-2-shm"}) std::remove((sqlite_path_ + end).c_str());

  line_->send_signal(SIGTERM);
  EXPECT_EQ(line_->finish(10), 0) << line_->err();
  line_.reset();
  EXPECT_TRUE(sub.wait_for_output("orva/v1/L1/status {\"state\":\"offline\"}", 5));
}

// The broker restarted with nothing kept: the line reconnects and every
// retained state is right again within 5 s, a change made while the broker
// was away included. A line killed outright is said offline by its will.
TEST_F(LineMqtt, ABrokerRestartedGetsEveryRetainedStateBack) {
  ASSERT_EQ(post("/api/stations/st-a/state",
                 "{\"slots\": [" + slot(1, "running", 100) + "," + slot(2, "idle", 0) + "]}"),
            200);
  ASSERT_EQ(post("/api/stations/st-b/state", "{\"slots\": [" + slot(1, "idle", 0) + "]}"), 200);
  {
    ChildProcess sub;
    ASSERT_TRUE(broker_.subscribe(&sub, "orva/#"));
    ASSERT_TRUE(sub.wait_for_output("orva/v1/L1/st-b/slot/1/state", 10)) << sub.out();
  }
  broker_.stop();
  ASSERT_EQ(post("/api/stations/st-a/state",
                 "{\"slots\": [" + slot(1, "upgraded", 1000) + "," + slot(2, "idle", 0) + "]}"),
            200);
  sleep(2);
  ASSERT_TRUE(broker_.start());
  const double back = monotonic_seconds();
  std::string seen;
  const auto all_back = [&] {
    ChildProcess sub;
    // Retained messages come first; a moment is enough to read them.
    if (!broker_.subscribe(&sub, "orva/#")) return false;
    sub.wait_for_output("not to come", 0.3);
    line_->wait_for_output("not to come", 0.01);
    seen = sub.out();
    return seen.find("orva/v1/L1/status {\"state\":\"online\"}") != std::string::npos &&
           seen.find("orva/v1/L1/st-a/slot/1/state {\"slot\":1,\"port\":\"/dev/ttyUSB1\","
                     "\"phase\":\"upgraded\",\"percent\":100.0") != std::string::npos &&
           seen.find("orva/v1/L1/st-a/slot/2/state") != std::string::npos &&
           seen.find("orva/v1/L1/st-b/slot/1/state") != std::string::npos &&
           seen.find("orva/v1/L1/st-b/status {\"state\":\"online\"") != std::string::npos;
  };
  EXPECT_TRUE(wait_until(all_back, 8)) << seen << line_->err();
  EXPECT_LT(monotonic_seconds() - back, 5.0);
  std::printf("every retained state back %.2f s after the broker\n", monotonic_seconds() - back);

  ChildProcess sub;
  ASSERT_TRUE(broker_.subscribe(&sub, "orva/v1/L1/status"));
  ASSERT_TRUE(sub.wait_for_output("{\"state\":\"online\"}", 5));
  line_->send_signal(SIGKILL);
  line_->finish(10);
  line_.reset();
  EXPECT_TRUE(sub.wait_for_output("orva/v1/L1/status {\"state\":\"offline\"}", 5)) << sub.out();
}

namespace {

// A server at the line's address that is no line: it reads the head of
// each request and answers it with a flood (a body with no length, up to
// 1 GiB, as fast as it is taken) or a trickle (one byte every 2 s), then
// closes the connection. A thread of its own, and one per connection.
class HostileLine {
public:
  enum class Answer { flood, trickle };
  explicit HostileLine(Answer answer) : answer_(answer) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in here{};
    here.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &here.sin_addr);
    socklen_t size = sizeof here;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&here), size) == 0 && listen(fd_, 16) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&here), &size) == 0) {
      port_ = ntohs(here.sin_port);
    }
    accepting_ = std::thread([this] { accept_all(); });
  }
  ~HostileLine() {
    stop_ = true;
    accepting_.join();
    for (std::thread& t : answering_) t.join();
    close(fd_);
  }
  int port() const { return port_; }
  int requests() const { return requests_; }

private:
  void accept_all() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int client = accept(fd_, nullptr, nullptr);
      if (client >= 0) answering_.emplace_back([this, client] { answer(client); });
    }
  }

  // Waits up to 100 ms for `events` on `fd`; false once the server stops.
  bool ready(int fd, short events) {
    pollfd p{fd, events, 0};
    return !stop_ && poll(&p, 1, 100) >= 0;
  }

  void answer(int client) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && ready(client, POLLIN)) {
      const ssize_t n = recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0) break;
      if (n > 0) head.append(buffer, static_cast<size_t>(n));
    }
    if (head.find("\r\n\r\n") != std::string::npos) {
      ++requests_;
      const std::string start =
          "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n";
      if (answer_ == Answer::flood) flood(client, start);
      else trickle(client, start + "{\"have_through\": 0}");
    }
    close(client);
  }

  void flood(int client, const std::string& start) {
    const std::string chunk(64 * 1024, '[');
    size_t sent = 0;
    for (bool first = true; sent < (size_t{1} << 30) && ready(client, POLLOUT); first = false) {
      const std::string& bytes = first ? start : chunk;
      const ssize_t n = send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN) return; // the station closed
      sent += static_cast<size_t>(std::max<ssize_t>(n, 0));
    }
  }

  void trickle(int client, const std::string& answer) {
    for (const char c : answer) {
      for (int step = 0; step < 20; ++step) {
        if (!ready(client, 0)) return;
      }
      if (send(client, &c, 1, MSG_NOSIGNAL) != 1) return;
    }
  }

  const Answer answer_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread accepting_;
  std::vector<std::thread> answering_;
};

} // namespace

// A line that floods or trickles hurts no station: an answer past 64 KiB is
// cut off and said as an error that waiting will not cure, a trickled one
// ends at the whole deadline of 10 s, the station's memory stays small and
// SIGTERM ends it within 5 s while a post is under way.
TEST(HostileLine, AFloodOrATrickleLeavesTheStationSmallAndSIGTERMEndsIt) {
  signal(SIGPIPE, SIG_IGN);
  for (const auto kind : {HostileLine::Answer::flood, HostileLine::Answer::trickle}) {
    const bool flood = kind == HostileLine::Answer::flood;
    SCOPED_TRACE(flood ? "flood" : "trickle");
    HostileLine line(kind);
    ASSERT_NE(line.port(), 0);
    BootsimProcess sim;
    ASSERT_TRUE(sim.start({"--image", ORVA_FIRMWARE_FILE, "--runs", "0"}, START_S));
    const std::string records = "/tmp/orva-line-hostile-" + std::to_string(getpid()) + ".db";
    ChildProcess station;
    const double started = monotonic_seconds();
    const int station_port = serve_station(&station, sim.path(), records, "st-h", line.port());
    ASSERT_NE(station_port, 0) << station.err();
    // What it holds to begin with (ASan's shadow memory, say).
    const long first_kib = resident_kib(station.pid());
    httplib::Client c("127.0.0.1", station_port);
    // A row that waits for the line.
    ASSERT_EQ(status_of(c.Post("/api/slots/1/run", R"({"tag": "SN-H"})", "application/json")), 202);

    const std::string says = flood ? "what it sent is no answer (the answer is over 64 KiB)"
                                   : "no answer (no whole answer within 10 s)";
    long most_kib = 0;
    EXPECT_TRUE(wait_until(
        [&] {
          station.wait_for_output("not to come", 0.05);
          most_kib = std::max(most_kib, resident_kib(station.pid()));
          return station.err().find(says) != std::string::npos;
        },
        20))
        << station.err();
    if (!flood) {
      EXPECT_GE(monotonic_seconds() - started, 9.5) << "the deadline is 10 s";
    }
    // Floods go on at each retry and heartbeat; a trickle holds the next
    // post as long as the first.
    EXPECT_TRUE(wait_until(
        [&] {
          most_kib = std::max(most_kib, resident_kib(station.pid()));
          return line.requests() >= (flood ? 4 : 2);
        },
        10));
    // The run's row waits once the run has ended (later on a busy machine).
    json shown;
    EXPECT_TRUE(wait_until(
        [&] {
          const auto status = c.Get("/api/station");
          if (status_of(status) != 200) return false;
          shown = json::parse(status->body)["line"];
          return shown["unsynced"] == 1;
        },
        30))
        << shown;
    EXPECT_EQ(shown["trouble"], flood ? "refused" : "no_answer");
    EXPECT_NE(shown["error"].get<std::string>().find(says), std::string::npos) << shown;
    EXPECT_LE(shown["error"].get<std::string>().size(), 256u);
    EXPECT_EQ(shown["unsynced"], 1);
    std::printf("%s: the station's resident memory %ld KiB at start, at most %ld KiB\n",
                flood ? "flood" : "trickle", first_kib, most_kib);
    EXPECT_LT(most_kib - first_kib, 64 * 1024);

    // A post is under way: SIGTERM ends the station all the same.
    station.send_signal(SIGTERM);
    const double term = monotonic_seconds();
    EXPECT_EQ(station.finish(10), 0) << station.err();
    EXPECT_LT(station.ended_s() - term, 5.0);
    std::printf("%s: the station ended %.2f s after SIGTERM\n", flood ? "flood" : "trickle",
                station.ended_s() - term);
    const std::string message =
        "orvaload-cli: the line at http://127.0.0.1:" + std::to_string(line.port()) +
        " takes no rows from this station: " + says;
    EXPECT_EQ(lines_with(station.err(), message), 1u) << station.err();
    EXPECT_EQ(lines_with(station.err(), "orvaload-cli: the line at "), 1u)
        << "a post cancelled at the end says nothing: " << station.err();
    for (const char* end : {"", "-wal", "-shm"}) std::remove((records + end).c_str());
  }
}

// A station's rows on their way to the line server, one push at a time
// against a line in memory: finished rows only, oldest first, in batches,
// each once; synced only as the line acknowledged what it was sent; a line
// that fails, lies or loses rows gets them again and marks nothing.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#include "app/station/line_reporter.h"
#include "records/record_store.h"

namespace {

const char* const LINE = "http://line:8090";

// The line's side: keeps the rows it is sent and answers how far it holds
// them without a gap, or fails as told.
struct LineInMemory {
  std::map<std::string, std::map<int64_t, nlohmann::json>> rows; // by station, then seq
  std::vector<std::string> paths;
  std::map<int64_t, int> posted; // how often each row of a batch came, by seq
  int fail_with = 0;             // an HTTP status, or -1 for no answer
  int64_t forget_below = 0;
  std::string answer; // set: the answer to a batch, whatever came

  LineAnswer operator()(const std::string& path, const std::string& body) {
    paths.push_back(path);
    if (fail_with == -1) return {0, "", "connection refused"};
    if (fail_with != 0) return {fail_with, R"({"error": "the database is down"})", ""};
    const nlohmann::json batch = nlohmann::json::parse(body);
    if (!batch.contains("rows")) return state(path, batch);
    std::string station;
    for (const auto& row : batch["rows"]) {
      station = row["station"];
      rows[station][row["station_seq"].get<int64_t>()] = row;
      ++posted[row["station_seq"].get<int64_t>()];
    }
    auto& held = rows[station];
    for (auto it = held.begin(); it != held.end();) {
      it = it->first < forget_below ? held.erase(it) : std::next(it);
    }
    if (!answer.empty()) return {200, answer, ""};
    return {200, "{\"have_through\": " + std::to_string(have(station)) + "}", ""};
  }

  int64_t have(const std::string& station) {
    int64_t n = 0;
    while (rows[station].count(n + 1)) ++n;
    return n;
  }

  // A state post: have_through beside ok when the station sent its mark.
  LineAnswer state(const std::string& path, const nlohmann::json& state) {
    if (!state.contains("synced_through")) return {200, R"({"ok": true})", ""};
    const std::string station = path.substr(14, path.rfind('/') - 14); // /api/stations/NAME/state
    return {200, "{\"ok\": true, \"have_through\": " + std::to_string(have(station)) + "}", ""};
  }
};

class LineReporterTest : public ::testing::Test {
protected:
  LineReporterTest() {
    dir_ = std::filesystem::temp_directory_path() / ("orva-line-" + record_uuid());
    std::filesystem::create_directories(dir_);
    StoreResult opened;
    store_ = RecordStore::open((dir_ / "records.db").string(), &opened);
    EXPECT_TRUE(store_) << opened.reason;
  }
  ~LineReporterTest() override {
    store_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // A run of `station`, ended unless `running`, its last text `text`.
  void run(const std::string& station, bool running = false, const std::string& text = "") {
    RunRow row;
    row.run_id = record_uuid();
    row.station = station;
    row.port = "COM5";
    row.image_sha256 = std::string(64, 'a');
    row.image_source = "built-in";
    row.program_version = "2.00";
    row.started_at = "2026-12-09T14:00:00.000Z";
    ASSERT_TRUE(store_->begin(&row).ok());
    if (running) return;
    row.result = "ok";
    row.last_text = text;
    row.ended_at = "2026-12-09T14:00:20.000Z";
    ASSERT_TRUE(store_->end(row).ok());
  }

  SyncResult push(const std::string& station = "bench-1") {
    return line_sync_once(*store_, LINE, station,
                          [this](const std::string& p, const std::string& b) {
                            return line_(p, b);
                          });
  }

  int64_t unsynced(const std::string& station = "bench-1") {
    int64_t count = 0;
    std::string oldest;
    EXPECT_TRUE(store_->count_unsynced(LINE, station, &count, &oldest).ok());
    return count;
  }
  int64_t synced_through(const std::string& station = "bench-1") {
    int64_t through = 0;
    std::vector<int64_t> above;
    EXPECT_TRUE(store_->synced(LINE, station, &through, &above).ok());
    return through;
  }

  std::filesystem::path dir_;
  std::unique_ptr<RecordStore> store_;
  LineInMemory line_;
};

TEST_F(LineReporterTest, FinishedRowsGoOnceAndOnlyWhatTheLineHoldsIsSynced) {
  run("bench-1");
  run("bench-1", true); // still running: waits, and holds back the rows after it
  run("bench-1");
  run("bench-2"); // another station sharing the store reports for itself
  SyncResult r = push();
  EXPECT_EQ(r.step, SyncStep::pushed);
  EXPECT_EQ(r.have_through, 1) << "seq 2 is still running, so the line has a gap";
  ASSERT_EQ(line_.rows["bench-1"].size(), 2u);
  EXPECT_EQ(line_.rows["bench-1"][1]["result"], "ok");
  EXPECT_TRUE(line_.rows["bench-1"][1]["slot"].is_null())
      << "every column, null where the store has NULL";
  EXPECT_EQ(line_.paths.back(), "/api/stations/bench-1/records");
  EXPECT_EQ(unsynced(), 0) << "seq 3 is held, though the run before it still goes";
  EXPECT_EQ(synced_through(), 1);

  // The line fails: nothing more is taken for synced.
  run("bench-1");
  line_.fail_with = 503;
  r = push();
  EXPECT_EQ(r.step, SyncStep::failed);
  EXPECT_NE(r.reason.find("the database is down"), std::string::npos) << r.reason;
  line_.fail_with = -1;
  EXPECT_NE(push().reason.find("connection refused"), std::string::npos);
  EXPECT_EQ(unsynced(), 1);

  line_.fail_with = 0;
  EXPECT_EQ(push("bench-2").have_through, 1)
      << "bench-2 numbers its own runs: its first is 1, though three of bench-1 came before";
  EXPECT_EQ(line_.paths.back(), "/api/stations/bench-2/records");
}

TEST_F(LineReporterTest, ALineThatLostRowsIsSentThemAgainAndBatchesAreBounded) {
  for (size_t i = 0; i < LINE_BATCH_MAX + 20; ++i) run("bench 1/a");
  SyncResult r = push("bench 1/a");
  EXPECT_EQ(r.have_through, static_cast<int64_t>(LINE_BATCH_MAX));
  EXPECT_TRUE(r.more);
  EXPECT_EQ(line_.paths.back(), "/api/stations/bench%201%2Fa/records");
  r = push("bench 1/a");
  EXPECT_EQ(r.have_through, static_cast<int64_t>(LINE_BATCH_MAX + 20));
  EXPECT_FALSE(r.more);
  EXPECT_EQ(push("bench 1/a").step, SyncStep::idle) << "nothing left to send";

  // A line restored from an older backup answers less than it held.
  line_.rows.clear();
  line_.forget_below = 10;
  run("bench 1/a");
  r = push("bench 1/a");
  EXPECT_EQ(r.have_through, 0);
  EXPECT_EQ(unsynced("bench 1/a"), static_cast<int64_t>(LINE_BATCH_MAX + 20))
      << "every row but the one it just took goes again";
  EXPECT_FALSE(r.lost.empty());
  EXPECT_TRUE(r.more);
}

// A batch holds as many rows as fit well within the line's body limit,
// whatever their texts hold; the rest go in the next.
TEST_F(LineReporterTest, ABatchFitsTheLinesBodyLimit) {
  for (int i = 0; i < 100; ++i) run("bench-1", false, std::string(10000, 't'));
  size_t largest = 0;
  int posts = 0;
  SyncResult r;
  do {
    const size_t before = line_.paths.size();
    r = line_sync_once(*store_, LINE, "bench-1", [&](const std::string& p, const std::string& b) {
      largest = std::max(largest, b.size());
      return line_(p, b);
    });
    posts += line_.paths.size() > before;
  } while (r.more && posts < 10);
  EXPECT_EQ(r.have_through, 100);
  EXPECT_GE(posts, 2);
  EXPECT_LE(largest, LINE_BATCH_BYTES_MAX + 64);
  EXPECT_EQ(unsynced(), 0);
}

// A run that ends while the reporter's thread posts the rows before it goes
// at once, not with the next heartbeat.
TEST_F(LineReporterTest, ARunEndingDuringAPushGoesWithoutWaitingForTheHeartbeat) {
  run("bench-1");
  std::mutex mutex;
  std::condition_variable changed;
  LineReporter* reporter = nullptr;
  bool second_ended = false;
  const auto post = [&](const std::string& path, const std::string& body) {
    if (path.find("/records") == std::string::npos) return LineAnswer{200, "{}", ""};
    std::unique_lock<std::mutex> lock(mutex);
    const LineAnswer answer = line_(path, body);
    if (!second_ended) {
      // The first batch is on its way: the next run ends now.
      changed.wait(lock, [&] { return reporter != nullptr; });
      run("bench-1");
      second_ended = true;
      reporter->rows_changed();
    }
    changed.notify_all();
    return answer;
  };
  LineSetup setup{LINE, "", "bench-1", "http://station:8080/", nullptr};
  LineReporter line(setup, *store_, post, [] { return nlohmann::ordered_json::array(); });
  std::unique_lock<std::mutex> lock(mutex);
  reporter = &line;
  changed.notify_all();
  const bool both = changed.wait_for(lock, std::chrono::milliseconds(LINE_HEARTBEAT_MS / 2),
                                     [&] { return line_.rows["bench-1"].size() == 2; });
  lock.unlock();
  EXPECT_TRUE(both) << "the second row waited for the heartbeat";
}

// A later run ends while an earlier one still goes: its row goes once, at
// once, is not counted waiting while the earlier run goes on, and the
// earlier row follows when its run ends. Nothing goes twice.
TEST_F(LineReporterTest, ARowThatEndsBeforeAnEarlierRunGoesOnceAndDoesNotWait) {
  run("bench-1", true); // seq 1, still running
  run("bench-1");       // seq 2
  EXPECT_EQ(unsynced(), 1);
  EXPECT_EQ(push().step, SyncStep::pushed);
  EXPECT_EQ(line_.rows["bench-1"].count(2), 1u);
  EXPECT_EQ(unsynced(), 0) << "the line holds seq 2";
  // Heartbeats while seq 1 still runs send nothing.
  for (int beat = 0; beat < 3; ++beat) EXPECT_EQ(push().step, SyncStep::idle);

  RunRow first;
  RecordFilter all;
  std::vector<RunRow> rows;
  ASSERT_TRUE(store_->query(all, &rows).ok());
  for (const RunRow& row : rows) {
    if (row.station_seq == 1) first = row;
  }
  first.result = "failed";
  first.ended_at = "2026-12-09T14:01:00.000Z";
  ASSERT_TRUE(store_->end(first).ok());
  EXPECT_EQ(unsynced(), 1);
  const SyncResult r = push();
  EXPECT_EQ(r.have_through, 2);
  EXPECT_EQ(r.synced_through, 2);
  EXPECT_EQ(unsynced(), 0);
  EXPECT_EQ(push().step, SyncStep::idle);
  EXPECT_EQ(line_.posted, (std::map<int64_t, int>{{1, 1}, {2, 1}})) << "each row posted once";
}

// A line that claims more than it was sent (a forged row ahead, or a line
// that lies) marks nothing, nor does an answer without a whole number: the
// rows wait, and the reason says what the line claimed.
TEST_F(LineReporterTest, ALineThatClaimsRowsItWasNotSentMarksNothing) {
  run("bench-1");
  run("bench-1");
  run("bench-1", true); // seq 3, still running: no line may hold it
  for (const char* answer :
       {R"({"have_through": 9223372036854775807})", R"({"have_through": 18446744073709551615})",
        R"({"have_through": 3})", R"({"have_through": -1})", R"({"have_through": 1.5})",
        R"({"have_through": "2"})", R"({"ok": true})", "[", " "}) {
    line_.answer = answer;
    line_.rows.clear();
    const SyncResult r = push();
    EXPECT_EQ(r.step, SyncStep::failed) << answer;
    EXPECT_EQ(r.trouble, LineTrouble::refused) << answer;
    EXPECT_EQ(unsynced(), 2) << answer;
    EXPECT_EQ(synced_through(), 0) << answer;
  }
  line_.answer = R"({"have_through": 3})";
  EXPECT_NE(push().reason.find("claims this station's rows through 3, but it was sent them only "
                               "through 2; nothing is marked synced"),
            std::string::npos);

  // An honest line that holds fewer than it was sent (a gap of its own) is
  // no liar: the batch is held.
  line_.answer = R"({"have_through": 1})";
  EXPECT_EQ(push().step, SyncStep::pushed);
  EXPECT_EQ(unsynced(), 0);
}

// What keeps the line from taking the rows, and whether waiting cures it:
// each answer's reason says what to do, bounded however much the line says.
TEST_F(LineReporterTest, EachRefusalSaysWhyAndWhetherWaitingCuresIt) {
  run("bench-1");
  struct Case {
    LineAnswer answer;
    LineTrouble trouble;
    const char* says;
  };
  const Case cases[] = {
      {{0, "", "cannot connect to line:8090: Connection refused"},
       LineTrouble::no_answer,
       "no answer (cannot connect"},
      {{0, "", "no whole answer within 10 s"}, LineTrouble::no_answer, "within 10 s"},
      {{0, "", "the answer is over 64 KiB", true}, LineTrouble::refused, "over 64 KiB"},
      {{503, R"({"error": "the line's database is down"})", ""},
       LineTrouble::no_answer,
       "HTTP 503: the line's database is down"},
      {{401, R"({"error": "this line needs its token"})", ""},
       LineTrouble::refused,
       "--line-token-file"},
      {{403, "", ""}, LineTrouble::refused, "refuses this station (403)"},
      {{404, R"({"error": "no such path"})", ""}, LineTrouble::refused, "is no line server"},
      {{409, R"({"error": "row 1 of station 'bench-1': result differs"})", ""},
       LineTrouble::refused,
       "(409: row 1 of station 'bench-1': result differs)"},
      {{400, "<html>", ""}, LineTrouble::refused, "refused the post (HTTP 400)"},
      {{429, R"({"error": "this station sent more than its 600 rows a minute"})", "", false, false,
        40},
       LineTrouble::no_answer,
       "asks this station to wait (429: this station sent more than its 600 rows a minute)"},
      {{200, std::string(20, '[') + std::string(20, ']'), ""},
       LineTrouble::refused,
       "holds no have_through"},
      {{409, "{\"error\": \"\\u001b[2J" + std::string(100000, 'x') + "\"}", ""},
       LineTrouble::refused,
       "xxx..."},
  };
  for (const Case& c : cases) {
    const SyncResult r =
        line_sync_once(*store_, LINE, "bench-1",
                       [&c](const std::string&, const std::string&) { return c.answer; });
    EXPECT_EQ(r.step, SyncStep::failed) << c.says;
    EXPECT_EQ(r.trouble, c.trouble) << c.says;
    EXPECT_NE(r.reason.find(c.says), std::string::npos) << r.reason;
    EXPECT_LE(r.reason.size(), LINE_REASON_MAX);
    EXPECT_EQ(r.reason.find('\x1b'), std::string::npos);
    EXPECT_EQ(r.retry_after_s, c.answer.retry_after_s) << "the wait asked for is kept";
  }
  EXPECT_EQ(unsynced(), 1);
}

// A line that lost rows after it acknowledged them (a database restored
// from a backup, a new line at the same address) says so at the first state
// post, which carries the station's mark: the station says it once and
// sends the lost rows again. A line that fails and comes back is said once
// each way, and the page's status says why in the meantime.
TEST_F(LineReporterTest, ALineThatLostRowsIsToldAtAHeartbeatAndEachChangeIsSaidOnce) {
  for (int i = 0; i < 3; ++i) run("bench-1");
  ASSERT_EQ(push().synced_through, 3);
  line_.rows.clear(); // restored from a backup made before the rows came
  line_.posted.clear();

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> said;
  const auto post = [&](const std::string& path, const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex);
    const LineAnswer answer = line_(path, body);
    changed.notify_all();
    return answer;
  };
  LineSetup setup{LINE, "", "bench-1", "http://station:8080/", [&](const std::string& text) {
                    std::lock_guard<std::mutex> lock(mutex);
                    said.push_back(text);
                    changed.notify_all();
                  }};
  {
    LineReporter line(setup, *store_, post, [] { return nlohmann::ordered_json::array(); });
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::milliseconds(LINE_HEARTBEAT_MS / 2), [&] {
      return line_.rows["bench-1"].size() == 3;
    })) << "the lost rows were not sent again";
    EXPECT_EQ(line_.posted, (std::map<int64_t, int>{{1, 1}, {2, 1}, {3, 1}}));
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("holds this station's rows only through 0, not through 3"),
              std::string::npos)
        << said[0];

    // The line stops answering: said once, shown amber with its reason.
    line_.fail_with = -1;
    lock.unlock();
    run("bench-1");
    line.rows_changed();
    lock.lock();
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(2), [&] { return said.size() == 2; }));
    lock.unlock();
    const nlohmann::ordered_json status = line.status();
    lock.lock();
    EXPECT_EQ(status["trouble"], "no_answer");
    EXPECT_EQ(status["unsynced"], 1);
    EXPECT_NE(status["error"].get<std::string>().find("connection refused"), std::string::npos);
    // Back: said once, after the retry's pause (a second).
    line_.fail_with = 0;
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(4), [&] { return said.size() == 3; }));
    EXPECT_EQ(said.back(), "the line at " + std::string(LINE) + " takes this station's rows again");
  }
  ASSERT_EQ(said.size(), 3u);
  EXPECT_EQ(said[1], "the line at " + std::string(LINE) +
                         " takes no rows from this station: no answer (connection refused)");
  EXPECT_EQ(unsynced(), 0);
}

// A line of an earlier version refuses a state that carries the synced
// mark: the station sends its state without it from then on, and the line
// shows no trouble for it.
TEST_F(LineReporterTest, ALineThatDoesNotKnowTheMarkStillGetsTheState) {
  std::mutex mutex;
  std::condition_variable changed;
  int with_mark = 0;
  int without = 0;
  const auto post = [&](const std::string& path, const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex);
    if (path.find("/state") == std::string::npos) return line_(path, body);
    changed.notify_all();
    if (nlohmann::json::parse(body).contains("synced_through")) {
      ++with_mark;
      return LineAnswer{400, R"({"error": "unknown field 'synced_through'"})", ""};
    }
    ++without;
    return LineAnswer{200, R"({"ok": true})", ""};
  };
  std::vector<std::string> said;
  LineSetup setup{LINE, "", "bench-1", "http://station:8080/", [&](const std::string& text) {
                    std::lock_guard<std::mutex> lock(mutex);
                    said.push_back(text);
                  }};
  LineReporter line(setup, *store_, post, [] { return nlohmann::ordered_json::array(); });
  std::unique_lock<std::mutex> lock(mutex);
  EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(2), [&] { return without == 1; }));
  lock.unlock();
  line.state_changed(true);
  lock.lock();
  EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(2), [&] { return without == 2; }));
  EXPECT_EQ(with_mark, 1) << "asked once";
  EXPECT_TRUE(said.empty());
  lock.unlock();
  EXPECT_EQ(line.status()["trouble"], "none");
}

TEST(LineUrl, OnlyHttpOrHttpsHostAndPort) {
  std::string host;
  int port = 0;
  bool https = true;
  EXPECT_TRUE(line_url_parse("http://line.example:8090/", &host, &port, &https));
  EXPECT_EQ(host, "line.example");
  EXPECT_EQ(port, 8090);
  EXPECT_FALSE(https);
  EXPECT_TRUE(line_url_parse("https://line:8443", &host, &port, &https));
  EXPECT_TRUE(https);
  for (const char* bad : {"ftp://line:8090", "http://line", "http://line:0", "http://line:99999",
                          "http://line:8090/api", "line:8090", "http://:8090", "https://line"}) {
    EXPECT_FALSE(line_url_parse(bad, &host, &port, &https)) << bad;
  }
}

} // namespace

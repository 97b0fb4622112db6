// A station's rows on their way to the line server, one push at a time
// against a line in memory: finished rows only, oldest first, in batches;
// synced only up to what the line says it holds; a line that fails or
// loses rows gets them again.
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
  int fail_with = 0; // an HTTP status, or -1 for no answer
  int64_t forget_below = 0;

  LineAnswer operator()(const std::string& path, const std::string& body) {
    paths.push_back(path);
    if (fail_with == -1) return {0, "", "connection refused"};
    if (fail_with != 0) return {fail_with, R"({"error": "the database is down"})", ""};
    const nlohmann::json batch = nlohmann::json::parse(body);
    std::string station;
    for (const auto& row : batch["rows"]) {
      station = row["station"];
      rows[station][row["station_seq"].get<int64_t>()] = row;
    }
    auto& held = rows[station];
    for (auto it = held.begin(); it != held.end();) {
      it = it->first < forget_below ? held.erase(it) : std::next(it);
    }
    int64_t have = 0;
    while (held.count(have + 1)) ++have;
    return {200, "{\"have_through\": " + std::to_string(have) + "}", ""};
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

  // A run of `station`, ended unless `running`.
  void run(const std::string& station, bool running = false) {
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
    int64_t have = 0, count = 0;
    std::string oldest;
    EXPECT_TRUE(store_->have_through(LINE, station, &have).ok());
    EXPECT_TRUE(store_->count_after(station, have, &count, &oldest).ok());
    return count;
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
  EXPECT_EQ(unsynced(), 1) << "seq 3 went, but the line does not hold it without a gap yet";

  // The line fails: nothing more is taken for synced.
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
  EXPECT_EQ(unsynced("bench 1/a"), static_cast<int64_t>(LINE_BATCH_MAX + 21));
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
  LineSetup setup{LINE, "", "bench-1", "http://station:8080/"};
  LineReporter line(setup, *store_, post, [] { return nlohmann::ordered_json::array(); });
  std::unique_lock<std::mutex> lock(mutex);
  reporter = &line;
  changed.notify_all();
  const bool both = changed.wait_for(lock, std::chrono::milliseconds(LINE_HEARTBEAT_MS / 2),
                                     [&] { return line_.rows["bench-1"].size() == 2; });
  lock.unlock();
  EXPECT_TRUE(both) << "the second row waited for the heartbeat";
}

TEST(LineUrl, OnlyHttpHostAndPort) {
  std::string host;
  int port = 0;
  EXPECT_TRUE(line_url_parse("http://line.example:8090/", &host, &port));
  EXPECT_EQ(host, "line.example");
  EXPECT_EQ(port, 8090);
  for (const char* bad : {"https://line:8090", "http://line", "http://line:0", "http://line:99999",
                          "http://line:8090/api", "line:8090", "http://:8090"}) {
    EXPECT_FALSE(line_url_parse(bad, &host, &port)) << bad;
  }
}

} // namespace

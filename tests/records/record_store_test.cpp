// The record store's own rules, on real files: a running row before the
// run, its end after it, the sequence gapless under several writers, rows
// of a process that has gone become interrupted (and no others), a failed
// write said and nothing kept, the filters of a query, and stores of older
// schemas taken over.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "records/record_csv.h"
#include "records/record_store.h"

namespace {

namespace fs = std::filesystem;

class RecordStoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("orva-records-" + record_uuid().substr(0, 8) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    path_ = (dir_ / "records.db").string();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::unique_ptr<RecordStore> open() {
    StoreResult opened;
    auto store = RecordStore::open(path_, &opened);
    EXPECT_TRUE(store) << opened.reason;
    return store;
  }

  static RunRow row(const std::string& tag, const std::string& started_at) {
    RunRow r;
    r.run_id = record_uuid();
    r.station = "bench-1";
    r.slot = 2;
    r.port = "COM5";
    r.tag = tag;
    r.image_sha256 = std::string(64, 'a');
    r.image_size = 180036;
    r.load_address = 0x4000;
    r.image_source = "built-in";
    r.program_version = "2.00";
    r.started_at = started_at;
    return r;
  }

  static std::vector<RunRow> query(RecordStore& store, RecordFilter filter = {}) {
    std::vector<RunRow> rows;
    const StoreResult read = store.query(filter, &rows);
    EXPECT_TRUE(read.ok()) << read.reason;
    return rows;
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(RecordStoreTest, ARunIsRunningUntilItsEndIsWritten) {
  auto store = open();
  RunRow first = row("SN-1", "2026-12-09T14:06:41.123Z");
  ASSERT_TRUE(store->begin(&first).ok());
  EXPECT_EQ(first.station_seq, 1);

  // Another reader of the file sees the row at once: it was committed.
  auto reader = open();
  std::vector<RunRow> rows = query(*reader);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].result, "running");
  EXPECT_EQ(rows[0].tag, "SN-1");
  EXPECT_EQ(rows[0].slot, 2);
  EXPECT_TRUE(rows[0].ended_at.empty());
  EXPECT_TRUE(rows[0].usb_serial.empty());

  first.result = "ok";
  first.step = "start";
  first.last_text = "Program success, starting application...";
  first.ended_at = "2026-12-09T14:07:00.001Z";
  first.frames = 719;
  ASSERT_TRUE(store->end(first).ok());
  rows = query(*reader);
  EXPECT_EQ(rows[0].result, "ok");
  EXPECT_EQ(rows[0].ended_at, "2026-12-09T14:07:00.001Z");
  EXPECT_EQ(rows[0].frames, 719);

  // The end of a run the store never began is no success.
  RunRow stranger = row("", "2026-12-09T14:08:00.000Z");
  stranger.result = "ok";
  EXPECT_FALSE(store->end(stranger).ok());
}

// Each station's runs are numbered 1, 2, 3... without a gap, also when two
// stations write one store at once: the line server counts on it.
TEST_F(RecordStoreTest, TheSequenceIsGaplessPerStationUnderSeveralWriters) {
  constexpr int WRITERS = 4;
  constexpr int ROWS_EACH = 25;
  std::vector<std::unique_ptr<RecordStore>> stores;
  for (int i = 0; i < WRITERS; ++i) stores.push_back(open());
  std::vector<std::thread> threads;
  std::vector<std::vector<int64_t>> seqs(WRITERS);
  for (int i = 0; i < WRITERS; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < ROWS_EACH; ++k) {
        RunRow r = row("", "2026-12-09T14:00:00.000Z");
        r.station = i % 2 == 0 ? "bench-1" : "bench-2";
        if (stores[i]->begin(&r).ok()) seqs[i].push_back(r.station_seq);
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int station = 0; station < 2; ++station) {
    std::set<int64_t> all;
    for (int i = station; i < WRITERS; i += 2) all.insert(seqs[i].begin(), seqs[i].end());
    ASSERT_EQ(all.size(), static_cast<size_t>(WRITERS / 2 * ROWS_EACH));
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), WRITERS / 2 * ROWS_EACH);
  }
}

// A store of the first schema, whose stations shared one sequence, keeps its
// rows and their numbers; new runs are numbered per station.
TEST_F(RecordStoreTest, AStoreOfTheFirstSchemaIsTakenOver) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  const char* first_schema =
      "CREATE TABLE runs (run_id TEXT PRIMARY KEY NOT NULL, station_seq INTEGER NOT NULL UNIQUE,"
      " station TEXT NOT NULL, slot INTEGER, port TEXT NOT NULL, usb_location TEXT,"
      " usb_serial TEXT, tag TEXT, image_sha256 TEXT NOT NULL, image_size INTEGER NOT NULL,"
      " load_address INTEGER NOT NULL, image_source TEXT NOT NULL,"
      " program_version TEXT NOT NULL, started_at TEXT NOT NULL, ended_at TEXT,"
      " result TEXT NOT NULL, step TEXT, last_text TEXT, frames INTEGER NOT NULL DEFAULT 0,"
      " retransmissions INTEGER NOT NULL DEFAULT 0, life TEXT);"
      "INSERT INTO runs VALUES ('a', 1, 'st-1', 1, 'p', NULL, NULL, 'SN-A', 'x', 1, 0, 'b', '2',"
      " '2026-12-09T14:00:00.000Z', '2026-12-09T14:00:01.000Z', 'ok', NULL, NULL, 7, 0, NULL);"
      "INSERT INTO runs VALUES ('b', 2, 'st-2', 1, 'p', NULL, NULL, 'SN-B', 'x', 1, 0, 'b', '2',"
      " '2026-12-09T14:00:02.000Z', '2026-12-09T14:00:03.000Z', 'ok', NULL, NULL, 7, 0, NULL);"
      "PRAGMA user_version=1;";
  ASSERT_EQ(sqlite3_exec(db, first_schema, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  auto store = open();
  ASSERT_TRUE(store);
  RunRow next = row("SN-C", "2026-12-09T14:00:04.000Z");
  next.station = "st-1";
  ASSERT_TRUE(store->begin(&next).ok());
  EXPECT_EQ(next.station_seq, 2);
  RecordFilter filter;
  filter.tag = "SN-B";
  const std::vector<RunRow> kept = query(*store, filter);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].station_seq, 2);
  EXPECT_EQ(kept[0].frames, 7);
}

// A store of the second schema kept in have_through what each line
// answered. Where that can be true it stays the synced mark; where it claims
// rows the station never had (or one still running) it comes down to what
// the station had, so that no later row counts as synced unsent.
TEST_F(RecordStoreTest, AStoreOfTheSecondSchemaKeepsTheLinesMarksWhereTheyCanBeTrue) {
  {
    auto store = open();
    ASSERT_TRUE(store);
    for (int i = 1; i <= 4; ++i) {
      RunRow r = row("SN-" + std::to_string(i), "2026-12-09T14:00:0" + std::to_string(i) + ".000Z");
      ASSERT_TRUE(store->begin(&r).ok());
      if (i == 4) break; // left running
      r.result = "ok";
      r.ended_at = "2026-12-09T14:00:09.000Z";
      ASSERT_TRUE(store->end(r).ok());
    }
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "DROP TABLE line_acked; DROP TRIGGER runs_finished_stay;"
                         " UPDATE runs SET life = NULL;"
                         "INSERT INTO line_sync VALUES ('http://a:1', 'bench-1', 2),"
                         " ('http://b:1', 'bench-1', 1000), ('http://c:1', 'bench-9', 5);"
                         "PRAGMA user_version=2;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  auto store = open();
  ASSERT_TRUE(store);
  const auto mark = [&](const char* line, const char* station) {
    int64_t through = -1;
    std::vector<int64_t> above;
    EXPECT_TRUE(store->synced(line, station, &through, &above).ok());
    EXPECT_TRUE(above.empty());
    return through;
  };
  EXPECT_EQ(mark("http://a:1", "bench-1"), 2);
  EXPECT_EQ(mark("http://b:1", "bench-1"), 3) << "row 4 was running: no line held it";
  EXPECT_EQ(mark("http://c:1", "bench-9"), 0);
  int64_t orphans = 0;
  ASSERT_TRUE(store->interrupt_orphans(&orphans).ok());
  EXPECT_EQ(orphans, 1);
  int64_t waiting = 0;
  std::string oldest;
  ASSERT_TRUE(store->count_unsynced("http://a:1", "bench-1", &waiting, &oldest).ok());
  EXPECT_EQ(waiting, 2) << "row 3, and row 4 now that it is interrupted";
  ASSERT_TRUE(store->count_unsynced("http://b:1", "bench-1", &waiting, &oldest).ok());
  EXPECT_EQ(waiting, 1);
}

TEST_F(RecordStoreTest, OnlyRowsOfAProcessThatHasGoneBecomeInterrupted) {
  auto alive = open();
  auto gone = open();
  RunRow mine = row("SN-alive", "2026-12-09T14:00:00.000Z");
  RunRow orphan = row("SN-gone", "2026-12-09T14:00:01.000Z");
  ASSERT_TRUE(alive->begin(&mine).ok());
  ASSERT_TRUE(gone->begin(&orphan).ok());
  gone.reset(); // as a crash leaves it: its row still running, its lock free

  auto restarted = open();
  int64_t count = 0;
  ASSERT_TRUE(restarted->interrupt_orphans(&count).ok());
  EXPECT_EQ(count, 1);
  RecordFilter by_tag;
  by_tag.tag = "SN-gone";
  const std::vector<RunRow> rows = query(*restarted, by_tag);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].result, "interrupted");
  EXPECT_TRUE(rows[0].ended_at.empty());
  by_tag.tag = "SN-alive";
  EXPECT_EQ(query(*restarted, by_tag)[0].result, "running");
}

TEST_F(RecordStoreTest, AWriteThatFailsIsSaidAndKeepsNothing) {
  auto store = open();
  store->fail_next_write_for_test();
  RunRow r = row("SN-1", "2026-12-09T14:00:00.000Z");
  const StoreResult failed = store->begin(&r);
  EXPECT_EQ(failed.status, StoreStatus::cannot_write);
  EXPECT_NE(failed.reason.find("the disk is full"), std::string::npos) << failed.reason;
  EXPECT_TRUE(query(*store).empty());
  ASSERT_TRUE(store->begin(&r).ok());
  EXPECT_EQ(r.station_seq, 1);
  store->fail_next_write_for_test();
  r.result = "ok";
  EXPECT_FALSE(store->end(r).ok());
  EXPECT_EQ(query(*store)[0].result, "running");
}

TEST_F(RecordStoreTest, AFileThatIsNoStoreOrANewerOneIsRefused) {
  {
    FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fputs("station.jsonl is not a database\n", f);
    std::fclose(f);
  }
  StoreResult opened;
  EXPECT_FALSE(RecordStore::open(path_, &opened));
  EXPECT_EQ(opened.status, StoreStatus::cannot_open);
  fs::remove(path_);
  open().reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_FALSE(RecordStore::open(path_, &opened));
  EXPECT_EQ(opened.status, StoreStatus::newer_schema);
  EXPECT_NE(opened.reason.find("newer orvaload"), std::string::npos) << opened.reason;
}

TEST_F(RecordStoreTest, QueriesFilterAndComeNewestFirst) {
  auto store = open();
  const char* const started[] = {"2026-12-08T10:00:00.000Z", "2026-12-09T09:00:00.000Z",
                                 "2026-12-09T10:00:00.000Z"};
  const char* const tags[] = {"SN-1", "SN-2", "SN-1"};
  const char* const results[] = {"failed", "ok", "ok"};
  for (int i = 0; i < 3; ++i) {
    RunRow r = row(tags[i], started[i]);
    ASSERT_TRUE(store->begin(&r).ok());
    r.result = results[i];
    r.ended_at = started[i];
    ASSERT_TRUE(store->end(r).ok());
  }
  std::vector<RunRow> rows = query(*store);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].station_seq, 3);
  RecordFilter filter;
  filter.tag = "SN-1";
  rows = query(*store, filter);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].result, "ok");
  filter.result = "failed";
  EXPECT_EQ(query(*store, filter).size(), 1u);
  filter = {};
  filter.since = "2026-12-09";
  EXPECT_EQ(query(*store, filter).size(), 2u);
  filter.limit = 1;
  EXPECT_EQ(query(*store, filter)[0].station_seq, 3);
}

TEST(RecordTimeTest, UtcTextHasMillisecondsAndCheckedShapes) {
  EXPECT_EQ(record_utc_text(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(record_utc_text(1796825201123), "2026-12-09T14:06:41.123Z");
  EXPECT_EQ(record_utc_text(951782400000), "2000-02-29T00:00:00.000Z");
  EXPECT_TRUE(record_utc_is_valid("2026-12-09"));
  EXPECT_TRUE(record_utc_is_valid("2026-12-09T14:06:41Z"));
  EXPECT_TRUE(record_utc_is_valid("2026-12-09T14:06:41.123Z"));
  EXPECT_FALSE(record_utc_is_valid("2026-12-09 14:06"));
  EXPECT_FALSE(record_utc_is_valid("yesterday"));
  // Only what is on the calendar and the clock: a database of times takes
  // no other.
  EXPECT_TRUE(record_utc_is_valid("2024-02-29T23:59:59.999Z"));
  EXPECT_TRUE(record_utc_is_valid("0001-01-01"));
  for (const char* never : {"2026-02-29", "1900-02-29T00:00:00Z", "2026-13-01", "2026-00-10",
                            "2026-04-31", "0000-01-01", "2026-12-09T24:00:00Z",
                            "2026-12-09T23:60:00.000Z", "2026-12-09T23:59:60.000Z"}) {
    EXPECT_FALSE(record_utc_is_valid(never)) << never;
  }
  const std::string id = record_uuid();
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(id[14], '4');
  EXPECT_NE(id, record_uuid());
}

// A cell a spreadsheet would run as a formula is made text with an
// apostrophe: =, +, - and @ first, or a TAB or CR before one (some
// spreadsheets skip them). A cell with ',' or ';' (the separator where a
// comma is the decimal point), a quote or a line end is quoted; numbers are
// left as they are.
TEST(RecordCsvTest, CellsASpreadsheetWouldRunOrSplitAreText) {
  RunRow r;
  r.run_id = "id";
  r.station = "bench-1";
  r.port = "=HYPERLINK(\"x\")";
  r.usb_location = "+1";
  r.usb_serial = "-1";
  r.tag = "@SUM(A1)";
  r.image_sha256 = "\t=1+1";
  r.image_source = "\r=1+1";
  r.program_version = ";=1+1";
  r.step = "a,b";
  r.last_text = "plain text";
  r.frames = 7;
  const std::string csv = record_csv({r});
  const std::string line = csv.substr(csv.find("\r\n") + 2);
  EXPECT_EQ(line,
            "id,0,bench-1,,\"'=HYPERLINK(\"\"x\"\")\",'+1,'-1,'@SUM(A1),'\t=1+1,0,0,\"'\r=1+1\","
            "\";=1+1\",,,running,\"a,b\",plain text,7,0,,,\r\n");
  EXPECT_EQ(record_csv_header() + record_csv_rows({r}), csv);
}

} // namespace

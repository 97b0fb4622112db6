// The record store under load, not a test: a store of 100,000 rows (made in
// one transaction), a station serving it, and the records API asked with
// each filter the page and a line's scripts use, timed at the 50th and 99th
// percentile; then what the store adds to each run: committing a row before
// it and its end after it, with every commit on the disk.
//   orva-records-bench --cli build/release/app/cli/orvaload-cli [--rows N] [--work-dir DIR]
#include <httplib.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "records/record_store.h"
#include "tests/support/child_process.h"

namespace {

constexpr int ASKS = 200;
constexpr int RUNS = 200;

double now_ms() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

// Rows as a year of a busy line makes them: a tag each, one in twenty
// failed, the times a minute apart.
bool fill(const std::string& path, int rows) {
  StoreResult opened;
  if (!RecordStore::open(path, &opened)) {
    std::fprintf(stderr, "records-bench: %s\n", opened.reason.c_str());
    return false;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO runs (run_id, station_seq, station, slot, port, tag,"
                     " image_sha256, image_size, load_address, image_source, program_version,"
                     " started_at, ended_at, result, step, last_text, frames, retransmissions)"
                     " VALUES (?1, ?2, 'bench', ?3, 'COM5', ?4, 'aa', 180036, 16384, 'built-in',"
                     " '2.00', ?5, ?5, ?6, 'start', 'Program success, starting application...',"
                     " 719, 0)",
                     -1, &insert, nullptr);
  for (int i = 1; i <= rows; ++i) {
    const std::string id = record_uuid();
    const std::string tag = "SN-" + std::to_string(100000 + i);
    const std::string at = record_utc_text(int64_t{1735689600000} + int64_t{60000} * i);
    sqlite3_bind_text(insert, 1, id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 2, i);
    sqlite3_bind_int(insert, 3, 1 + i % 8);
    sqlite3_bind_text(insert, 4, tag.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 5, at.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 6, i % 20 == 0 ? "failed" : "ok", -1, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  const bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

} // namespace

int main(int argc, char** argv) {
  std::string cli, work = "/tmp";
  int rows = 100000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--cli") cli = argv[i + 1];
    else if (key == "--rows") rows = std::max(1, std::atoi(argv[i + 1]));
    else if (key == "--work-dir") work = argv[i + 1];
  }
  if (cli.empty()) {
    std::fprintf(stderr,
                 "usage: orva-records-bench --cli ORVALOAD_CLI [--rows N] [--work-dir D]\n");
    return 2;
  }
  const std::string store = work + "/orva-records-bench-" + std::to_string(getpid()) + ".db";
  const double fill_start = now_ms();
  if (!fill(store, rows)) return 1;
  std::printf("records: %d rows made in %.1f s\n", rows, (now_ms() - fill_start) / 1000);

  ChildProcess station;
  if (!station.start({cli, "--serve", "127.0.0.1:0", "--records", store, "--station-name", "bench",
                      "--port", "COM88"}) ||
      !station.wait_for_output("/ with slots", 10.0)) {
    std::fprintf(stderr, "records-bench: the station did not start: %s\n", station.err().c_str());
    return 1;
  }
  const std::string& out = station.out();
  const int port = std::atoi(out.c_str() + out.find(':', out.find("http://") + 7) + 1);
  httplib::Client api("127.0.0.1", port);
  const char* const asks[] = {"/api/records?limit=20",
                              "/api/records?limit=20&tag=SN-150000",
                              "/api/records?limit=100&result=failed",
                              "/api/records?limit=20&since=2026-01-01",
                              "/api/records?limit=1000",
                              "/api/records.csv?limit=1000"};
  bool all_fast = true;
  for (const char* ask : asks) {
    std::vector<double> ms;
    for (int i = 0; i < ASKS; ++i) {
      const double start = now_ms();
      const auto res = api.Get(ask);
      ms.push_back(now_ms() - start);
      if (!res || res->status != 200) {
        std::fprintf(stderr, "records-bench: %s failed\n", ask);
        return 1;
      }
    }
    // A station shows only its own rows: an empty page would time nothing.
    if (ask == asks[0] && api.Get(ask)->body.find("SN-") == std::string::npos) {
      std::fprintf(stderr, "records-bench: %s shows none of the rows\n", ask);
      return 1;
    }
    const double p99 = percentile(ms, 0.99);
    all_fast = all_fast && p99 < 50;
    std::printf("  %-42s median %6.2f ms, p99 %6.2f ms\n", ask, percentile(ms, 0.5), p99);
  }
  station.send_signal(SIGTERM);
  station.finish(10);
  std::printf("records API with %d rows: p99 under 50 ms for every ask: %s\n", rows,
              all_fast ? "yes" : "NO");

  // What a run pays: its row before it, its end after it.
  StoreResult opened;
  auto opened_store = RecordStore::open(store, &opened);
  std::vector<double> cost;
  for (int i = 0; i < RUNS && opened_store; ++i) {
    RunRow row;
    row.run_id = record_uuid();
    row.station = "bench";
    row.port = "COM5";
    row.image_sha256 = "aa";
    row.image_source = "built-in";
    row.program_version = "2.00";
    row.started_at = record_utc_text(0);
    const double start = now_ms();
    const bool ok = opened_store->begin(&row).ok();
    row.result = "ok";
    row.ended_at = row.started_at;
    if (!ok || !opened_store->end(row).ok()) return 1;
    cost.push_back(now_ms() - start);
  }
  opened_store.reset();
  std::printf("store cost per run (row before and end after, synchronous=FULL): median %.2f ms, "
              "p99 %.2f ms\n",
              percentile(cost, 0.5), percentile(cost, 0.99));
  for (const char* end : {"", "-wal", "-shm"}) std::remove((store + end).c_str());
  return all_fast ? 0 : 1;
}

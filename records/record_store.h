// The record store: one SQLite file holding a row for every run a station
// (or a plain run given --records) made. A run's row is committed, as
// `running`, before its first byte goes to the controller, and its end is
// committed before anyone is told the run ended; so a crash or a power cut
// leaves at worst a `running` row, which the next start of a station turns
// into `interrupted`. Several processes may share one file: SQLite's locking
// keeps `station_seq` gapless and unique per file, and each process holds a
// lock of its own life so that no other takes its running rows for orphans.
//
// The file is in WAL mode with synchronous=FULL: a committed row survives a
// power cut. Every failure (full disk, read-only file, a lock held past the
// busy time-out) comes back as a StoreResult with its one line; nothing is
// ever reported kept that was not. Every call is safe from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "records/audit_chain.h"

// The `runs` table's schema version, kept in PRAGMA user_version.
constexpr int RECORD_SCHEMA_VERSION = 5;
// How long a write waits for another process's lock before it fails.
constexpr int RECORD_BUSY_MS = 2000;
// The most rows one query returns.
constexpr size_t RECORD_QUERY_MAX = 10000;

// conflict: a person added who is there already, or changed who is not.
enum class StoreStatus { ok, cannot_open, cannot_write, newer_schema, conflict };

struct StoreResult {
  StoreStatus status = StoreStatus::ok;
  std::string reason; // one line, no line end

  bool ok() const { return status == StoreStatus::ok; }
};

// One row of `runs`. Empty texts and a slot of 0 are NULL in the table.
struct RunRow {
  std::string run_id; // a random UUID
  int64_t station_seq = 0;
  std::string station;
  int64_t slot = 0; // 0: a plain run
  std::string port;
  std::string usb_location;
  std::string usb_serial;
  std::string tag;
  std::string image_sha256;
  int64_t image_size = 0;
  int64_t load_address = 0;
  std::string image_source; // "built-in" or the file's name
  std::string program_version;
  std::string started_at; // UTC ISO 8601 with milliseconds
  std::string ended_at;   // empty while running, and when interrupted
  std::string result = "running";
  std::string step;
  std::string last_text;
  int64_t frames = 0;
  int64_t retransmissions = 0;
  // Who started the run: a person, the credential that asked, or "local".
  std::string operator_name;
  // The line's release it flashed: its product and version; empty for the
  // station's own image.
  std::string product;
  std::string release_version;
};

// A person as a station keeps them (see RecordStore::person_add).
constexpr char PEOPLE_LOCAL[] = "local";
constexpr char PEOPLE_LINE[] = "line";

struct PersonRow {
  std::string source = PEOPLE_LOCAL;
  std::string name;
  std::string role; // operator, supervisor, engineer, admin
  std::string secret_hash;
  std::string created_at;
  std::string disabled_at; // empty while the person may sign in
};

// The columns in table order, as named in the table and the CSV header.
extern const char* const RECORD_COLUMNS[];
extern const size_t RECORD_COLUMN_COUNT;

// Which rows a query returns, newest first. Empty texts match anything.
struct RecordFilter {
  size_t limit = 20; // 1 to RECORD_QUERY_MAX
  std::string tag;
  std::string result;
  std::string since;   // started_at at or after this UTC time
  std::string station; // the runs of this station only
};

class RecordStore {
public:
  // Opens the store at `path`, creating the file and its table when
  // missing; nullptr with the reason when it cannot.
  static std::unique_ptr<RecordStore> open(const std::string& path, StoreResult* result);
  ~RecordStore();
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  const std::string& path() const { return path_; }

  // Commits `row` as running, giving it the next station_seq of the file.
  StoreResult begin(RunRow* row);
  // Commits the end of the run `row.run_id`: result, step, last_text,
  // ended_at, frames and retransmissions.
  StoreResult end(const RunRow& row);
  // Rows left running by processes that have ended become interrupted, with
  // no end time; `count` is how many.
  StoreResult interrupt_orphans(int64_t* count);
  StoreResult query(const RecordFilter& filter, std::vector<RunRow>* rows) const;
  // Whether the store holds any run of `station`.
  StoreResult holds_station(const std::string& station, bool* holds) const;

  // What the line server `line` acknowledged of `station`'s rows: every row
  // up to *through (0 before the first), and the rows past it in *above,
  // ascending.
  StoreResult synced(const std::string& line, const std::string& station, int64_t* through,
                     std::vector<int64_t>* above) const;
  // The line answered 200 to a batch of these rows of `station`, so it
  // holds each; *through is the mark afterwards.
  StoreResult mark_synced(const std::string& line, const std::string& station,
                          const std::vector<int64_t>& seqs, int64_t* through);
  // The line holds the rows of `station` only up to `through` (it lost the
  // others): none past it counts as acknowledged any more.
  StoreResult unmark_synced_after(const std::string& line, const std::string& station,
                                  int64_t through);
  // Finished rows of `station` that `line` has not acknowledged, oldest
  // first, at most `limit`.
  StoreResult unsynced_rows(const std::string& line, const std::string& station, size_t limit,
                            std::vector<RunRow>* rows) const;
  // How many such rows there are, and the end time of the oldest (empty
  // when none).
  StoreResult count_unsynced(const std::string& line, const std::string& station, int64_t* count,
                             std::string* oldest_end) const;

  // The people who sign in at a station: its own (PEOPLE_LOCAL) when it has
  // no line, or the line's as it last gave them (PEOPLE_LINE), so that a
  // sign-in works while the line is away. Only each secret's hash is kept.
  StoreResult person_add(const PersonRow& row);
  // A person's role, secret or disabling changed; conflict when there is
  // no such local person.
  StoreResult person_change(const PersonRow& row);
  StoreResult people(const std::string& source, std::vector<PersonRow>* rows) const;
  StoreResult person(const std::string& source, const std::string& name, PersonRow* row,
                     bool* found) const;
  // The line's people, all at once.
  StoreResult replace_line_people(const std::vector<PersonRow>& rows);

  // What the station keeps of its line between starts (the release it
  // flashes, its file): a text (never empty) under a name, replaced whole.
  StoreResult keep(const std::string& name, const std::string& value);
  StoreResult kept(const std::string& name, std::string* value, bool* found) const;
  StoreResult forget(const std::string& name);
  // How many runs of `station` flashed release `version` of `product`.
  StoreResult release_runs(const std::string& station, const std::string& product,
                           const std::string& version, int64_t* runs) const;

  // The audit trail of each origin (a station's name) kept in the store:
  // entries are only ever appended, each chained to the one before.
  StoreResult audit_append(const std::string& origin, const std::string& at, const std::string& who,
                           const std::string& action, const std::string& subject,
                           const std::string& details, AuditEntry* made = nullptr);
  // Entries of `origin` past `after`, in order, at most `limit`.
  StoreResult audit_after(const std::string& origin, int64_t after, size_t limit,
                          std::vector<AuditEntry>* entries) const;
  StoreResult audit_origins(std::vector<std::string>* origins) const;
  // What line `line` holds of `origin`'s entries: every one up to *seq.
  StoreResult audit_synced(const std::string& line, const std::string& origin, int64_t* seq) const;
  StoreResult set_audit_synced(const std::string& line, const std::string& origin, int64_t seq);

  // Test seam: the next write fails as a full disk would.
  void fail_next_write_for_test() { fail_next_write_ = true; }

private:
  struct Impl;
  RecordStore(std::string path, std::unique_ptr<Impl> impl);

  std::string path_;
  std::unique_ptr<Impl> impl_;
  std::atomic<bool> fail_next_write_{false};
};

// A random UUID (version 4), "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx".
std::string record_uuid();
// "2026-12-09T14:06:41.123Z" for milliseconds since the epoch: the store's
// form of a time, RECORD_UTC_TEXT_SIZE characters.
std::string record_utc_text(int64_t epoch_ms);
constexpr size_t RECORD_UTC_TEXT_SIZE = 24;
// Whether `text` is such a time (the date alone, or with a time to the
// second or millisecond, with its Z), as filters take it: a day that is in
// the calendar, of the years 1 to 9999.
bool record_utc_is_valid(const std::string& text);

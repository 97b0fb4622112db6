#include "records/record_store.h"

#include <sqlite3.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <random>

namespace {

// The table of runs, under the name given. station_seq counts each
// station's runs from 1 without a gap, also when stations share the store.
std::string runs_table(const std::string& name) {
  return "CREATE TABLE IF NOT EXISTS " + name +
         " ("
         " run_id TEXT PRIMARY KEY NOT NULL,"
         " station_seq INTEGER NOT NULL,"
         " station TEXT NOT NULL,"
         " slot INTEGER,"
         " port TEXT NOT NULL,"
         " usb_location TEXT,"
         " usb_serial TEXT,"
         " tag TEXT,"
         " image_sha256 TEXT NOT NULL,"
         " image_size INTEGER NOT NULL,"
         " load_address INTEGER NOT NULL,"
         " image_source TEXT NOT NULL,"
         " program_version TEXT NOT NULL,"
         " started_at TEXT NOT NULL,"
         " ended_at TEXT,"
         " result TEXT NOT NULL,"
         " step TEXT,"
         " last_text TEXT,"
         " frames INTEGER NOT NULL DEFAULT 0,"
         " retransmissions INTEGER NOT NULL DEFAULT 0,"
         // Which process wrote a running row: its life lock tells whether it
         // still runs (see Life below). Not one of the record's columns.
         " life TEXT, UNIQUE (station, station_seq));";
}

// The rest of the schema: the indexes of runs, and the line servers' marks.
const char SCHEMA_REST[] =
    "CREATE TABLE IF NOT EXISTS kept (name TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS runs_tag ON runs(tag);"
    "CREATE INDEX IF NOT EXISTS runs_started_at ON runs(started_at, station_seq);"
    // A station shows its own runs, newest first, from a store it may share.
    "CREATE INDEX IF NOT EXISTS runs_station_started ON runs(station, started_at, station_seq);"
    "CREATE INDEX IF NOT EXISTS runs_running ON runs(result) WHERE result = 'running';"
    // What each line server acknowledged of each station's rows: every row
    // up to have_through, and past it the rows in line_acked (they exist
    // while an earlier run still runs). A row is acknowledged only when the
    // line answered 200 to a batch that held it.
    "CREATE TABLE IF NOT EXISTS line_sync ("
    " line TEXT NOT NULL, station TEXT NOT NULL, have_through INTEGER NOT NULL,"
    " PRIMARY KEY (line, station));"
    "CREATE TABLE IF NOT EXISTS line_acked ("
    " line TEXT NOT NULL, station TEXT NOT NULL, station_seq INTEGER NOT NULL,"
    " PRIMARY KEY (line, station, station_seq)) WITHOUT ROWID;"
    // A finished run's row is a fact: nothing updates or deletes it.
    "CREATE TRIGGER IF NOT EXISTS runs_finished_stay BEFORE UPDATE ON runs"
    " WHEN OLD.result <> 'running' BEGIN"
    " SELECT RAISE(ABORT, 'a finished run is never changed'); END;"
    "CREATE TRIGGER IF NOT EXISTS runs_stay BEFORE DELETE ON runs BEGIN"
    " SELECT RAISE(ABORT, 'a run is never deleted'); END;"
    // The people who sign in: the station's own, or its line's (see
    // PEOPLE_LOCAL); only each secret's hash.
    "CREATE TABLE IF NOT EXISTS people ("
    " source TEXT NOT NULL, name TEXT NOT NULL, role TEXT NOT NULL, secret_hash TEXT NOT NULL,"
    " created_at TEXT NOT NULL, disabled_at TEXT, PRIMARY KEY (source, name));"
    // The audit trail, appended to only, and what each line holds of it.
    "CREATE TABLE IF NOT EXISTS audit ("
    " origin TEXT NOT NULL, seq INTEGER NOT NULL, at TEXT NOT NULL, who TEXT NOT NULL,"
    " action TEXT NOT NULL, subject TEXT NOT NULL, details TEXT NOT NULL,"
    " prev_hash TEXT NOT NULL, hash TEXT NOT NULL, PRIMARY KEY (origin, seq));"
    "CREATE TRIGGER IF NOT EXISTS audit_stays_u BEFORE UPDATE ON audit BEGIN"
    " SELECT RAISE(ABORT, 'the audit trail is only appended to'); END;"
    "CREATE TRIGGER IF NOT EXISTS audit_stays_d BEFORE DELETE ON audit BEGIN"
    " SELECT RAISE(ABORT, 'the audit trail is only appended to'); END;"
    "CREATE TABLE IF NOT EXISTS line_audit_sync ("
    " line TEXT NOT NULL, origin TEXT NOT NULL, have_through INTEGER NOT NULL,"
    " PRIMARY KEY (line, origin));";

// Schema 4 names each run's operator: the column added to a table of an
// earlier schema (and to a new one, made in the shape all earlier ones had),
// where it is not there yet.
const char TO_SCHEMA_4[] = "ALTER TABLE runs ADD COLUMN operator TEXT;";
// Schema 5 names the line's release a run flashed, the same way.
const char TO_SCHEMA_5[] =
    "ALTER TABLE runs ADD COLUMN product TEXT; ALTER TABLE runs ADD COLUMN release_version TEXT;";

// A store of schema 1 or 2 kept in have_through what the line answered,
// which a line could set past rows it never got; it stays as the mark where
// it can be true, and comes down to the rows the station had, short of any
// still running, where it cannot.
const char FROM_SCHEMA_2[] =
    "UPDATE line_sync SET have_through = MAX(0, MIN(have_through,"
    " COALESCE((SELECT MAX(station_seq) FROM runs WHERE runs.station = line_sync.station), 0),"
    " COALESCE((SELECT MIN(station_seq) - 1 FROM runs WHERE runs.station = line_sync.station"
    " AND result = 'running'), have_through)));";

// Finished rows of station ?1 that line ?2 has not acknowledged.
const char UNSYNCED[] =
    " WHERE station = ?1 AND result <> 'running' AND station_seq > COALESCE((SELECT"
    " have_through FROM line_sync WHERE line = ?2 AND station = ?1), 0) AND NOT EXISTS (SELECT 1"
    " FROM line_acked a WHERE a.line = ?2 AND a.station = ?1 AND a.station_seq = runs.station_seq)";

const char INSERT[] =
    "INSERT INTO runs (run_id, station_seq, station, slot, port, usb_location, usb_serial, tag,"
    " image_sha256, image_size, load_address, image_source, program_version, started_at, result,"
    " life, operator, product, release_version) VALUES (?1, (SELECT COALESCE(MAX(station_seq), 0)"
    " + 1 FROM runs WHERE station = ?2), ?2, ?3, ?4, ?5, ?6,"
    " ?7, ?8, ?9, ?10, ?11, ?12, ?13, 'running', ?14, ?15, ?16, ?17) RETURNING station_seq";

// A store of schema 1 numbered the runs of all its stations in one
// sequence; its table is made again (as runs_2, then renamed) with the
// numbers it holds, unique per station from then on.
const char FROM_SCHEMA_1[] = "INSERT INTO runs_2 SELECT * FROM runs;"
                             "DROP TABLE runs;"
                             "ALTER TABLE runs_2 RENAME TO runs;";

const char UPDATE_END[] =
    "UPDATE runs SET result = ?2, step = ?3, last_text = ?4, ended_at = ?5, frames = ?6,"
    " retransmissions = ?7, life = NULL WHERE run_id = ?1";

const char SELECT_COLUMNS[] =
    "SELECT run_id, station_seq, station, slot, port, usb_location, usb_serial, tag,"
    " image_sha256, image_size, load_address, image_source, program_version, started_at,"
    " ended_at, result, step, last_text, frames, retransmissions, operator, product,"
    " release_version FROM runs";

std::string sqlite_reason(sqlite3* db, int code) {
  if (code == SQLITE_FULL) return "the disk is full";
  if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
    return "another program holds its lock (" + std::to_string(RECORD_BUSY_MS) + " ms waited)";
  }
  if (code == SQLITE_READONLY || code == SQLITE_CANTOPEN || code == SQLITE_PERM) {
    return "it cannot be written (read-only, or no permission)";
  }
  return db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
}

// A prepared statement, finalized when it goes.
class Statement {
public:
  Statement(sqlite3* db, const char* sql) { code_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, 0); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return code_ == SQLITE_OK; }
  int code() const { return code_; }
  sqlite3_stmt* get() { return stmt_; }

  // Empty text binds NULL, as the row's convention is.
  void text(int at, const std::string& value) {
    if (value.empty()) sqlite3_bind_null(stmt_, at);
    else
      sqlite3_bind_text(stmt_, at, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
  void number(int at, int64_t value) { sqlite3_bind_int64(stmt_, at, value); }
  void null_if_zero(int at, int64_t value) {
    if (value == 0) sqlite3_bind_null(stmt_, at);
    else number(at, value);
  }
  int step() { return sqlite3_step(stmt_); }
  std::string column_text(int at) {
    const unsigned char* text = sqlite3_column_text(stmt_, at);
    return text ? reinterpret_cast<const char*>(text) : "";
  }
  int64_t column_number(int at) { return sqlite3_column_int64(stmt_, at); }

private:
  sqlite3_stmt* stmt_ = nullptr;
  int code_ = SQLITE_OK;
};

int exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// A transaction that rolls back unless committed.
class Transaction {
public:
  explicit Transaction(sqlite3* db) : db_(db) { code_ = exec(db, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (code_ == SQLITE_OK && !done_) exec(db_, "ROLLBACK");
  }
  int begun() const { return code_; }
  int commit() {
    const int code = exec(db_, "COMMIT");
    done_ = code == SQLITE_OK;
    return code;
  }

private:
  sqlite3* db_;
  int code_;
  bool done_ = false;
};

StoreResult read_failure(const std::string& path, sqlite3* db, int code) {
  return {StoreStatus::cannot_open,
          "the record store " + path + " cannot be read: " + sqlite_reason(db, code)};
}

StoreResult write_failure(const std::string& path, sqlite3* db, int code) {
  return {StoreStatus::cannot_write,
          "the record store " + path + " cannot be written: " + sqlite_reason(db, code)};
}

// Runs each statement with ?1 the line, ?2 the station and ?3 `number`;
// SQLITE_DONE once all ran, else the failure's code.
int run_for_station(sqlite3* db, std::initializer_list<const char*> sqls, const std::string& line,
                    const std::string& station, int64_t number) {
  for (const char* sql : sqls) {
    Statement write(db, sql);
    if (!write.ok()) return write.code();
    write.text(1, line);
    write.text(2, station);
    write.number(3, number);
    const int code = write.step();
    if (code != SQLITE_DONE) return code;
  }
  return SQLITE_DONE;
}

// A write in a transaction of its own: `work` gives SQLITE_DONE when all of
// it went, else the failure's code, and nothing of it is kept.
StoreResult write_in_transaction(sqlite3* db, const std::string& path, bool fail_now,
                                 const std::function<int()>& work) {
  if (fail_now) return write_failure(path, db, SQLITE_FULL);
  Transaction transaction(db);
  if (transaction.begun() != SQLITE_OK) return write_failure(path, db, transaction.begun());
  int code = work();
  if (code == SQLITE_DONE) code = transaction.commit();
  if (code != SQLITE_OK) return write_failure(path, db, code);
  return {};
}

// The line's mark for the station, 0 before the first: SQLITE_OK, or the
// failure's code.
int read_mark(sqlite3* db, const std::string& line, const std::string& station, int64_t* mark) {
  Statement read(db, "SELECT have_through FROM line_sync WHERE line = ?1 AND station = ?2");
  if (!read.ok()) return read.code();
  read.text(1, line);
  read.text(2, station);
  const int code = read.step();
  *mark = code == SQLITE_ROW ? read.column_number(0) : 0;
  return code == SQLITE_ROW || code == SQLITE_DONE ? SQLITE_OK : code;
}

// One row of a SELECT of SELECT_COLUMNS.
RunRow row_of(Statement& select) {
  RunRow row;
  int c = 0;
  row.run_id = select.column_text(c++);
  row.station_seq = select.column_number(c++);
  row.station = select.column_text(c++);
  row.slot = select.column_number(c++);
  row.port = select.column_text(c++);
  row.usb_location = select.column_text(c++);
  row.usb_serial = select.column_text(c++);
  row.tag = select.column_text(c++);
  row.image_sha256 = select.column_text(c++);
  row.image_size = select.column_number(c++);
  row.load_address = select.column_number(c++);
  row.image_source = select.column_text(c++);
  row.program_version = select.column_text(c++);
  row.started_at = select.column_text(c++);
  row.ended_at = select.column_text(c++);
  row.result = select.column_text(c++);
  row.step = select.column_text(c++);
  row.last_text = select.column_text(c++);
  row.frames = select.column_number(c++);
  row.retransmissions = select.column_number(c++);
  row.operator_name = select.column_text(c++);
  row.product = select.column_text(c++);
  row.release_version = select.column_text(c++);
  return row;
}

sqlite3* open_file(const std::string& path, int flags, int* code) {
  sqlite3* db = nullptr;
  *code = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (*code != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, RECORD_BUSY_MS);
  return db;
}

// A process's life: a small file beside the store on which the process
// holds SQLite's write lock for as long as it runs. Another process that
// can take that lock knows the first has ended, however it ended.
std::string life_path(const std::string& store, const std::string& life) {
  return store + "-life-" + life;
}

// The lock file and whatever SQLite left beside it.
void remove_life(const std::string& store, const std::string& life) {
  std::remove((life_path(store, life) + "-journal").c_str());
  std::remove(life_path(store, life).c_str());
}

bool life_has_ended(const std::string& store, const std::string& life) {
  int code = 0;
  sqlite3* db = open_file(life_path(store, life), SQLITE_OPEN_READWRITE, &code);
  if (db == nullptr) return true; // never made, or removed at a clean end
  sqlite3_busy_timeout(db, 0);
  const bool ended = exec(db, "BEGIN IMMEDIATE") == SQLITE_OK;
  if (ended) exec(db, "ROLLBACK");
  sqlite3_close(db);
  if (ended) remove_life(store, life);
  return ended;
}

} // namespace

const char* const RECORD_COLUMNS[] = {"run_id",
                                      "station_seq",
                                      "station",
                                      "slot",
                                      "port",
                                      "usb_location",
                                      "usb_serial",
                                      "tag",
                                      "image_sha256",
                                      "image_size",
                                      "load_address",
                                      "image_source",
                                      "program_version",
                                      "started_at",
                                      "ended_at",
                                      "result",
                                      "step",
                                      "last_text",
                                      "frames",
                                      "retransmissions",
                                      "operator",
                                      "product",
                                      "release_version"};
const size_t RECORD_COLUMN_COUNT = sizeof RECORD_COLUMNS / sizeof RECORD_COLUMNS[0];

struct RecordStore::Impl {
  sqlite3* db = nullptr;
  sqlite3* life_db = nullptr;
  std::string life;
  mutable std::mutex mutex;

  ~Impl() {
    sqlite3_close(db);
    if (life_db != nullptr) {
      sqlite3_close(life_db);
    }
  }
};

RecordStore::RecordStore(std::string path, std::unique_ptr<Impl> impl)
    : path_(std::move(path)), impl_(std::move(impl)) {}

RecordStore::~RecordStore() {
  const std::string life = impl_->life;
  const bool held = impl_->life_db != nullptr;
  impl_.reset();
  if (held) remove_life(path_, life);
}

std::unique_ptr<RecordStore> RecordStore::open(const std::string& path, StoreResult* result) {
  const auto fail = [&](StoreStatus status, const std::string& why) {
    *result = {status, "cannot use the record store " + path + ": " + why};
    return nullptr;
  };
  auto impl = std::make_unique<Impl>();
  int code = 0;
  impl->db = open_file(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &code);
  if (impl->db == nullptr) return fail(StoreStatus::cannot_open, sqlite_reason(nullptr, code));
  sqlite3* db = impl->db;
  // WAL lets readers and one writer go on together; FULL makes each commit
  // reach the disk before it returns.
  {
    Statement mode(db, "PRAGMA journal_mode=WAL");
    if (!mode.ok() || mode.step() != SQLITE_ROW || mode.column_text(0) != "wal") {
      return fail(StoreStatus::cannot_open, "it is not a record store, or its folder is "
                                            "read-only (" +
                                                sqlite_reason(db, sqlite3_errcode(db)) + ")");
    }
  }
  exec(db, "PRAGMA synchronous=FULL");
  int64_t version_found = 0;
  {
    Statement version(db, "PRAGMA user_version");
    if (!version.ok() || version.step() != SQLITE_ROW) {
      return fail(StoreStatus::cannot_open, "it is not a record store");
    }
    version_found = version.column_number(0);
    if (version.column_number(0) > RECORD_SCHEMA_VERSION) {
      return fail(StoreStatus::newer_schema, "it was made by a newer orvaload (schema " +
                                                 std::to_string(version.column_number(0)) +
                                                 "); use that one");
    }
  }
  Transaction schema(db);
  if (schema.begun() != SQLITE_OK) {
    return fail(StoreStatus::cannot_open, sqlite_reason(db, schema.begun()));
  }
  code = SQLITE_OK;
  if (version_found == 1) code = exec(db, (runs_table("runs_2") + FROM_SCHEMA_1).c_str());
  if (code == SQLITE_OK) code = exec(db, (runs_table("runs") + SCHEMA_REST).c_str());
  if (code == SQLITE_OK && version_found >= 1 && version_found <= 2) {
    code = exec(db, FROM_SCHEMA_2);
  }
  if (code == SQLITE_OK && version_found < 4) {
    Statement has(db, "SELECT 1 FROM pragma_table_info('runs') WHERE name = 'operator'");
    const int step = has.ok() ? has.step() : has.code();
    code = step == SQLITE_DONE ? exec(db, TO_SCHEMA_4) : step == SQLITE_ROW ? SQLITE_OK : step;
  }
  if (code == SQLITE_OK && version_found < 5) {
    Statement has(db, "SELECT 1 FROM pragma_table_info('runs') WHERE name = 'product'");
    const int step = has.ok() ? has.step() : has.code();
    code = step == SQLITE_DONE ? exec(db, TO_SCHEMA_5) : step == SQLITE_ROW ? SQLITE_OK : step;
  }
  if (code == SQLITE_OK) {
    code = exec(db, ("PRAGMA user_version=" + std::to_string(RECORD_SCHEMA_VERSION)).c_str());
  }
  if (code == SQLITE_OK) code = schema.commit();
  if (code != SQLITE_OK) return fail(StoreStatus::cannot_open, sqlite_reason(db, code));

  // This process's life lock, held until the store is closed.
  impl->life = record_uuid();
  impl->life_db =
      open_file(life_path(path, impl->life), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &code);
  // The write lock of a transaction that writes nothing: another process's
  // BEGIN IMMEDIATE on the file fails while this one lives.
  if (impl->life_db == nullptr || exec(impl->life_db, "BEGIN IMMEDIATE") != SQLITE_OK) {
    return fail(StoreStatus::cannot_open,
                "cannot make its lock file " + life_path(path, impl->life) + " beside it");
  }
  return std::unique_ptr<RecordStore>(new RecordStore(path, std::move(impl)));
}

StoreResult RecordStore::begin(RunRow* row) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const auto failed = [&](int code) {
    return StoreResult{StoreStatus::cannot_write,
                       "the record store " + path_ +
                           " cannot be written: " + sqlite_reason(impl_->db, code)};
  };
  if (fail_next_write_.exchange(false)) return failed(SQLITE_FULL);
  Transaction transaction(impl_->db);
  if (transaction.begun() != SQLITE_OK) return failed(transaction.begun());
  Statement insert(impl_->db, INSERT);
  if (!insert.ok()) return failed(insert.code());
  insert.text(1, row->run_id);
  insert.text(2, row->station);
  insert.null_if_zero(3, row->slot);
  insert.text(4, row->port);
  insert.text(5, row->usb_location);
  insert.text(6, row->usb_serial);
  insert.text(7, row->tag);
  insert.text(8, row->image_sha256);
  insert.number(9, row->image_size);
  insert.number(10, row->load_address);
  insert.text(11, row->image_source);
  insert.text(12, row->program_version);
  insert.text(13, row->started_at);
  insert.text(14, impl_->life);
  insert.text(15, row->operator_name);
  insert.text(16, row->product);
  insert.text(17, row->release_version);
  int code = insert.step();
  if (code != SQLITE_ROW) return failed(code);
  const int64_t seq = insert.column_number(0);
  code = insert.step();
  if (code != SQLITE_DONE) return failed(code);
  code = transaction.commit();
  if (code != SQLITE_OK) return failed(code);
  row->station_seq = seq;
  row->result = "running";
  return {};
}

StoreResult RecordStore::end(const RunRow& row) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const auto failed = [&](int code) {
    return StoreResult{StoreStatus::cannot_write, "the end of run " + row.run_id +
                                                      " could not be written to " + path_ + ": " +
                                                      sqlite_reason(impl_->db, code)};
  };
  if (fail_next_write_.exchange(false)) return failed(SQLITE_FULL);
  Statement update(impl_->db, UPDATE_END);
  if (!update.ok()) return failed(update.code());
  update.text(1, row.run_id);
  update.text(2, row.result);
  update.text(3, row.step);
  update.text(4, row.last_text);
  update.text(5, row.ended_at);
  update.number(6, row.frames);
  update.number(7, row.retransmissions);
  const int code = update.step();
  if (code != SQLITE_DONE) return failed(code);
  if (sqlite3_changes(impl_->db) != 1) return failed(SQLITE_NOTFOUND);
  return {};
}

StoreResult RecordStore::interrupt_orphans(int64_t* count) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  *count = 0;
  std::vector<std::string> lives;
  {
    Statement running(impl_->db, "SELECT DISTINCT COALESCE(life, '') FROM runs"
                                 " WHERE result = 'running'");
    while (running.ok() && running.step() == SQLITE_ROW) lives.push_back(running.column_text(0));
  }
  for (const std::string& life : lives) {
    if (life == impl_->life || (!life.empty() && !life_has_ended(path_, life))) continue;
    Statement update(impl_->db, "UPDATE runs SET result = 'interrupted', ended_at = NULL,"
                                " life = NULL WHERE result = 'running' AND"
                                " COALESCE(life, '') = ?1");
    sqlite3_bind_text(update.get(), 1, life.c_str(), -1, SQLITE_TRANSIENT);
    const int code = update.step();
    if (code != SQLITE_DONE) {
      return {StoreStatus::cannot_write, "the record store " + path_ + " cannot be written: " +
                                             sqlite_reason(impl_->db, code)};
    }
    *count += sqlite3_changes(impl_->db);
  }
  return {};
}

StoreResult RecordStore::query(const RecordFilter& filter, std::vector<RunRow>* rows) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  rows->clear();
  std::string sql = std::string(SELECT_COLUMNS) + " WHERE 1";
  if (!filter.tag.empty()) sql += " AND tag = ?1";
  if (!filter.result.empty()) sql += " AND result = ?2";
  if (!filter.since.empty()) sql += " AND started_at >= ?3";
  // A tag names a few rows: its index finds them, not the station's ('+'
  // keeps the planner off that one).
  if (!filter.station.empty())
    sql += filter.tag.empty() ? " AND station = ?5" : " AND +station = ?5";
  sql += " ORDER BY started_at DESC, station_seq DESC LIMIT ?4";
  Statement select(impl_->db, sql.c_str());
  if (!select.ok()) return read_failure(path_, impl_->db, select.code());
  if (!filter.tag.empty()) select.text(1, filter.tag);
  if (!filter.result.empty()) select.text(2, filter.result);
  if (!filter.since.empty()) select.text(3, filter.since);
  select.number(4, static_cast<int64_t>(filter.limit));
  if (!filter.station.empty()) select.text(5, filter.station);
  int code;
  while ((code = select.step()) == SQLITE_ROW) rows->push_back(row_of(select));
  if (code != SQLITE_DONE) {
    rows->clear();
    return {StoreStatus::cannot_open,
            "the record store " + path_ + " cannot be read: " + sqlite_reason(impl_->db, code)};
  }
  return {};
}

StoreResult RecordStore::holds_station(const std::string& station, bool* holds) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  *holds = false;
  Statement select(impl_->db, "SELECT 1 FROM runs WHERE station = ?1 LIMIT 1");
  if (!select.ok()) return read_failure(path_, impl_->db, select.code());
  select.text(1, station);
  const int code = select.step();
  if (code != SQLITE_ROW && code != SQLITE_DONE) return read_failure(path_, impl_->db, code);
  *holds = code == SQLITE_ROW;
  return {};
}

StoreResult RecordStore::synced(const std::string& line, const std::string& station,
                                int64_t* through, std::vector<int64_t>* above) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  above->clear();
  int code = read_mark(impl_->db, line, station, through);
  if (code != SQLITE_OK) return read_failure(path_, impl_->db, code);
  Statement acked(impl_->db, "SELECT station_seq FROM line_acked WHERE line = ?1 AND"
                             " station = ?2 ORDER BY station_seq");
  if (!acked.ok()) return read_failure(path_, impl_->db, acked.code());
  acked.text(1, line);
  acked.text(2, station);
  while ((code = acked.step()) == SQLITE_ROW) above->push_back(acked.column_number(0));
  if (code != SQLITE_DONE) return read_failure(path_, impl_->db, code);
  return {};
}

StoreResult RecordStore::mark_synced(const std::string& line, const std::string& station,
                                     const std::vector<int64_t>& seqs, int64_t* through) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  sqlite3* db = impl_->db;
  int64_t mark = 0;
  const StoreResult written =
      write_in_transaction(db, path_, fail_next_write_.exchange(false), [&] {
        int code = SQLITE_DONE;
        for (size_t i = 0; i < seqs.size() && code == SQLITE_DONE; ++i) {
          code = run_for_station(db,
                                 {"INSERT OR IGNORE INTO line_acked (line, station, station_seq)"
                                  " VALUES (?1, ?2, ?3)"},
                                 line, station, seqs[i]);
        }
        if (code != SQLITE_DONE) return code;
        // The mark moves on over every acknowledged row that follows it.
        if ((code = read_mark(db, line, station, &mark)) != SQLITE_OK) return code;
        Statement next(db, "SELECT station_seq FROM line_acked WHERE line = ?1 AND station = ?2"
                           " AND station_seq > ?3 ORDER BY station_seq");
        if (!next.ok()) return next.code();
        next.text(1, line);
        next.text(2, station);
        next.number(3, mark);
        while ((code = next.step()) == SQLITE_ROW && next.column_number(0) == mark + 1) ++mark;
        if (code != SQLITE_ROW && code != SQLITE_DONE) return code;
        return run_for_station(
            db,
            {"DELETE FROM line_acked WHERE line = ?1 AND station = ?2 AND"
             " station_seq <= ?3",
             "INSERT INTO line_sync (line, station, have_through) VALUES (?1, ?2,"
             " ?3) ON CONFLICT (line, station) DO UPDATE"
             " SET have_through = excluded.have_through"},
            line, station, mark);
      });
  if (written.ok()) *through = mark;
  return written;
}

StoreResult RecordStore::unmark_synced_after(const std::string& line, const std::string& station,
                                             int64_t through) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  sqlite3* db = impl_->db;
  return write_in_transaction(db, path_, fail_next_write_.exchange(false), [&] {
    return run_for_station(db,
                           {"UPDATE line_sync SET have_through = MIN(have_through, ?3) WHERE"
                            " line = ?1 AND station = ?2",
                            "DELETE FROM line_acked WHERE line = ?1 AND station = ?2 AND"
                            " station_seq > ?3"},
                           line, station, through);
  });
}

StoreResult RecordStore::unsynced_rows(const std::string& line, const std::string& station,
                                       size_t limit, std::vector<RunRow>* rows) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  rows->clear();
  Statement select(
      impl_->db,
      (std::string(SELECT_COLUMNS) + UNSYNCED + " ORDER BY station_seq LIMIT ?3").c_str());
  if (!select.ok()) return read_failure(path_, impl_->db, select.code());
  select.text(1, station);
  select.text(2, line);
  select.number(3, static_cast<int64_t>(limit));
  int code;
  while ((code = select.step()) == SQLITE_ROW) rows->push_back(row_of(select));
  if (code != SQLITE_DONE) {
    rows->clear();
    return read_failure(path_, impl_->db, code);
  }
  return {};
}

StoreResult RecordStore::count_unsynced(const std::string& line, const std::string& station,
                                        int64_t* count, std::string* oldest_end) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Statement select(impl_->db, (std::string("SELECT COUNT(*), MIN(COALESCE(ended_at, started_at))"
                                           " FROM runs") +
                               UNSYNCED)
                                  .c_str());
  if (!select.ok()) return read_failure(path_, impl_->db, select.code());
  select.text(1, station);
  select.text(2, line);
  const int code = select.step();
  if (code != SQLITE_ROW) return read_failure(path_, impl_->db, code);
  *count = select.column_number(0);
  *oldest_end = select.column_text(1);
  return {};
}

std::string record_uuid() {
  static std::mutex mutex;
  static std::random_device device;
  uint8_t bytes[16];
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < sizeof bytes; i += 4) {
      const uint32_t value = device();
      for (size_t k = 0; k < 4; ++k) bytes[i + k] = static_cast<uint8_t>(value >> (8 * k));
    }
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

std::string record_utc_text(int64_t epoch_ms) {
  // Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
  int64_t days = epoch_ms >= 0 ? epoch_ms / 86400000 : (epoch_ms - 86399999) / 86400000;
  const int64_t ms_of_day = epoch_ms - days * 86400000;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(ms_of_day / 3600000),
                static_cast<long long>(ms_of_day / 60000 % 60),
                static_cast<long long>(ms_of_day / 1000 % 60),
                static_cast<long long>(ms_of_day % 1000));
  return text;
}

bool record_utc_is_valid(const std::string& text) {
  // YYYY-MM-DD, YYYY-MM-DDTHH:MM:SSZ or YYYY-MM-DDTHH:MM:SS.mmmZ
  static const char* const SHAPES[] = {"dddd-dd-dd", "dddd-dd-ddTdd:dd:ddZ",
                                       "dddd-dd-ddTdd:dd:dd.dddZ"};
  bool fits = false;
  for (const char* shape : SHAPES) {
    if (fits || text.size() != std::char_traits<char>::length(shape)) continue;
    fits = true;
    for (size_t i = 0; i < text.size() && fits; ++i) {
      fits = shape[i] == 'd' ? text[i] >= '0' && text[i] <= '9' : text[i] == shape[i];
    }
  }
  if (!fits) return false;
  // A time that is on the calendar and the clock: a database that keeps
  // times as times takes no other.
  const auto at = [&text](size_t from, size_t count) {
    int value = 0;
    for (size_t i = from; i < from + count && i < text.size(); ++i)
      value = value * 10 + (text[i] - '0');
    return value;
  };
  const int year = at(0, 4);
  const int month = at(5, 2);
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  static const int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12) return false;
  const int days = DAYS[month - 1] + (month == 2 && leap ? 1 : 0);
  if (at(8, 2) < 1 || at(8, 2) > days) return false;
  return text.size() == 10 || (at(11, 2) < 24 && at(14, 2) < 60 && at(17, 2) < 60);
}

namespace {

int bind_person(Statement& statement, const PersonRow& row) {
  statement.text(1, row.source);
  statement.text(2, row.name);
  statement.text(3, row.role);
  statement.text(4, row.secret_hash);
  statement.text(5, row.created_at);
  statement.text(6, row.disabled_at);
  return statement.step();
}

PersonRow person_of(Statement& select) {
  PersonRow row;
  row.source = select.column_text(0);
  row.name = select.column_text(1);
  row.role = select.column_text(2);
  row.secret_hash = select.column_text(3);
  row.created_at = select.column_text(4);
  row.disabled_at = select.column_text(5);
  return row;
}

const char PEOPLE_COLUMNS[] =
    "SELECT source, name, role, secret_hash, created_at, disabled_at FROM people";
const char INSERT_PERSON[] = "INSERT INTO people (source, name, role, secret_hash, created_at,"
                             " disabled_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6)";

AuditEntry entry_of(Statement& select) {
  AuditEntry entry;
  int c = 0;
  entry.origin = select.column_text(c++);
  entry.seq = select.column_number(c++);
  entry.at = select.column_text(c++);
  entry.who = select.column_text(c++);
  entry.action = select.column_text(c++);
  entry.subject = select.column_text(c++);
  entry.details = select.column_text(c++);
  entry.prev_hash = select.column_text(c++);
  entry.hash = select.column_text(c++);
  return entry;
}

const char AUDIT_COLUMNS[] =
    "SELECT origin, seq, at, who, action, subject, details, prev_hash, hash FROM audit";

} // namespace

StoreResult RecordStore::person_add(const PersonRow& row) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  sqlite3* db = impl_->db;
  bool taken = false;
  const StoreResult written =
      write_in_transaction(db, path_, fail_next_write_.exchange(false), [&] {
        Statement there(db,
                        (std::string(PEOPLE_COLUMNS) + " WHERE source = ?1 AND name = ?2").c_str());
        if (!there.ok()) return there.code();
        there.text(1, row.source);
        there.text(2, row.name);
        const int code = there.step();
        if (code == SQLITE_ROW) taken = true;
        if (code != SQLITE_DONE) return code;
        Statement insert(db, INSERT_PERSON);
        return insert.ok() ? bind_person(insert, row) : insert.code();
      });
  if (taken) return {StoreStatus::conflict, "'" + row.name + "' is there already"};
  return written;
}

StoreResult RecordStore::person_change(const PersonRow& row) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  sqlite3* db = impl_->db;
  const StoreResult written =
      write_in_transaction(db, path_, fail_next_write_.exchange(false), [&] {
        // (?5, created_at, stays as it was.)
        Statement update(db, "UPDATE people SET role = ?3, secret_hash = ?4, disabled_at = ?6"
                             " WHERE source = ?1 AND name = ?2");
        return update.ok() ? bind_person(update, row) : update.code();
      });
  if (written.ok() && sqlite3_changes(db) == 0) {
    return {StoreStatus::conflict, "no one called '" + row.name + "' is there"};
  }
  return written;
}

StoreResult RecordStore::people(const std::string& source, std::vector<PersonRow>* rows) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  rows->clear();
  Statement select(impl_->db,
                   (std::string(PEOPLE_COLUMNS) + " WHERE source = ?1 ORDER BY name").c_str());
  if (!select.ok()) return read_failure(path_, impl_->db, select.code());
  select.text(1, source);
  int code;
  while ((code = select.step()) == SQLITE_ROW) rows->push_back(person_of(select));
  if (code != SQLITE_DONE) return read_failure(path_, impl_->db, code);
  return {};
}

StoreResult RecordStore::person(const std::string& source, const std::string& name, PersonRow* row,
                                bool* found) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  *found = false;
  Statement select(impl_->db,
                   (std::string(PEOPLE_COLUMNS) + " WHERE source = ?1 AND name = ?2").c_str());
  if (!select.ok()) return read_failure(path_, impl_->db, select.code());
  select.text(1, source);
  select.text(2, name);
  const int code = select.step();
  if (code == SQLITE_ROW) {
    *row = person_of(select);
    *found = true;
  } else if (code != SQLITE_DONE) {
    return read_failure(path_, impl_->db, code);
  }
  return {};
}

StoreResult RecordStore::replace_line_people(const std::vector<PersonRow>& rows) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  sqlite3* db = impl_->db;
  return write_in_transaction(db, path_, fail_next_write_.exchange(false), [&] {
    Statement clear(db, "DELETE FROM people WHERE source = 'line'");
    int code = clear.ok() ? clear.step() : clear.code();
    for (size_t i = 0; i < rows.size() && code == SQLITE_DONE; ++i) {
      Statement insert(db, INSERT_PERSON);
      PersonRow row = rows[i];
      row.source = PEOPLE_LINE;
      code = insert.ok() ? bind_person(insert, row) : insert.code();
    }
    return code;
  });
}

StoreResult RecordStore::keep(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  sqlite3* db = impl_->db;
  return write_in_transaction(db, path_, fail_next_write_.exchange(false), [&] {
    Statement put(db, "INSERT INTO kept (name, value) VALUES (?1, ?2) ON CONFLICT (name) DO"
                      " UPDATE SET value = excluded.value");
    if (!put.ok()) return put.code();
    put.text(1, name);
    put.text(2, value);
    return put.step();
  });
}

StoreResult RecordStore::forget(const std::string& name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  sqlite3* db = impl_->db;
  return write_in_transaction(db, path_, fail_next_write_.exchange(false), [&] {
    Statement drop(db, "DELETE FROM kept WHERE name = ?1");
    if (!drop.ok()) return drop.code();
    drop.text(1, name);
    return drop.step();
  });
}

StoreResult RecordStore::kept(const std::string& name, std::string* value, bool* found) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Statement get(impl_->db, "SELECT value FROM kept WHERE name = ?1");
  if (!get.ok()) return read_failure(path_, impl_->db, get.code());
  get.text(1, name);
  const int code = get.step();
  if (code != SQLITE_ROW && code != SQLITE_DONE) return read_failure(path_, impl_->db, code);
  *found = code == SQLITE_ROW;
  *value = *found ? get.column_text(0) : "";
  return {};
}

StoreResult RecordStore::release_runs(const std::string& station, const std::string& product,
                                      const std::string& version, int64_t* runs) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Statement count(impl_->db, "SELECT COUNT(*) FROM runs WHERE station = ?1 AND product = ?2 AND"
                             " release_version = ?3");
  if (!count.ok()) return read_failure(path_, impl_->db, count.code());
  count.text(1, station);
  count.text(2, product);
  count.text(3, version);
  const int code = count.step();
  if (code != SQLITE_ROW) return read_failure(path_, impl_->db, code);
  *runs = count.column_number(0);
  return {};
}

StoreResult RecordStore::audit_append(const std::string& origin, const std::string& at,
                                      const std::string& who, const std::string& action,
                                      const std::string& subject, const std::string& details,
                                      AuditEntry* made) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  sqlite3* db = impl_->db;
  AuditEntry entry;
  const StoreResult written =
      write_in_transaction(db, path_, fail_next_write_.exchange(false), [&] {
        // The last entry of the origin, read in the transaction that appends:
        // two processes sharing the store never chain to the same one.
        Statement last(
            db,
            (std::string(AUDIT_COLUMNS) + " WHERE origin = ?1 ORDER BY seq DESC LIMIT 1").c_str());
        if (!last.ok()) return last.code();
        last.text(1, origin);
        int code = last.step();
        if (code != SQLITE_ROW && code != SQLITE_DONE) return code;
        std::optional<AuditEntry> before;
        if (code == SQLITE_ROW) before = entry_of(last);
        entry = audit_next(before ? &*before : nullptr, at, origin, who, action, subject, details);
        Statement insert(db, "INSERT INTO audit (origin, seq, at, who, action, subject, details,"
                             " prev_hash, hash) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
        if (!insert.ok()) return insert.code();
        insert.text(1, entry.origin);
        insert.number(2, entry.seq);
        // An empty text is bound as itself here: an audit field is never NULL.
        for (const auto& [at_place, value] :
             {std::make_pair(3, &entry.at), std::make_pair(4, &entry.who),
              std::make_pair(5, &entry.action), std::make_pair(6, &entry.subject),
              std::make_pair(7, &entry.details), std::make_pair(8, &entry.prev_hash),
              std::make_pair(9, &entry.hash)}) {
          sqlite3_bind_text(insert.get(), at_place, value->c_str(), static_cast<int>(value->size()),
                            SQLITE_TRANSIENT);
        }
        return insert.step();
      });
  if (written.ok() && made != nullptr) *made = entry;
  return written;
}

StoreResult RecordStore::audit_after(const std::string& origin, int64_t after, size_t limit,
                                     std::vector<AuditEntry>* entries) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  entries->clear();
  Statement select(impl_->db, (std::string(AUDIT_COLUMNS) +
                               " WHERE origin = ?1 AND seq > ?2 ORDER BY seq LIMIT ?3")
                                  .c_str());
  if (!select.ok()) return read_failure(path_, impl_->db, select.code());
  select.text(1, origin);
  select.number(2, after);
  select.number(3, static_cast<int64_t>(limit));
  int code;
  while ((code = select.step()) == SQLITE_ROW) entries->push_back(entry_of(select));
  if (code != SQLITE_DONE) return read_failure(path_, impl_->db, code);
  return {};
}

StoreResult RecordStore::audit_origins(std::vector<std::string>* origins) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  origins->clear();
  Statement select(impl_->db, "SELECT DISTINCT origin FROM audit ORDER BY origin");
  if (!select.ok()) return read_failure(path_, impl_->db, select.code());
  int code;
  while ((code = select.step()) == SQLITE_ROW) origins->push_back(select.column_text(0));
  if (code != SQLITE_DONE) return read_failure(path_, impl_->db, code);
  return {};
}

StoreResult RecordStore::audit_synced(const std::string& line, const std::string& origin,
                                      int64_t* seq) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  *seq = 0;
  Statement select(impl_->db,
                   "SELECT have_through FROM line_audit_sync WHERE line = ?1 AND origin = ?2");
  if (!select.ok()) return read_failure(path_, impl_->db, select.code());
  select.text(1, line);
  select.text(2, origin);
  const int code = select.step();
  if (code == SQLITE_ROW) *seq = select.column_number(0);
  else if (code != SQLITE_DONE) return read_failure(path_, impl_->db, code);
  return {};
}

StoreResult RecordStore::set_audit_synced(const std::string& line, const std::string& origin,
                                          int64_t seq) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  sqlite3* db = impl_->db;
  return write_in_transaction(db, path_, fail_next_write_.exchange(false), [&] {
    Statement upsert(db, "INSERT INTO line_audit_sync (line, origin, have_through)"
                         " VALUES (?1, ?2, ?3) ON CONFLICT (line, origin) DO UPDATE"
                         " SET have_through = excluded.have_through");
    if (!upsert.ok()) return upsert.code();
    upsert.text(1, line);
    upsert.text(2, origin);
    upsert.number(3, seq);
    return upsert.step();
  });
}

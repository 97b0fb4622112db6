// The line's database: every row the stations sent, in one table
// `orva_runs` (the record store's columns, plus when the line received the
// row), in PostgreSQL or in an SQLite file. The rules live here once; the
// two engines are reached through SqlLink, a connection that runs one
// statement with text parameters ($1, $2...) and gives text cells back.
//
// Rows are inserted with ON CONFLICT DO NOTHING, so a batch sent twice
// changes nothing; a row already held must equal the row sent, column by
// column, or the whole batch is refused (conflict). A database that is down is no failure of the
// line: a call says `down` with the reason, and the next call after LINE_DB_RETRY_MS tries to
// connect again (libpq waits at most LINE_DB_CONNECT_S for it). Every call is safe from any thread;
// they run one at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/access/credentials.h"
#include "records/record_store.h"

// The version of `orva_runs`, kept in the table `orva_schema`.
constexpr int LINE_SCHEMA_VERSION = 1;
constexpr int LINE_DB_CONNECT_S = 3;
constexpr int LINE_DB_STATEMENT_MS = 10000;
constexpr int LINE_DB_RETRY_MS = 1000;

// conflict: a row sent is not the row the line holds under its run_id or
// its station and number.
enum class LineDbStatus { ok, down, refused, conflict };

struct LineDbResult {
  LineDbStatus status = LineDbStatus::ok;
  std::string reason; // one line when not ok

  bool ok() const { return status == LineDbStatus::ok; }
};

using SqlValue = std::optional<std::string>; // nullopt: NULL
using SqlRow = std::vector<SqlValue>;

class SqlLink {
public:
  virtual ~SqlLink() = default;
  virtual LineDbResult connect() = 0;
  virtual bool connected() const = 0;
  // Runs `sql`; the rows it gives into *rows when not null. A failure of
  // the connection closes it (down); a statement the database refuses is
  // `refused`.
  virtual LineDbResult run(const std::string& sql, const std::vector<SqlValue>& params,
                           std::vector<SqlRow>* rows) = 0;
  // Rows the last statement inserted, changed or deleted.
  virtual int64_t changes() const = 0;
};

std::unique_ptr<SqlLink> sql_link_sqlite(const std::string& path);
std::unique_ptr<SqlLink> sql_link_postgresql(const std::string& conninfo);

// What the last use of the database found: up, or down with the reason.
struct LineDbHealth {
  bool up = false;
  std::string reason; // when down
};

struct LineTotals {
  int64_t upgraded = 0;
  int64_t failed = 0;
};

class LineDb {
public:
  // "sqlite:FILE", or a PostgreSQL connection string or URI. It does not
  // connect yet: see start().
  static std::unique_ptr<LineDb> open(const std::string& url);
  explicit LineDb(std::unique_ptr<SqlLink> link) : link_(std::move(link)) {}

  // Connects and creates the tables when missing.
  LineDbResult start();
  // Inserts the rows of `station` in one transaction; *have_through is then
  // the highest N such that rows 1 to N of the station are all held,
  // *added counts the rows that were new, and *fresh holds their places in
  // `rows`.
  LineDbResult store(const std::string& station, const std::vector<RunRow>& rows,
                     const std::string& received_at, int64_t* have_through, LineTotals* added,
                     std::vector<size_t>* fresh);
  // The highest N such that rows 1 to N of `station` are all held, as the
  // database holds them now.
  LineDbResult held_through(const std::string& station, int64_t* have_through);
  LineDbResult query(const RecordFilter& filter, std::vector<RunRow>* rows);
  LineDbResult totals(LineTotals* totals);
  // The stations that sent rows since `since` (UTC), the latest first, at
  // most `most`.
  LineDbResult stations(const std::string& since, size_t most, std::vector<std::string>* names);
  // A new credential; `conflict` when the name has a valid one.
  LineDbResult credential_add(const CredentialRow& row);
  // Revokes the name's credential at `at` (UTC); `conflict` when it has none.
  LineDbResult credential_revoke(const std::string& name, const std::string& at);
  // Every credential, revoked ones too, by name.
  LineDbResult credentials(std::vector<CredentialRow>* rows);
  // A statement that does nothing, so that a database that went away (or
  // came back) is noticed while no station sends rows.
  LineDbResult ping();
  LineDbHealth health() const;

private:
  LineDbResult ready();
  // A statement on the link, its result noted.
  LineDbResult run(const std::string& sql, const std::vector<SqlValue>& params,
                   std::vector<SqlRow>* rows);
  // Keeps what `result` tells of the database's health, and gives it back.
  LineDbResult noted(LineDbResult result);
  LineDbResult have_through(const std::string& station, int64_t* n);

  mutable std::mutex mutex_;
  std::unique_ptr<SqlLink> link_;
  LineDbHealth health_;
  bool schema_ = false;
  // Per station, an N known held without a gap: the database takes no row
  // away, but held_through() checks it again (a restored backup may have).
  std::map<std::string, int64_t> known_;
  std::chrono::steady_clock::time_point next_try_{};
};

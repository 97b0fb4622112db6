// The line's database: every row the stations sent, in one table
// `orva_runs` (the record store's columns, plus when the line received the
// row), in PostgreSQL or in an SQLite file. The rules live here once; the
// two engines are reached through SqlLink, a connection that runs one
// statement with text parameters ($1, $2...) and gives text cells back.
//
// In PostgreSQL, which plant tools read, the times are `timestamptz`, a
// row's `result` is one of the documented values, and each row names its
// line (`line`, the line's name), so that lines sharing one database keep
// their rows apart: every statement reads and writes the rows of this line
// only. An SQLite file is one line's, its times texts. Either way the rows
// come back with their times as the store writes them (UTC, milliseconds,
// Z).
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
#include <utility>
#include <vector>

#include "app/access/credentials.h"
#include "app/line/line_stats.h"
#include "app/runs/record_json.h"
#include "records/record_store.h"

// The version of `orva_runs`, kept in the table `orva_schema`. Version 1
// kept times as texts in PostgreSQL and had no line column; the first line
// of this version to start on such a table converts it in place, its rows
// given that line's name, in one transaction.
constexpr int LINE_SCHEMA_VERSION = 4;
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

// One statement of several sent together, and what it gave.
struct SqlStep {
  SqlStep(std::string sql, std::vector<SqlValue> params = {})
      : sql(std::move(sql)), params(std::move(params)) {}
  std::string sql;
  std::vector<SqlValue> params;
  std::vector<SqlRow> rows;
  int64_t changes = 0; // rows it inserted, changed or deleted
};

class SqlLink {
public:
  virtual ~SqlLink() = default;
  // PostgreSQL: times as timestamptz, and a line column.
  virtual bool typed() const = 0;
  virtual LineDbResult connect() = 0;
  virtual bool connected() const = 0;
  // Runs `sql`; the rows it gives into *rows when not null. A failure of
  // the connection closes it (down); a statement the database refuses is
  // `refused`.
  virtual LineDbResult run(const std::string& sql, const std::vector<SqlValue>& params,
                           std::vector<SqlRow>* rows) = 0;
  // Rows the last statement inserted, changed or deleted.
  virtual int64_t changes() const = 0;
  // Runs the steps in order until one fails, whose failure it gives. This
  // one runs them one by one; PostgreSQL's sends them all and then reads
  // their answers, one round trip for all.
  virtual LineDbResult run_all(std::vector<SqlStep>* steps);
};

std::unique_ptr<SqlLink> sql_link_sqlite(const std::string& path);
std::unique_ptr<SqlLink> sql_link_postgresql(const std::string& conninfo);

// What the last use of the database found: up, or down with the reason.
struct LineDbHealth {
  bool up = false;
  std::string reason; // when down
};

// The origin of the line's own audit entries.
constexpr char LINE_AUDIT_ORIGIN[] = "line";

// Which audit entries a query gives, newest first. Empty texts match any.
struct AuditFilter {
  std::string who;
  std::string origin;
  std::string action;
  std::string since; // UTC, at or after
  std::string until; // UTC, before
  size_t limit = 100;
};

// A slot that flashes a product other than its station's.
struct SlotProduct {
  std::string station;
  int64_t slot = 0;
  std::string product;
  std::string set_by;
  std::string set_at;
};

// An image of the firmware catalogue. The file is kept as uploaded, its
// bytes, load address and SHA-256s fixed from the upload on; only its
// state and what goes with it change, and a released one's never again but
// to withdrawn.
struct FirmwareRow {
  int64_t id = 0;
  std::string product;
  std::string version;
  std::string notes;
  std::string format; // "raw binary", "Intel HEX", "S-record"
  int64_t load_address = 0;
  int64_t image_size = 0;
  std::string image_sha256; // of the bytes sent, as runs' records name them
  std::string file_sha256;  // of the file as uploaded (what the signature signs)
  std::string signature;    // hex of the detached Ed25519 signature; empty: none
  std::string state;        // draft, released, withdrawn
  std::string uploaded_by;
  std::string uploaded_at;
  std::string approved_by; // the engineers who released it, comma-separated
  std::string released_at;
  int64_t max_units = 0; // 0: no limit
  std::string withdrawn_by;
  std::string withdrawn_at;
  std::string withdraw_reason;
};

struct LineTotals {
  int64_t upgraded = 0;
  int64_t failed = 0;
};

class LineDb {
public:
  // "sqlite:FILE", or a PostgreSQL connection string or URI, for the rows of
  // the line named `line`; it does not connect yet: see start(). Without a
  // name (a command on credentials) a table of an earlier version is left
  // for the line to convert.
  static std::unique_ptr<LineDb> open(const std::string& url, const std::string& line = "");
  explicit LineDb(std::unique_ptr<SqlLink> link, std::string line = "");

  // Connects and creates the tables when missing.
  LineDbResult start();
  // Inserts the rows of `station` in one transaction; *have_through is then
  // the highest N such that rows 1 to N of the station are all held,
  // *added counts the rows that were new, and *fresh holds their places in
  // `rows`. Once the rows are committed the call is ok.
  LineDbResult store(const std::string& station, const std::vector<RunRow>& rows,
                     const std::string& received_at, int64_t* have_through, LineTotals* added,
                     std::vector<size_t>* fresh);
  // The highest N such that rows 1 to N of `station` are all held, as the
  // database holds them now.
  LineDbResult held_through(const std::string& station, int64_t* have_through);
  // The rows `filter` asks for, newest first (by started_at, station_seq and
  // station), from just past `after` on when it is set.
  LineDbResult query(const RecordFilter& filter, const RecordCursor* after,
                     std::vector<RunRow>* rows);
  LineDbResult totals(LineTotals* totals);
  // The figures of the runs that began within `period` (see line_stats.h).
  LineDbResult stats(const StatsPeriod& period, LineStats* stats);
  // The stations that sent rows since `since` (UTC), the latest first, at
  // most `most`.
  LineDbResult stations(const std::string& since, size_t most, std::vector<std::string>* names);
  // A new credential; `conflict` when the name has a valid one.
  LineDbResult credential_add(const CredentialRow& row);
  // Revokes the name's credential at `at` (UTC); `conflict` when it has none.
  LineDbResult credential_revoke(const std::string& name, const std::string& at);
  // Every credential, revoked ones too, by name.
  LineDbResult credentials(std::vector<CredentialRow>* rows);
  // The people who sign in on the line and at its stations (source line).
  // conflict: added who is there, or changed who is not.
  LineDbResult person_add(const PersonRow& row);
  LineDbResult person_change(const PersonRow& row);
  LineDbResult people(std::vector<PersonRow>* rows);
  LineDbResult person(const std::string& name, PersonRow* row, bool* found);

  // The line's own audit trail (origin LINE_AUDIT_ORIGIN): an entry chained
  // to the one before, in the transaction that appends it.
  LineDbResult audit_append(const std::string& origin, const std::string& at,
                            const std::string& who, const std::string& action,
                            const std::string& subject, const std::string& details,
                            AuditEntry* made = nullptr);
  // A station's entries, in order: each must follow the entry the line holds
  // before it (or be the one it holds under its number); conflict for one
  // that does not, and nothing of the batch is stored. *have_through: the
  // highest number the line holds of the origin.
  LineDbResult audit_store(const std::string& origin, const std::vector<AuditEntry>& entries,
                           const std::string& received_at, int64_t* have_through);
  LineDbResult audit_query(const AuditFilter& filter, std::vector<AuditEntry>* entries);
  // Every entry of `origin`, in order.
  LineDbResult audit_chain(const std::string& origin, std::vector<AuditEntry>* entries);
  LineDbResult audit_origins(std::vector<std::string>* origins);

  // The firmware catalogue. An image added takes the next id (*row's id is
  // set); conflict when its product has that version already.
  LineDbResult firmware_add(FirmwareRow* row, const std::string& file);
  // Every image, the newest first, without their files.
  LineDbResult firmware_list(std::vector<FirmwareRow>* rows);
  // One image; its file too when `file` is not null.
  LineDbResult firmware_get(int64_t id, FirmwareRow* row, bool* found, std::string* file = nullptr);
  // Writes the state and what goes with it (approvals, release time, unit
  // limit, withdrawal), only while the image is still in `was`: conflict
  // when another change came first.
  LineDbResult firmware_change(const FirmwareRow& row, const std::string& was);
  // A station's allowance of units of a release of at most `max_units`:
  // its runs so far (`spent`, never less than it said before), and either
  // up to `want` more granted out of what no station holds, or, with
  // give_back, what it holds unspent given back. *granted: all it was
  // granted; *left: what no station holds.
  LineDbResult allowance(int64_t release, const std::string& station, int64_t max_units,
                         int64_t spent, int64_t want, bool give_back, int64_t* granted,
                         int64_t* left);
  // The product's current release: the image released last, withdrawn
  // since or not (a withdrawn one stops the stations; none falls back to an
  // earlier release). *found false when it has none.
  LineDbResult firmware_current(const std::string& product, FirmwareRow* row, bool* found);

  // The products given to slots: of one station, or (empty) of all.
  LineDbResult slot_products(const std::string& station, std::vector<SlotProduct>* rows);
  // Gives a station's slot a product; an empty product takes it away.
  LineDbResult slot_product_set(const SlotProduct& row);

  // A statement that does nothing, so that a database that went away (or
  // came back) is noticed while no station sends rows.
  LineDbResult ping();
  LineDbHealth health() const;

private:
  LineDbResult ready();
  LineDbResult make_tables();
  LineDbResult convert(int64_t held);
  // A statement on the link, its result noted.
  LineDbResult run(const std::string& sql, const std::vector<SqlValue>& params,
                   std::vector<SqlRow>* rows);
  LineDbResult run_all(std::vector<SqlStep>* steps);
  // Keeps what `result` tells of the database's health, and gives it back.
  LineDbResult noted(LineDbResult result);
  // A step that walks the station's rows on from `from`, known held
  // without a gap, as far as they go on without one; and where it went.
  SqlStep walk(const std::string& station, int64_t from) const;
  static int64_t walked(const SqlStep& walk, int64_t from);
  LineDbResult same_as_held(const std::string& station, const RunRow& row);
  // BEGIN and the statements that insert `rows`: each fails on a row held
  // already, or, `unless_held`, changes nothing then.
  std::vector<SqlStep> row_inserts(const std::vector<RunRow>& rows, const std::string& received_at,
                                   bool unless_held) const;
  // Appends what closes a batch whose rows `new_rows` (places in `rows`)
  // were new: their figures, the walk and COMMIT; where the walk stands.
  size_t closed(const std::string& station, const std::vector<RunRow>& rows,
                const std::vector<size_t>& new_rows, const std::string& received_at,
                std::vector<SqlStep>* steps) const;
  // orva_run_figures, what the figures need of each run (line_db_stats.cpp):
  // made and, when it does not hold each of the line's rows, filled anew
  // (not without the line's name);
  // then kept (the steps that do it) as a station's rows numbered `first`
  // to `last` that arrived at `received_at` are added.
  LineDbResult figures_make();
  std::vector<SqlStep> figures_keep(const std::string& station, int64_t first, int64_t last,
                                    const std::string& received_at) const;
  // Engine-specific pieces of a statement: a time given as $N, a time
  // column read back as the store's text, and "AND line = $N" (PostgreSQL)
  // with the line's name added to `params`.
  std::string time_in(size_t n) const;
  std::string time_out(const char* column) const;
  std::string of_line(std::vector<SqlValue>* params, const char* column = "line") const;
  std::string columns_out() const;

  mutable std::mutex mutex_;
  std::unique_ptr<SqlLink> link_;
  const std::string line_;
  LineDbHealth health_;
  bool schema_ = false;
  // Per station, an N known held without a gap: the database takes no row
  // away, but held_through() checks it again (a restored backup may have).
  std::map<std::string, int64_t> known_;
  std::chrono::steady_clock::time_point next_try_{};
};

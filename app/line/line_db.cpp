#include "app/line/line_db.h"

#include "records/record_csv.h"

namespace {

const char SCHEMA[][700] = {
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
    // Who may report and read: each credential's token kept as its SHA-256
    // only; a revoked one keeps its row.
    "CREATE TABLE IF NOT EXISTS orva_credentials (name text PRIMARY KEY, role text NOT NULL,"
    " token_sha256 text NOT NULL UNIQUE, created_at text NOT NULL, revoked_at text)",
};

const char COLUMNS[] =
    "run_id, station_seq, station, slot, port, usb_location, usb_serial, tag, image_sha256,"
    " image_size, load_address, image_source, program_version, started_at, ended_at, result,"
    " step, last_text, frames, retransmissions";

// The highest gapless station_seq from a known one on: the first held row
// whose next is missing.
const char HAVE_THROUGH[] =
    "SELECT MIN(s) FROM (SELECT station_seq AS s FROM orva_runs WHERE station = $1 AND"
    " station_seq >= CAST($2 AS bigint) UNION ALL SELECT CAST($2 AS bigint)) held WHERE NOT EXISTS"
    " (SELECT 1 FROM orva_runs n WHERE n.station = $1 AND n.station_seq = held.s + 1)";

// The rows the line holds under a row's run_id or its station and number:
// SELECT COLUMNS and this.
const char HELD[] = " FROM orva_runs WHERE run_id = $1 OR (station = $2 AND"
                    " station_seq = CAST($3 AS bigint))";

// Whether the row numbered $2 of station $1 is still held.
const char HOLDS[] =
    "SELECT 1 FROM orva_runs WHERE station = $1 AND station_seq = CAST($2 AS bigint)";

// How much of each value a conflict quotes.
constexpr size_t QUOTE_MAX = 40;

int64_t number_of(const SqlValue& cell) {
  return cell ? std::stoll(*cell) : 0;
}

RunRow row_of(const SqlRow& cells) {
  RunRow row;
  size_t c = 0;
  const auto text = [&] { return cells[c] ? *cells[c++] : (++c, std::string()); };
  const auto number = [&] { return number_of(cells[c++]); };
  row.run_id = text();
  row.station_seq = number();
  row.station = text();
  row.slot = number();
  row.port = text();
  row.usb_location = text();
  row.usb_serial = text();
  row.tag = text();
  row.image_sha256 = text();
  row.image_size = number();
  row.load_address = number();
  row.image_source = text();
  row.program_version = text();
  row.started_at = text();
  row.ended_at = text();
  row.result = text();
  row.step = text();
  row.last_text = text();
  row.frames = number();
  row.retransmissions = number();
  return row;
}

// "VALUE", cut short (at a character's start) with "...".
std::string quoted(const std::string& value) {
  if (value.size() <= QUOTE_MAX) return "\"" + value + "\"";
  size_t cut = QUOTE_MAX - 3;
  while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
  return "\"" + value.substr(0, cut) + "...\"";
}

// Why `sent` is not `held`, column by column; empty when they are equal. A
// row held under the same number with another run_id (or the other way
// round) is most likely a station whose store was replaced.
std::string difference(const RunRow& sent, const RunRow& held) {
  const std::vector<std::string> a = record_cells(sent);
  const std::vector<std::string> b = record_cells(held);
  for (size_t i = 0; i < RECORD_COLUMN_COUNT; ++i) {
    if (a[i] == b[i]) continue;
    std::string why = "row " + std::to_string(sent.station_seq) + " of station '" + sent.station +
                      "' (run " + sent.run_id + "): " + RECORD_COLUMNS[i] +
                      " differs from the row the line holds (held " + quoted(b[i]) + ", sent " +
                      quoted(a[i]) + ")";
    if (i <= 2) {
      why += ": was the station's record store replaced? Give the station a new --station-name";
    }
    return why + "; nothing of this batch is stored";
  }
  return "";
}

} // namespace

std::unique_ptr<LineDb> LineDb::open(const std::string& url) {
  const std::string sqlite = "sqlite:";
  if (url.rfind(sqlite, 0) == 0) {
    return std::make_unique<LineDb>(sql_link_sqlite(url.substr(sqlite.size())));
  }
  return std::make_unique<LineDb>(sql_link_postgresql(url));
}

LineDbResult LineDb::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ready();
}

LineDbResult LineDb::ping() {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  return up.ok() ? run("SELECT 1", {}, nullptr) : up;
}

LineDbHealth LineDb::health() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return health_;
}

LineDbResult LineDb::run(const std::string& sql, const std::vector<SqlValue>& params,
                         std::vector<SqlRow>* rows) {
  return noted(link_->run(sql, params, rows));
}

LineDbResult LineDb::noted(LineDbResult result) {
  // A statement the database refused says nothing of whether it is there.
  if (result.status == LineDbStatus::refused) return result;
  health_.up = result.status != LineDbStatus::down;
  health_.reason = health_.up ? "" : result.reason;
  return result;
}

// Connected, with the tables; tried again no sooner than LINE_DB_RETRY_MS
// after a failure, so that a database that is down costs a client nothing.
LineDbResult LineDb::ready() {
  if (link_->connected() && schema_) return {};
  const auto now = std::chrono::steady_clock::now();
  if (now < next_try_) return {LineDbStatus::down, "the line's database is down"};
  next_try_ = now + std::chrono::milliseconds(LINE_DB_RETRY_MS);
  schema_ = false;
  if (!link_->connected()) {
    const LineDbResult connected = noted(link_->connect());
    if (!connected.ok()) return connected;
  }
  for (const char* statement : SCHEMA) {
    const LineDbResult made = run(statement, {}, nullptr);
    if (!made.ok()) return made;
  }
  std::vector<SqlRow> version;
  LineDbResult read = run("SELECT MAX(version) FROM orva_schema", {}, &version);
  if (!read.ok()) return read;
  if (version.empty() || !version[0][0]) {
    read = run("INSERT INTO orva_schema (version) VALUES (CAST($1 AS integer))",
               {std::to_string(LINE_SCHEMA_VERSION)}, nullptr);
    if (!read.ok()) return read;
  } else if (number_of(version[0][0]) > LINE_SCHEMA_VERSION) {
    return {LineDbStatus::refused, "orva_runs has schema version " + *version[0][0] +
                                       ", newer than this program's " +
                                       std::to_string(LINE_SCHEMA_VERSION) + ": update it"};
  }
  schema_ = true;
  return {};
}

LineDbResult LineDb::held_through(const std::string& station, int64_t* n) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  // A database restored from a backup has lost what was known: counted
  // again from the first row.
  int64_t& known = known_[station];
  if (known > 0) {
    std::vector<SqlRow> found;
    const LineDbResult read = run(HOLDS, {station, std::to_string(known)}, &found);
    if (!read.ok()) return read;
    if (found.empty()) known = 0;
  }
  return have_through(station, n);
}

LineDbResult LineDb::have_through(const std::string& station, int64_t* n) {
  std::vector<SqlRow> rows;
  int64_t& known = known_[station];
  const LineDbResult read = run(HAVE_THROUGH, {station, std::to_string(known)}, &rows);
  if (!read.ok()) return read;
  known = rows.empty() ? known : number_of(rows[0][0]);
  *n = known;
  return {};
}

LineDbResult LineDb::store(const std::string& station, const std::vector<RunRow>& rows,
                           const std::string& received_at, int64_t* through, LineTotals* added,
                           std::vector<size_t>* fresh_rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  LineDbResult done = ready();
  if (!done.ok()) return done;
  std::string insert = std::string("INSERT INTO orva_runs (") + COLUMNS + ", received_at) VALUES (";
  for (size_t i = 1; i <= RECORD_COLUMN_COUNT + 1; ++i) {
    const bool number = i <= RECORD_COLUMN_COUNT && record_column_is_number(i - 1);
    insert += (i > 1 ? ", " : "") + std::string(number ? "CAST($" : "$") + std::to_string(i) +
              (number ? " AS bigint)" : "");
  }
  insert += ") ON CONFLICT DO NOTHING";
  LineTotals fresh;
  std::vector<size_t> new_rows;
  done = run("BEGIN", {}, nullptr);
  for (size_t r = 0; done.ok() && r < rows.size(); ++r) {
    const std::vector<std::string> cells = record_cells(rows[r]);
    std::vector<SqlValue> params;
    for (size_t i = 0; i < RECORD_COLUMN_COUNT; ++i) {
      if (cells[i].empty() && record_column_is_null_when_empty(i)) params.emplace_back();
      else params.emplace_back(cells[i]);
    }
    params.emplace_back(received_at);
    done = run(insert, params, nullptr);
    if (done.ok() && link_->changes() > 0) {
      fresh.upgraded += rows[r].result == "ok";
      fresh.failed += rows[r].result == "failed";
      new_rows.push_back(r);
    } else if (done.ok()) {
      // Held already: it must be the very row sent, in every column, or a
      // row sent again could rewrite what happened (or be taken for held).
      std::vector<SqlRow> held;
      done = run(std::string("SELECT ") + COLUMNS + HELD,
                 {rows[r].run_id, station, std::to_string(rows[r].station_seq)}, &held);
      for (size_t h = 0; done.ok() && h < held.size(); ++h) {
        if (held[h].size() != RECORD_COLUMN_COUNT) continue;
        const std::string why = difference(rows[r], row_of(held[h]));
        if (!why.empty()) done = {LineDbStatus::conflict, why};
      }
    }
  }
  if (done.ok()) done = run("COMMIT", {}, nullptr);
  if (!done.ok()) {
    if (link_->connected()) run("ROLLBACK", {}, nullptr);
    return done;
  }
  *added = fresh;
  *fresh_rows = std::move(new_rows);
  return have_through(station, through);
}

LineDbResult LineDb::query(const RecordFilter& filter, std::vector<RunRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::string sql = std::string("SELECT ") + COLUMNS + " FROM orva_runs WHERE 1 = 1";
  std::vector<SqlValue> params;
  const auto where = [&](const char* column, const char* op, const std::string& value) {
    if (value.empty()) return;
    params.emplace_back(value);
    sql += std::string(" AND ") + column + op + "$" + std::to_string(params.size());
  };
  where("station", " = ", filter.station);
  where("tag", " = ", filter.tag);
  where("result", " = ", filter.result);
  where("started_at", " >= ", filter.since);
  sql += " ORDER BY started_at DESC, station_seq DESC LIMIT " + std::to_string(filter.limit);
  std::vector<SqlRow> found;
  const LineDbResult read = run(sql, params, &found);
  if (!read.ok()) return read;
  rows->clear();
  for (const SqlRow& cells : found) {
    if (cells.size() == RECORD_COLUMN_COUNT) rows->push_back(row_of(cells));
  }
  return {};
}

LineDbResult LineDb::totals(LineTotals* totals) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlRow> rows;
  const LineDbResult read =
      run("SELECT result, COUNT(*) FROM orva_runs WHERE result IN ('ok', 'failed') GROUP BY result",
          {}, &rows);
  if (!read.ok()) return read;
  *totals = LineTotals{};
  for (const SqlRow& row : rows) {
    if (row.size() != 2 || !row[0]) continue;
    (*row[0] == "ok" ? totals->upgraded : totals->failed) = number_of(row[1]);
  }
  return {};
}

LineDbResult LineDb::credential_add(const CredentialRow& row) {
  std::lock_guard<std::mutex> lock(mutex_);
  LineDbResult done = ready();
  if (!done.ok()) return done;
  // A revoked name may be given a credential again; a valid one may not.
  done =
      run("INSERT INTO orva_credentials (name, role, token_sha256, created_at)"
          " VALUES ($1, $2, $3, $4) ON CONFLICT (name) DO UPDATE SET role = excluded.role,"
          " token_sha256 = excluded.token_sha256, created_at = excluded.created_at,"
          " revoked_at = NULL WHERE orva_credentials.revoked_at IS NOT NULL",
          {row.name, std::string(role_name(row.role)), row.token_sha256, row.created_at}, nullptr);
  if (done.ok() && link_->changes() == 0) {
    return {LineDbStatus::conflict, "'" + row.name + "' has a credential: revoke it first"};
  }
  return done;
}

LineDbResult LineDb::credential_revoke(const std::string& name, const std::string& at) {
  std::lock_guard<std::mutex> lock(mutex_);
  LineDbResult done = ready();
  if (!done.ok()) return done;
  done = run("UPDATE orva_credentials SET revoked_at = $2 WHERE name = $1 AND revoked_at IS NULL",
             {name, at}, nullptr);
  if (done.ok() && link_->changes() == 0) {
    return {LineDbStatus::conflict, "'" + name + "' has no valid credential"};
  }
  return done;
}

LineDbResult LineDb::credentials(std::vector<CredentialRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlRow> found;
  const LineDbResult read = run("SELECT name, role, token_sha256, created_at, revoked_at"
                                " FROM orva_credentials ORDER BY name",
                                {}, &found);
  if (!read.ok()) return read;
  rows->clear();
  for (const SqlRow& cells : found) {
    if (cells.size() != 5 || !cells[0] || !cells[1] || !cells[2]) continue;
    const std::optional<Role> role = role_from_name(*cells[1]);
    if (!role) continue;
    rows->push_back(
        CredentialRow{*cells[0], *role, *cells[2], cells[3].value_or(""), cells[4].value_or("")});
  }
  return {};
}

LineDbResult LineDb::stations(const std::string& since, size_t most,
                              std::vector<std::string>* names) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlRow> rows;
  const LineDbResult read = run("SELECT station FROM orva_runs GROUP BY station"
                                " HAVING MAX(received_at) >= $1 ORDER BY MAX(received_at) DESC"
                                " LIMIT " +
                                    std::to_string(most),
                                {since}, &rows);
  if (!read.ok()) return read;
  names->clear();
  for (const SqlRow& row : rows) {
    if (!row.empty() && row[0]) names->push_back(*row[0]);
  }
  return {};
}

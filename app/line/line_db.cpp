#include "app/line/line_db.h"

#include <algorithm>
#include <set>

#include "records/record_csv.h"

namespace {

// Tables made when missing, and their indexes. orva_runs is the line's own
// in PostgreSQL (the version in orva_schema says which shape it has); an
// SQLite file keeps the shape of version 1, its times texts.
const char SCHEMA_TABLE[] = "CREATE TABLE IF NOT EXISTS orva_schema (version integer NOT NULL)";
const char RUNS_SQLITE[] =
    "CREATE TABLE IF NOT EXISTS orva_runs ("
    " run_id text PRIMARY KEY, station_seq bigint NOT NULL, station text NOT NULL, slot bigint,"
    " port text NOT NULL, usb_location text, usb_serial text, tag text,"
    " image_sha256 text NOT NULL, image_size bigint NOT NULL, load_address bigint NOT NULL,"
    " image_source text NOT NULL, program_version text NOT NULL, started_at text NOT NULL,"
    " ended_at text, result text NOT NULL, step text, last_text text, frames bigint NOT NULL,"
    " retransmissions bigint NOT NULL, received_at text NOT NULL,"
    " UNIQUE (station, station_seq))";
// Version 3 names each run's operator, version 4 the release it flashed; a
// table made by an earlier version gains the columns at its end, where a new
// one has them too.
const char* const ADDED_COLUMNS[] = {"operator", "product", "release_version"};
// The line column comes last, where converting a table of version 1 puts it.
const char RUNS_POSTGRESQL[] =
    "CREATE TABLE IF NOT EXISTS orva_runs ("
    " run_id text PRIMARY KEY, station_seq bigint NOT NULL, station text NOT NULL, slot bigint,"
    " port text NOT NULL, usb_location text, usb_serial text, tag text,"
    " image_sha256 text NOT NULL, image_size bigint NOT NULL, load_address bigint NOT NULL,"
    " image_source text NOT NULL, program_version text NOT NULL, started_at timestamptz NOT NULL,"
    " ended_at timestamptz, result text NOT NULL CONSTRAINT orva_runs_result CHECK (result IN "
    "RESULTS), step text, last_text text, frames bigint NOT NULL,"
    " retransmissions bigint NOT NULL, received_at timestamptz NOT NULL, line text NOT NULL,"
    " CONSTRAINT orva_runs_line_station_seq UNIQUE (line, station, station_seq))";
// Who signs in: each person's secret kept as scrypt's output only; a
// disabled one keeps the row.
const char PEOPLE_TABLE[] =
    "CREATE TABLE IF NOT EXISTS orva_people (name text PRIMARY KEY, role text NOT NULL,"
    " secret_hash text NOT NULL, created_at text NOT NULL, disabled_at text)";
// The audit trails, the line's own ("line") and each station's, appended
// to only (a plant may give the line's role INSERT and SELECT alone on it).
// Times stay texts: each entry's hash is made of them as they are.
const char AUDIT_TABLE[] =
    "CREATE TABLE IF NOT EXISTS orva_audit (origin text NOT NULL, seq bigint NOT NULL,"
    " at text NOT NULL, who text NOT NULL, action text NOT NULL, subject text NOT NULL,"
    " details text NOT NULL, prev_hash text NOT NULL, hash text NOT NULL,"
    " received_at text NOT NULL, PRIMARY KEY (origin, seq))";
// The firmware catalogue, shared by the lines of one database: the file as
// uploaded (hex), what the loader made of it, and its state.
const char FIRMWARE_TABLE[] =
    "CREATE TABLE IF NOT EXISTS orva_firmware (id bigint PRIMARY KEY, product text NOT NULL,"
    " version text NOT NULL, notes text NOT NULL, format text NOT NULL,"
    " load_address bigint NOT NULL, image_size bigint NOT NULL, image_sha256 text NOT NULL,"
    " file_sha256 text NOT NULL, file_hex text NOT NULL, signature text, state text NOT NULL"
    " CHECK (state IN ('draft', 'released', 'withdrawn')), uploaded_by text NOT NULL,"
    " uploaded_at text NOT NULL, approved_by text NOT NULL, released_at text, max_units bigint,"
    " withdrawn_by text, withdrawn_at text, withdraw_reason text, UNIQUE (product, version))";
// What each station holds of each limited release: units granted and its
// runs so far. Given back, granted comes down to spent.
const char ALLOWANCES_TABLE[] =
    "CREATE TABLE IF NOT EXISTS orva_allowances (release_id bigint NOT NULL, station text NOT"
    " NULL, granted bigint NOT NULL, spent bigint NOT NULL, PRIMARY KEY (release_id, station))";
// The product an engineer gave a station's slot from the line's page; a
// slot without one flashes its station's own product.
const char SLOT_PRODUCTS_TABLE[] =
    "CREATE TABLE IF NOT EXISTS orva_slot_products (station text NOT NULL, slot integer NOT NULL,"
    " product text NOT NULL, set_by text NOT NULL, set_at text NOT NULL,"
    " PRIMARY KEY (station, slot))";
const char AUDIT_INDEX[] = "CREATE INDEX IF NOT EXISTS orva_audit_at ON orva_audit (at)";
const char* const INDEXES[] = {
    "CREATE INDEX IF NOT EXISTS orva_runs_tag ON orva_runs (tag)",
    // The order the records come in, newest first, to the last column.
    "CREATE INDEX IF NOT EXISTS orva_runs_started ON orva_runs (started_at, station_seq, station)",
    // A unit's runs in the order of the records, with their results: the
    // figures look along it for the runs of a unit before a run.
    ("CREATE INDEX IF NOT EXISTS orva_runs_unit ON orva_runs"
     " (tag, started_at, station, station_seq, result)"),
};
// Who may report and read: each credential's token kept as its SHA-256
// only; a revoked one keeps its row.
const char CREDENTIALS_TABLE[] =
    "CREATE TABLE IF NOT EXISTS orva_credentials (name text PRIMARY KEY, role text NOT NULL,"
    " token_sha256 text NOT NULL UNIQUE, created_at text NOT NULL, revoked_at text)";

// A table of version 1 made a table of version 2, in place. Its rows were
// all of one line, or of lines that nothing told apart: they are given the
// name of the line that converts them.
const char CONVERT_TIMES[] =
    "ALTER TABLE orva_runs"
    " ALTER COLUMN started_at TYPE timestamptz USING CAST(started_at AS timestamptz),"
    " ALTER COLUMN ended_at TYPE timestamptz USING CAST(ended_at AS timestamptz),"
    " ALTER COLUMN received_at TYPE timestamptz USING CAST(received_at AS timestamptz),"
    " ADD COLUMN line text";
const char CONVERT_CONSTRAINTS[] =
    "ALTER TABLE orva_runs ALTER COLUMN line SET NOT NULL,"
    " ADD CONSTRAINT orva_runs_result CHECK (result IN RESULTS),"
    " DROP CONSTRAINT IF EXISTS orva_runs_station_station_seq_key,"
    " ADD CONSTRAINT orva_runs_line_station_seq UNIQUE (line, station, station_seq)";
// Both engines: the records' order to its last column.
const char DROP_OLD_INDEX[] = "DROP INDEX IF EXISTS orva_runs_started_at";

const char COLUMNS[] =
    "run_id, station_seq, station, slot, port, usb_location, usb_serial, tag, image_sha256,"
    " image_size, load_address, image_source, program_version, started_at, ended_at, result,"
    " step, last_text, frames, retransmissions, operator, product, release_version";

// The highest gapless station_seq from a known one on, walked row by row
// along the (line,) station, station_seq index: only the rows past what was
// known are read, and none when the next is missing. Each step looks up
// one row (a subquery the planner cannot turn into a scan of the station);
// 1 is added only to a number the walk reached without a gap, never to one
// a row brought alone (9223372036854775807 once stopped a station for
// good).
const char HAVE_THROUGH[] =
    "WITH RECURSIVE walk(s) AS (SELECT CAST($2 AS bigint) UNION ALL SELECT (SELECT r.station_seq"
    " FROM orva_runs r WHERE r.station = $1 AND r.station_seq = walk.s + 1 LINE) FROM walk"
    " WHERE walk.s IS NOT NULL) SELECT MAX(s) FROM walk";

// The rows the line holds under a row's run_id or its station and number:
// SELECT COLUMNS and this.
const char HELD[] = " FROM orva_runs WHERE run_id = $1 OR (station = $2 AND"
                    " station_seq = CAST($3 AS bigint) LINE)";

// Whether the row numbered $2 of station $1 is still held.
const char HOLDS[] =
    "SELECT 1 FROM orva_runs WHERE station = $1 AND station_seq = CAST($2 AS bigint) LINE";

// `sql` with every WORD replaced by `by`.
std::string replaced(std::string sql, const std::string& word, const std::string& by) {
  for (size_t at = 0; (at = sql.find(word, at)) != std::string::npos; at += by.size()) {
    sql.replace(at, word.size(), by);
  }
  return sql;
}

// ('running', 'ok', ...): the results a row may have, as SQL.
std::string results_sql() {
  std::string list;
  for (const std::string& result : record_results())
    list += (list.empty() ? "'" : ", '") + result + "'";
  return "(" + list + ")";
}

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
  row.operator_name = text();
  row.product = text();
  row.release_version = text();
  return row;
}

// "VALUE", cut short (at a character's start) with "...".
std::string quoted(const std::string& value) {
  if (value.size() <= QUOTE_MAX) return "\"" + value + "\"";
  return "\"" + record_text_cut(value, QUOTE_MAX - 3) + "...\"";
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

std::unique_ptr<LineDb> LineDb::open(const std::string& url, const std::string& line) {
  const std::string sqlite = "sqlite:";
  if (url.rfind(sqlite, 0) == 0) {
    return std::make_unique<LineDb>(sql_link_sqlite(url.substr(sqlite.size())), line);
  }
  return std::make_unique<LineDb>(sql_link_postgresql(url), line);
}

LineDb::LineDb(std::unique_ptr<SqlLink> link, std::string line)
    : link_(std::move(link)), line_(std::move(line)) {}

std::string LineDb::time_in(size_t n) const {
  const std::string param = "$" + std::to_string(n);
  return link_->typed() ? "CAST(" + param + " AS timestamptz)" : param;
}

std::string LineDb::time_out(const char* column) const {
  if (!link_->typed()) return column;
  return std::string("to_char(") + column +
         " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
}

std::string LineDb::of_line(std::vector<SqlValue>* params, const char* column) const {
  if (!link_->typed()) return "";
  params->emplace_back(line_);
  return std::string(" AND ") + column + " = $" + std::to_string(params->size());
}

// The record's columns, the times as the store writes them.
std::string LineDb::columns_out() const {
  std::string list;
  for (size_t i = 0; i < RECORD_COLUMN_COUNT; ++i) {
    const std::string name = RECORD_COLUMNS[i];
    const bool time = name == "started_at" || name == "ended_at";
    list += (i > 0 ? ", " : "") + (time ? time_out(RECORD_COLUMNS[i]) : name);
  }
  return list;
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

LineDbResult SqlLink::run_all(std::vector<SqlStep>* steps) {
  for (SqlStep& step : *steps) {
    const LineDbResult done = run(step.sql, step.params, &step.rows);
    if (!done.ok()) return done;
    step.changes = changes();
  }
  return {};
}

LineDbResult LineDb::run(const std::string& sql, const std::vector<SqlValue>& params,
                         std::vector<SqlRow>* rows) {
  return noted(link_->run(sql, params, rows));
}

LineDbResult LineDb::run_all(std::vector<SqlStep>* steps) {
  return noted(link_->run_all(steps));
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
  // All at once or nothing: a table half made or half converted is never
  // left behind.
  LineDbResult made = run("BEGIN", {}, nullptr);
  if (made.ok()) made = make_tables();
  if (made.ok()) made = figures_make();
  if (made.ok()) made = run("COMMIT", {}, nullptr);
  if (!made.ok()) {
    if (link_->connected()) run("ROLLBACK", {}, nullptr);
    return made;
  }
  schema_ = true;
  return {};
}

LineDbResult LineDb::make_tables() {
  const bool typed = link_->typed();
  std::vector<std::string> statements = {SCHEMA_TABLE,
                                         typed ? replaced(RUNS_POSTGRESQL, "RESULTS", results_sql())
                                               : RUNS_SQLITE};
  statements.insert(statements.end(), std::begin(INDEXES), std::end(INDEXES));
  statements.emplace_back(CREDENTIALS_TABLE);
  statements.emplace_back(PEOPLE_TABLE);
  statements.emplace_back(AUDIT_TABLE);
  statements.emplace_back(AUDIT_INDEX);
  statements.emplace_back(FIRMWARE_TABLE);
  statements.emplace_back(ALLOWANCES_TABLE);
  statements.emplace_back(SLOT_PRODUCTS_TABLE);
  // Two lines that start at once on one database: the second waits here,
  // then finds the table made or converted.
  if (typed) statements.emplace_back("LOCK TABLE orva_schema IN EXCLUSIVE MODE");
  for (const std::string& statement : statements) {
    const LineDbResult done = run(statement, {}, nullptr);
    if (!done.ok()) return done;
  }
  for (const char* column : ADDED_COLUMNS) {
    std::vector<SqlRow> has;
    const LineDbResult looked =
        run(typed ? "SELECT 1 FROM information_schema.columns WHERE table_name = 'orva_runs' AND"
                    " column_name = $1 AND table_schema = current_schema()"
                  : "SELECT 1 FROM pragma_table_info('orva_runs') WHERE name = $1",
            {std::string(column)}, &has);
    if (!looked.ok()) return looked;
    if (has.empty()) {
      const LineDbResult added =
          run("ALTER TABLE orva_runs ADD COLUMN " + std::string(column) + " text", {}, nullptr);
      if (!added.ok()) return added;
    }
  }
  std::vector<SqlRow> version;
  const LineDbResult read = run("SELECT MAX(version) FROM orva_schema", {}, &version);
  if (!read.ok()) return read;
  if (version.empty() || !version[0][0]) {
    return run("INSERT INTO orva_schema (version) VALUES (CAST($1 AS integer))",
               {std::to_string(LINE_SCHEMA_VERSION)}, nullptr);
  }
  const int64_t held = number_of(version[0][0]);
  if (held > LINE_SCHEMA_VERSION) {
    return {LineDbStatus::refused, "orva_runs has schema version " + *version[0][0] +
                                       ", newer than this program's " +
                                       std::to_string(LINE_SCHEMA_VERSION) + ": update it"};
  }
  // A command on credentials leaves the rows to the line, which knows its
  // name.
  if (held == LINE_SCHEMA_VERSION || line_.empty()) return {};
  const LineDbResult converted = convert(held);
  if (converted.ok()) return converted;
  return {converted.status, "cannot convert orva_runs from schema version " + *version[0][0] +
                                " to " + std::to_string(LINE_SCHEMA_VERSION) +
                                " (nothing was changed): " + converted.reason};
}

LineDbResult LineDb::convert(int64_t held) {
  using Step = std::pair<std::string, std::vector<SqlValue>>;
  std::vector<Step> steps;
  // Versions 3 and 4 only added columns (above): from 2 nothing else.
  if (link_->typed() && held < 2) {
    // Every row is rewritten once: however long that takes.
    steps.push_back({"SET LOCAL statement_timeout = 0", {}});
    steps.push_back({CONVERT_TIMES, {}});
    steps.push_back({"UPDATE orva_runs SET line = $1", {line_}});
    steps.push_back({replaced(CONVERT_CONSTRAINTS, "RESULTS", results_sql()), {}});
  }
  steps.push_back({DROP_OLD_INDEX, {}});
  steps.push_back({"UPDATE orva_schema SET version = CAST($1 AS integer)",
                   {std::to_string(LINE_SCHEMA_VERSION)}});
  for (const Step& step : steps) {
    const LineDbResult done = run(step.first, step.second, nullptr);
    if (!done.ok()) return done;
  }
  return {};
}

LineDbResult LineDb::held_through(const std::string& station, int64_t* n) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  // A database restored from a backup has lost what was known: counted
  // again from the first row. Whether the row known is still there is asked
  // along with the walk on from it.
  int64_t& known = known_[station];
  std::vector<SqlStep> steps;
  if (known > 0) {
    SqlStep holds{"", {station, std::to_string(known)}};
    holds.sql = replaced(HOLDS, " LINE", of_line(&holds.params));
    steps.push_back(std::move(holds));
  }
  steps.push_back(walk(station, known));
  LineDbResult read = run_all(&steps);
  if (read.ok() && known > 0 && steps.front().rows.empty()) {
    known = 0;
    steps = {walk(station, known)};
    read = run_all(&steps);
  }
  if (read.ok()) known = walked(steps.back(), known);
  *n = known;
  return read;
}

// The step that walks the station's rows on from `from`, known held
// without a gap, as far as they go on without one.
SqlStep LineDb::walk(const std::string& station, int64_t from) const {
  SqlStep step{"", {station, std::to_string(from)}};
  step.sql = replaced(HAVE_THROUGH, " LINE", of_line(&step.params, "r.line"));
  return step;
}

int64_t LineDb::walked(const SqlStep& walk, int64_t from) {
  if (walk.rows.empty() || walk.rows[0].empty()) return from;
  return std::max(from, number_of(walk.rows[0][0]));
}

LineDbResult LineDb::store(const std::string& station, const std::vector<RunRow>& rows,
                           const std::string& received_at, int64_t* through, LineTotals* added,
                           std::vector<size_t>* fresh_rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  LineDbResult done = ready();
  if (!done.ok()) return done;
  // Nearly every batch holds only rows the line has not seen: it goes in one
  // exchange, inserted as new, with the figures, the walk and the commit.
  // When anything in it fails (a row held already fails its insert), the
  // exchange is rolled back whole and, the database still there, the batch
  // goes again in two, each held row compared with the one sent.
  std::vector<SqlStep> steps = row_inserts(rows, received_at, false);
  std::vector<size_t> new_rows(rows.size());
  for (size_t r = 0; r < rows.size(); ++r) new_rows[r] = r;
  size_t walk_at = closed(station, rows, new_rows, received_at, &steps);
  done = run_all(&steps);
  if (!done.ok() && link_->connected()) {
    run("ROLLBACK", {}, nullptr);
    steps = row_inserts(rows, received_at, true);
    done = run_all(&steps);
    new_rows.clear();
    for (size_t r = 0; done.ok() && r < rows.size(); ++r) {
      if (steps[r + 1].changes > 0) new_rows.push_back(r);
      else done = same_as_held(station, rows[r]);
    }
    steps.clear();
    walk_at = closed(station, rows, new_rows, received_at, &steps);
    if (done.ok()) done = run_all(&steps);
  }
  if (!done.ok()) {
    if (link_->connected()) run("ROLLBACK", {}, nullptr);
    return done;
  }
  const int64_t walked_to = walked(steps[walk_at], known_[station]);
  known_[station] = walked_to;
  *through = walked_to;
  LineTotals fresh;
  for (const size_t r : new_rows) {
    fresh.upgraded += rows[r].result == "ok";
    fresh.failed += rows[r].result == "failed";
  }
  *added = fresh;
  *fresh_rows = std::move(new_rows);
  return {};
}

std::vector<SqlStep> LineDb::row_inserts(const std::vector<RunRow>& rows,
                                         const std::string& received_at, bool unless_held) const {
  const bool typed = link_->typed();
  std::string insert = std::string("INSERT INTO orva_runs (") + COLUMNS + ", received_at" +
                       (typed ? ", line" : "") + ") VALUES (";
  for (size_t i = 1; i <= RECORD_COLUMN_COUNT + 1; ++i) {
    const std::string name = i <= RECORD_COLUMN_COUNT ? RECORD_COLUMNS[i - 1] : "received_at";
    const bool number = i <= RECORD_COLUMN_COUNT && record_column_is_number(i - 1);
    const bool time = name == "started_at" || name == "ended_at" || name == "received_at";
    insert += i > 1 ? ", " : "";
    if (number) insert += "CAST($" + std::to_string(i) + " AS bigint)";
    else if (time) insert += time_in(i);
    else insert += "$" + std::to_string(i);
  }
  insert += std::string(typed ? ", $" + std::to_string(RECORD_COLUMN_COUNT + 2) : "") + ")" +
            (unless_held ? " ON CONFLICT DO NOTHING" : "");
  std::vector<SqlStep> steps{{"BEGIN", {}}};
  for (const RunRow& row : rows) {
    const std::vector<std::string> cells = record_cells(row);
    SqlStep step{insert, {}};
    for (size_t i = 0; i < RECORD_COLUMN_COUNT; ++i) {
      if (cells[i].empty() && record_column_is_null_when_empty(i)) step.params.emplace_back();
      else step.params.emplace_back(cells[i]);
    }
    step.params.emplace_back(received_at);
    if (typed) step.params.emplace_back(line_);
    steps.push_back(std::move(step));
  }
  return steps;
}

size_t LineDb::closed(const std::string& station, const std::vector<RunRow>& rows,
                      const std::vector<size_t>& new_rows, const std::string& received_at,
                      std::vector<SqlStep>* steps) const {
  if (!new_rows.empty()) {
    int64_t first = rows[new_rows.front()].station_seq;
    int64_t last = first;
    for (const size_t r : new_rows) {
      first = std::min(first, rows[r].station_seq);
      last = std::max(last, rows[r].station_seq);
    }
    for (SqlStep& step : figures_keep(station, first, last, received_at)) {
      steps->push_back(std::move(step));
    }
  }
  // How far the station's rows go on without a gap, read before the commit:
  // a batch that was committed is answered with it, never with an error.
  const auto known = known_.find(station);
  const size_t walk_at = steps->size();
  steps->push_back(walk(station, known == known_.end() ? 0 : known->second));
  steps->push_back({"COMMIT", {}});
  return walk_at;
}

// A row held already must be the very row sent, in every column, or a row
// sent again could rewrite what happened (or be taken for held).
LineDbResult LineDb::same_as_held(const std::string& station, const RunRow& row) {
  std::vector<SqlValue> params{row.run_id, station, std::to_string(row.station_seq)};
  const std::string held_line = link_->typed() ? ", line" : "";
  const std::string sql =
      "SELECT " + columns_out() + held_line + replaced(HELD, " LINE", of_line(&params));
  std::vector<SqlRow> held;
  const LineDbResult read = run(sql, params, &held);
  if (!read.ok()) return read;
  for (const SqlRow& cells : held) {
    if (cells.size() < RECORD_COLUMN_COUNT) continue;
    if (cells.size() > RECORD_COLUMN_COUNT && cells[RECORD_COLUMN_COUNT] &&
        *cells[RECORD_COLUMN_COUNT] != line_) {
      const std::string other = *cells[RECORD_COLUMN_COUNT];
      return {LineDbStatus::conflict, "row " + std::to_string(row.station_seq) + " of station '" +
                                          station + "' (run " + row.run_id +
                                          ") is held for the line '" + other + "', not '" + line_ +
                                          "': was this line renamed? Start it with --line-name " +
                                          other + "; nothing of this batch is stored"};
    }
    const std::string why = difference(row, row_of(cells));
    if (!why.empty()) return {LineDbStatus::conflict, why};
  }
  return {};
}

LineDbResult LineDb::query(const RecordFilter& filter, const RecordCursor* after,
                           std::vector<RunRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlValue> params;
  std::string sql = "SELECT " + columns_out() + " FROM orva_runs WHERE 1 = 1" + of_line(&params);
  const auto where = [&](const char* column, const char* op, const std::string& value) {
    if (value.empty()) return;
    params.emplace_back(value);
    const bool time = std::string(column) == "started_at";
    sql += std::string(" AND ") + column + op +
           (time ? time_in(params.size()) : "$" + std::to_string(params.size()));
  };
  where("station", " = ", filter.station);
  where("tag", " = ", filter.tag);
  where("result", " = ", filter.result);
  where("started_at", " >= ", filter.since);
  if (after != nullptr) {
    params.emplace_back(after->started_at);
    params.emplace_back(std::to_string(after->station_seq));
    params.emplace_back(after->station);
    const size_t n = params.size();
    sql += " AND (started_at, station_seq, station) < (" + time_in(n - 2) + ", CAST($" +
           std::to_string(n - 1) + " AS bigint), $" + std::to_string(n) + ")";
  }
  sql += " ORDER BY started_at DESC, station_seq DESC, station DESC LIMIT " +
         std::to_string(filter.limit);
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
  std::vector<SqlValue> params;
  const std::string sql =
      "SELECT result, COUNT(*) FROM orva_runs WHERE result IN ('ok', 'failed')" + of_line(&params) +
      " GROUP BY result";
  std::vector<SqlRow> rows;
  const LineDbResult read = run(sql, params, &rows);
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
  std::vector<SqlValue> params{since};
  const std::string sql = "SELECT station FROM orva_runs WHERE 1 = 1" + of_line(&params) +
                          " GROUP BY station HAVING MAX(received_at) >= " + time_in(1) +
                          " ORDER BY MAX(received_at) DESC LIMIT " + std::to_string(most);
  std::vector<SqlRow> rows;
  const LineDbResult read = run(sql, params, &rows);
  if (!read.ok()) return read;
  names->clear();
  for (const SqlRow& row : rows) {
    if (!row.empty() && row[0]) names->push_back(*row[0]);
  }
  return {};
}

namespace {

const char PEOPLE_SELECT[] =
    "SELECT name, role, secret_hash, created_at, disabled_at FROM orva_people";
const char AUDIT_SELECT[] =
    "SELECT origin, seq, at, who, action, subject, details, prev_hash, hash FROM orva_audit";

PersonRow person_of(const SqlRow& cells) {
  PersonRow row;
  row.source = PEOPLE_LINE;
  row.name = cells[0].value_or("");
  row.role = cells[1].value_or("");
  row.secret_hash = cells[2].value_or("");
  row.created_at = cells[3].value_or("");
  row.disabled_at = cells[4].value_or("");
  return row;
}

AuditEntry entry_of(const SqlRow& cells) {
  AuditEntry entry;
  entry.origin = cells[0].value_or("");
  entry.seq = number_of(cells[1]);
  entry.at = cells[2].value_or("");
  entry.who = cells[3].value_or("");
  entry.action = cells[4].value_or("");
  entry.subject = cells[5].value_or("");
  entry.details = cells[6].value_or("");
  entry.prev_hash = cells[7].value_or("");
  entry.hash = cells[8].value_or("");
  return entry;
}

std::vector<SqlValue> entry_params(const AuditEntry& e, const std::string& received_at) {
  return {e.origin,  std::to_string(e.seq), e.at,   e.who,      e.action, e.subject,
          e.details, e.prev_hash,           e.hash, received_at};
}

const char AUDIT_INSERT[] =
    "INSERT INTO orva_audit (origin, seq, at, who, action, subject, details, prev_hash, hash,"
    " received_at) VALUES ($1, CAST($2 AS bigint), $3, $4, $5, $6, $7, $8, $9, $10)";
// The same, only when the entry before it is held under its number with the
// hash this one names.
const char AUDIT_INSERT_AFTER[] =
    "INSERT INTO orva_audit (origin, seq, at, who, action, subject, details, prev_hash, hash,"
    " received_at) SELECT $1, CAST($2 AS bigint), $3, $4, $5, $6, $7, $8, $9, $10 WHERE EXISTS"
    " (SELECT 1 FROM orva_audit WHERE origin = $1 AND seq = CAST($2 AS bigint) - 1 AND hash = $8)";

// Whether each of `entries` follows the one before it in the batch, the
// first of the chain naming its start.
bool chained(const std::vector<AuditEntry>& entries) {
  for (size_t i = 0; i < entries.size(); ++i) {
    const AuditEntry& e = entries[i];
    if (e.seq == 1 ? e.prev_hash != AUDIT_GENESIS : e.seq < 1) return false;
    if (i > 0 && (e.seq != entries[i - 1].seq + 1 || e.prev_hash != entries[i - 1].hash)) {
      return false;
    }
  }
  return true;
}

const char AUDIT_TOP[] = "SELECT MAX(seq) FROM orva_audit WHERE origin = $1";

// The chain is appended to in order: its highest number is how far it is
// held without a gap.
int64_t audit_top(const SqlStep& top) {
  return !top.rows.empty() && !top.rows[0].empty() ? number_of(top.rows[0][0]) : 0;
}

} // namespace

LineDbResult LineDb::person_add(const PersonRow& row) {
  std::lock_guard<std::mutex> lock(mutex_);
  LineDbResult done = ready();
  if (!done.ok()) return done;
  done = run("INSERT INTO orva_people (name, role, secret_hash, created_at) VALUES ($1, $2, $3, $4)"
             " ON CONFLICT (name) DO NOTHING",
             {row.name, row.role, row.secret_hash, row.created_at}, nullptr);
  if (done.ok() && link_->changes() == 0) {
    return {LineDbStatus::conflict, "'" + row.name + "' is on the line already"};
  }
  return done;
}

LineDbResult LineDb::person_change(const PersonRow& row) {
  std::lock_guard<std::mutex> lock(mutex_);
  LineDbResult done = ready();
  if (!done.ok()) return done;
  const SqlValue disabled = row.disabled_at.empty() ? SqlValue() : SqlValue(row.disabled_at);
  done = run("UPDATE orva_people SET role = $2, secret_hash = $3, disabled_at = $4 WHERE name = $1",
             {row.name, row.role, row.secret_hash, disabled}, nullptr);
  if (done.ok() && link_->changes() == 0) {
    return {LineDbStatus::conflict, "no one called '" + row.name + "' is on the line"};
  }
  return done;
}

LineDbResult LineDb::people(std::vector<PersonRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlRow> found;
  const LineDbResult read = run(std::string(PEOPLE_SELECT) + " ORDER BY name", {}, &found);
  if (!read.ok()) return read;
  rows->clear();
  for (const SqlRow& cells : found) {
    if (cells.size() == 5) rows->push_back(person_of(cells));
  }
  return {};
}

LineDbResult LineDb::person(const std::string& name, PersonRow* row, bool* found) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlRow> rows;
  const LineDbResult read = run(std::string(PEOPLE_SELECT) + " WHERE name = $1", {name}, &rows);
  if (!read.ok()) return read;
  *found = !rows.empty() && rows[0].size() == 5;
  if (*found) *row = person_of(rows[0]);
  return {};
}

LineDbResult LineDb::audit_append(const std::string& origin, const std::string& at,
                                  const std::string& who, const std::string& action,
                                  const std::string& subject, const std::string& details,
                                  AuditEntry* made) {
  std::lock_guard<std::mutex> lock(mutex_);
  LineDbResult done = ready();
  if (!done.ok()) return done;
  // The last entry read in the transaction that appends, under a lock that
  // two lines on one database take in turn: no two chain to the same one.
  // (An advisory lock: a role given only SELECT and INSERT on the trail
  // takes it too, where LOCK TABLE would need UPDATE.)
  done = run("BEGIN", {}, nullptr);
  if (done.ok() && link_->typed())
    done = run("SELECT pg_advisory_xact_lock(hashtext('orva_audit'))", {}, nullptr);
  std::vector<SqlRow> last;
  if (done.ok()) {
    done = run(std::string(AUDIT_SELECT) + " WHERE origin = $1 ORDER BY seq DESC LIMIT 1", {origin},
               &last);
  }
  AuditEntry entry;
  if (done.ok()) {
    const std::optional<AuditEntry> before = !last.empty() && last[0].size() == 9
                                                 ? std::optional<AuditEntry>(entry_of(last[0]))
                                                 : std::nullopt;
    entry = audit_next(before ? &*before : nullptr, at, origin, who, action, subject, details);
    done = run(AUDIT_INSERT, entry_params(entry, at), nullptr);
  }
  if (done.ok()) done = run("COMMIT", {}, nullptr);
  if (!done.ok()) {
    if (link_->connected()) run("ROLLBACK", {}, nullptr);
    return done;
  }
  if (made != nullptr) *made = entry;
  return {};
}

LineDbResult LineDb::audit_store(const std::string& origin, const std::vector<AuditEntry>& entries,
                                 const std::string& received_at, int64_t* have_through) {
  std::lock_guard<std::mutex> lock(mutex_);
  LineDbResult done = ready();
  if (!done.ok()) return done;
  // The entries up to the first that is not the origin's or whose hash does
  // not fit it.
  size_t sound = 0;
  while (sound < entries.size() && entries[sound].origin == origin &&
         entries[sound].hash == audit_hash(entries[sound])) {
    ++sound;
  }
  // A sound batch that goes on from the chain the line holds (nearly every
  // one) goes in one exchange: each entry inserted only when the one before
  // it is held with the hash it names, so that they go in all or none. An
  // entry held already fails its insert and rolls the exchange back; then,
  // or when none went in, the batch goes the careful way below, which says
  // why it is refused or finds it held.
  if (!entries.empty() && sound == entries.size() && chained(entries)) {
    std::vector<SqlStep> steps{{"BEGIN", {}}};
    for (const AuditEntry& entry : entries) {
      steps.push_back(
          {entry.seq == 1 ? AUDIT_INSERT : AUDIT_INSERT_AFTER, entry_params(entry, received_at)});
    }
    steps.push_back({AUDIT_TOP, {origin}});
    steps.push_back({"COMMIT", {}});
    done = run_all(&steps);
    if (done.ok() && steps[entries.size()].changes > 0) {
      *have_through = audit_top(steps[entries.size() + 1]);
      return {};
    }
    if (!link_->connected()) return done;
    if (!done.ok()) run("ROLLBACK", {}, nullptr);
  }
  // The line's entries under the sound entries' numbers and under the one
  // before the first are read at once.
  std::vector<SqlStep> reading{{"BEGIN", {}}};
  if (sound > 0) {
    std::set<int64_t> numbers{entries.front().seq - 1};
    for (size_t i = 0; i < sound; ++i) numbers.insert(entries[i].seq);
    SqlStep held{std::string(AUDIT_SELECT) + " WHERE origin = $1 AND seq IN (", {origin}};
    for (const int64_t n : numbers) {
      held.sql += (held.params.size() > 1 ? ", CAST($" : "CAST($") +
                  std::to_string(held.params.size() + 1) + " AS bigint)";
      held.params.emplace_back(std::to_string(n));
    }
    held.sql += ")";
    reading.push_back(std::move(held));
  }
  done = run_all(&reading);
  std::map<int64_t, AuditEntry> held;
  for (size_t r = 1; done.ok() && r < reading.size(); ++r) {
    for (const SqlRow& cells : reading[r].rows) {
      if (cells.size() != 9) continue;
      const AuditEntry entry = entry_of(cells);
      held[entry.seq] = entry;
    }
  }
  // Each entry is appended to the chain the line holds of the origin: it
  // must follow the one before, or equal the one held under its number.
  std::vector<SqlStep> closing;
  for (size_t i = 0; done.ok() && i < sound; ++i) {
    const AuditEntry& entry = entries[i];
    const std::string name = origin + " entry " + std::to_string(entry.seq);
    const auto same = held.find(entry.seq);
    const auto before = held.find(entry.seq - 1);
    const AuditEntry* prev = i > 0                  ? &entries[i - 1]
                             : before != held.end() ? &before->second
                                                    : nullptr;
    if (same != held.end()) {
      if (same->second.hash != entry.hash) {
        done = {LineDbStatus::conflict, name + " differs from the one the line holds; nothing of "
                                               "this batch is stored"};
      }
    } else if ((entry.seq == 1 && entry.prev_hash != AUDIT_GENESIS) ||
               (entry.seq > 1 && (prev == nullptr || prev->hash != entry.prev_hash))) {
      done = {LineDbStatus::conflict, name + " does not follow the entry the line holds before it; "
                                             "nothing of this batch is stored"};
    } else {
      closing.push_back({AUDIT_INSERT, entry_params(entry, received_at)});
      held[entry.seq] = entry;
    }
  }
  if (done.ok() && sound < entries.size()) {
    const AuditEntry& entry = entries[sound];
    const std::string name = origin + " entry " + std::to_string(entry.seq);
    done = entry.origin != origin
               ? LineDbResult{LineDbStatus::refused, name + " is of '" + entry.origin + "'"}
               : LineDbResult{LineDbStatus::conflict,
                              name + ": its hash does not fit it; nothing of this batch is stored"};
  }
  const size_t top_at = closing.size();
  closing.push_back({AUDIT_TOP, {origin}});
  closing.push_back({"COMMIT", {}});
  if (done.ok()) done = run_all(&closing);
  if (!done.ok()) {
    if (link_->connected()) run("ROLLBACK", {}, nullptr);
    return done;
  }
  *have_through = audit_top(closing[top_at]);
  return {};
}

LineDbResult LineDb::audit_query(const AuditFilter& filter, std::vector<AuditEntry>* entries) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::string sql = std::string(AUDIT_SELECT) + " WHERE 1 = 1";
  std::vector<SqlValue> params;
  const auto where = [&](const char* column, const char* op, const std::string& value) {
    if (value.empty()) return;
    params.emplace_back(value);
    sql += std::string(" AND ") + column + op + "$" + std::to_string(params.size());
  };
  where("who", " = ", filter.who);
  where("origin", " = ", filter.origin);
  where("action", " = ", filter.action);
  where("at", " >= ", filter.since);
  where("at", " < ", filter.until);
  sql += " ORDER BY at DESC, origin, seq DESC LIMIT " + std::to_string(filter.limit);
  std::vector<SqlRow> found;
  const LineDbResult read = run(sql, params, &found);
  if (!read.ok()) return read;
  entries->clear();
  for (const SqlRow& cells : found) {
    if (cells.size() == 9) entries->push_back(entry_of(cells));
  }
  return {};
}

LineDbResult LineDb::audit_chain(const std::string& origin, std::vector<AuditEntry>* entries) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlRow> found;
  const LineDbResult read =
      run(std::string(AUDIT_SELECT) + " WHERE origin = $1 ORDER BY seq", {origin}, &found);
  if (!read.ok()) return read;
  entries->clear();
  for (const SqlRow& cells : found) {
    if (cells.size() == 9) entries->push_back(entry_of(cells));
  }
  return {};
}

LineDbResult LineDb::audit_origins(std::vector<std::string>* origins) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlRow> found;
  const LineDbResult read =
      run("SELECT DISTINCT origin FROM orva_audit ORDER BY origin", {}, &found);
  if (!read.ok()) return read;
  origins->clear();
  for (const SqlRow& cells : found) {
    if (!cells.empty() && cells[0]) origins->push_back(*cells[0]);
  }
  return {};
}

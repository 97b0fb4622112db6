// The line's figures over a period, counted by the database in one
// statement from orva_run_figures: a narrow copy of each run with what the
// figures need of it, kept in the order of the records, so that a period
// is one range of it and reads no other row. Whether a run is its unit's
// first, and when an earlier run of its unit last passed, is looked up
// along the unit index (orva_runs_unit) once, as the run arrives, and again
// for the later runs of its unit when it arrives after them (a station that
// was away sends its runs after others sent later ones). A period's counts
// by station, slice and result, the medians of the slices and of the
// whole, and the most frequent reasons are taken from that range.
#include <algorithm>
#include <string>

#include "app/line/line_db.h"
#include "records/record_csv.h"

namespace {

// Each run's place in the records (started_at, station, station_seq), its
// unit (tag) and result, how long an upgrade took (ms, the runs that ended
// ok), a failure's reason (the first line of its last text), whether it is
// its unit's first run (a run without a tag is a unit of its own: 1), and
// when the latest earlier run of its unit that ended ok began (NULL: none).
const char FIGURES_SQLITE[] =
    "CREATE TABLE IF NOT EXISTS orva_run_figures (started_at text NOT NULL,"
    " station text NOT NULL, station_seq bigint NOT NULL, tag text, result text NOT NULL,"
    " ms bigint, reason text, first_run integer NOT NULL, ok_before text,"
    " PRIMARY KEY (started_at, station, station_seq)) WITHOUT ROWID";
const char FIGURES_POSTGRESQL[] =
    "CREATE TABLE IF NOT EXISTS orva_run_figures (line text NOT NULL,"
    " started_at timestamptz NOT NULL, station text NOT NULL, station_seq bigint NOT NULL,"
    " tag text, result text NOT NULL, ms bigint, reason text, first_run integer NOT NULL,"
    " ok_before timestamptz, PRIMARY KEY (line, started_at, station, station_seq))";
const char FIGURES_UNIT_INDEX[] =
    "CREATE INDEX IF NOT EXISTS orva_run_figures_unit ON orva_run_figures (tag, started_at)";

// The pieces of the statement in which the engines differ: PostgreSQL's
// times are timestamptz, SQLite's texts of the store's form (which its date
// functions read, Z and all).

// The slice of the period a run began in, counting from 0.
std::string slice_sql(bool typed, const std::string& since, int64_t slice_ms) {
  const std::string ms = std::to_string(slice_ms);
  if (typed) {
    return "CAST(floor(date_part('epoch', r.started_at - " + since + ") * 1000 / " + ms +
           ") AS bigint)";
  }
  return "CAST(ROUND((julianday(r.started_at) - julianday(" + since +
         ")) * 86400000.0) AS integer) / " + ms;
}

// How long a run took, in seconds.
std::string seconds_sql(bool typed) {
  if (typed) return "date_part('epoch', r.ended_at - r.started_at)";
  return "(julianday(r.ended_at) - julianday(r.started_at)) * 86400.0";
}

// The first line of a run's last text.
std::string first_line_sql(bool typed) {
  if (typed) return "split_part(COALESCE(r.last_text, ''), chr(10), 1)";
  return "substr(COALESCE(r.last_text, ''), 1,"
         " instr(COALESCE(r.last_text, '') || char(10), char(10)) - 1)";
}

// The runs of r's unit before r, in the order of the records.
std::string earlier_sql(bool typed) {
  return std::string(" FROM orva_runs e WHERE e.tag = r.tag") +
         (typed ? " AND e.line = r.line" : "") +
         " AND e.started_at <= r.started_at AND (e.started_at, e.station, e.station_seq) <"
         " (r.started_at, r.station, r.station_seq)";
}

// first_run and ok_before of the run r, as orva_runs holds its unit now.
std::string first_run_sql(bool typed) {
  return "CASE WHEN r.tag IS NULL OR NOT EXISTS (SELECT 1" + earlier_sql(typed) +
         ") THEN 1 ELSE 0 END";
}

std::string ok_before_sql(bool typed) {
  return "(SELECT MAX(e.started_at)" + earlier_sql(typed) + " AND e.result = 'ok')";
}

// ('failed', ...): the results that count as failures, as SQL.
std::string failing_sql() {
  std::string list;
  for (const std::string& result : stats_failing_results())
    list += (list.empty() ? "('" : ", '") + result + "'";
  return list + ")";
}

// The runs of orva_runs r for which `where` holds added to the figures.
std::string figures_fill_sql(bool typed, const std::string& where) {
  const std::string line = typed ? "line, " : "";
  return "INSERT INTO orva_run_figures (" + line +
         "started_at, station, station_seq, tag, result, ms, reason, first_run, ok_before)"
         " SELECT " +
         (typed ? "r." : "") + line +
         "r.started_at, r.station, r.station_seq, r.tag, r.result,"
         " CASE WHEN r.result = 'ok' AND r.ended_at IS NOT NULL THEN CAST(round(" +
         seconds_sql(typed) + " * 1000) AS bigint) END, CASE WHEN r.result IN " + failing_sql() +
         " THEN " + first_line_sql(typed) + " END, " + first_run_sql(typed) + ", " +
         ok_before_sql(typed) + " FROM orva_runs r WHERE " + where + " ON CONFLICT DO NOTHING";
}

// The medians of the upgrades' seconds (secs of p), of each slice and of
// the whole (slice NULL), as rows of the answer: the middle one, or the
// mean of the middle two (SQLite's median() is the link's own).
std::string medians_sql(bool typed) {
  if (typed) {
    return "SELECT 'median', NULL, s, NULL, NULL, NULL, NULL,"
           " percentile_cont(0.5) WITHIN GROUP (ORDER BY secs) FROM p WHERE secs IS NOT NULL"
           " GROUP BY GROUPING SETS ((s), ())";
  }
  const std::string median = "SELECT 'median', NULL, ";
  const std::string rest = ", NULL, NULL, NULL, NULL, median(secs) FROM p WHERE secs IS NOT NULL";
  return median + "s" + rest + " GROUP BY s UNION ALL " + median + "NULL" + rest;
}

double real_of(const SqlValue& cell) {
  return cell ? std::stod(*cell) : -1;
}

int64_t count_of(const SqlValue& cell) {
  return cell ? std::stoll(*cell) : 0;
}

} // namespace

LineDbResult LineDb::stats(const StatsPeriod& period, LineStats* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  const bool typed = link_->typed();
  std::vector<SqlValue> params{record_utc_text(period.since_ms), record_utc_text(period.until_ms)};
  std::string within = " WHERE r.started_at >= " + time_in(1) + " AND r.started_at < " + time_in(2);
  if (!period.station.empty()) {
    params.emplace_back(period.station);
    within += " AND r.station = $" + std::to_string(params.size());
  }
  within += of_line(&params, "r.line");
  // Each run once: k is 2 for a unit's first run, 0 when an upgrade of its
  // unit came before it within the period (it upgrades no new unit), else 1.
  const std::string runs =
      "WITH p AS MATERIALIZED (SELECT r.station AS station, " +
      slice_sql(typed, time_in(1), period.slice_ms) +
      " AS s, r.result AS result, CASE WHEN r.first_run = 1 THEN 2 WHEN r.ok_before >= " +
      time_in(1) +
      " THEN 0 ELSE 1 END AS k, CAST(r.ms AS double precision) / 1000 AS secs, r.reason AS"
      " reason FROM orva_run_figures r" +
      within + ")";
  const std::string counts =
      "SELECT 'counts', station, s, result, COUNT(*),"
      " SUM(CASE WHEN result = 'ok' AND k > 0 THEN 1 ELSE 0 END),"
      " SUM(CASE WHEN k = 2 THEN 1 ELSE 0 END), NULL FROM p GROUP BY station, s, result";
  const std::string reasons =
      "SELECT 'reason', reason, NULL, NULL, n, NULL, NULL, NULL FROM (SELECT reason, COUNT(*) AS n"
      " FROM p WHERE reason IS NOT NULL GROUP BY reason ORDER BY n DESC, reason LIMIT " +
      std::to_string(STATS_REASONS) + ") AS t";

  // PostgreSQL would compile the statement (JIT) for longer than it runs.
  if (typed) {
    const LineDbResult begun = run("BEGIN", {}, nullptr);
    if (!begun.ok()) return begun;
  }
  LineDbResult read = typed ? run("SET LOCAL jit = off", {}, nullptr) : LineDbResult{};
  std::vector<SqlRow> rows;
  if (read.ok()) {
    read = run(runs + " " + counts + " UNION ALL " + medians_sql(typed) + " UNION ALL " + reasons,
               params, &rows);
  }
  if (typed) {
    if (read.ok()) read = run("COMMIT", {}, nullptr);
    else if (link_->connected()) run("ROLLBACK", {}, nullptr);
  }
  if (!read.ok()) return read;

  *out = LineStats{};
  out->slices.resize(period.slices);
  out->slice_medians.assign(period.slices, -1);
  for (const SqlRow& row : rows) {
    if (row.size() != 8 || !row[0]) continue;
    const std::string& kind = *row[0];
    if (kind == "counts" && row[1] && row[3]) {
      StatsCounts counts;
      counts.runs = count_of(row[4]);
      counts.units = count_of(row[5]);
      counts.first_runs = count_of(row[6]);
      out->take(*row[1], static_cast<size_t>(count_of(row[2])), *row[3], counts);
    } else if (kind == "median" && !row[2]) {
      out->median = real_of(row[7]);
    } else if (kind == "median") {
      const int64_t s = count_of(row[2]);
      if (s >= 0 && static_cast<size_t>(s) < out->slice_medians.size())
        out->slice_medians[s] = real_of(row[7]);
    } else if (kind == "reason" && row[1]) {
      out->reasons.emplace_back(*row[1], count_of(row[4]));
    }
  }
  // UNION ALL keeps no order: the most frequent first, then by reason.
  std::sort(out->reasons.begin(), out->reasons.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  return {};
}

LineDbResult LineDb::figures_make() {
  const bool typed = link_->typed();
  for (const char* statement : {typed ? FIGURES_POSTGRESQL : FIGURES_SQLITE, FIGURES_UNIT_INDEX}) {
    const LineDbResult made = run(statement, {}, nullptr);
    if (!made.ok()) return made;
  }
  // A table made just now, or one that misses rows (a line of an earlier
  // version wrote them, a backup of the runs alone was restored): filled
  // anew from the runs, however long that takes. A command on credentials
  // leaves that to the line, which knows its name (and has converted the
  // runs of an earlier schema).
  if (line_.empty()) return {};
  std::vector<SqlValue> params;
  const std::string mine = " WHERE 1 = 1" + of_line(&params);
  std::vector<SqlRow> counts;
  LineDbResult done = run("SELECT (SELECT COUNT(*) FROM orva_runs" + mine +
                              "), (SELECT COUNT(*) FROM orva_run_figures" + mine + ")",
                          params, &counts);
  if (!done.ok() || (counts.size() == 1 && counts[0].size() == 2 && counts[0][0] == counts[0][1]))
    return done;
  // The planner learns how many runs there are first: with a table it
  // takes for empty it would read every run for each run.
  if (typed) done = run("SET LOCAL statement_timeout = 0", {}, nullptr);
  if (typed && done.ok()) done = run("ANALYZE orva_runs", {}, nullptr);
  if (done.ok()) done = run("DELETE FROM orva_run_figures" + mine, params, nullptr);
  std::vector<SqlValue> all;
  if (done.ok())
    done = run(figures_fill_sql(typed, "1 = 1" + of_line(&all, "r.line")), all, nullptr);
  return done;
}

std::vector<SqlStep> LineDb::figures_keep(const std::string& station, int64_t first, int64_t last,
                                          const std::string& received_at) const {
  const bool typed = link_->typed();
  std::vector<SqlValue> params{station, std::to_string(first), std::to_string(last), received_at};
  if (typed) params.emplace_back(line_);
  // The rows that arrived now, as `a`.
  const auto arrived = [&](const std::string& a) {
    return a + ".station = $1 AND " + a + ".station_seq BETWEEN CAST($2 AS bigint) AND CAST($3 AS" +
           " bigint) AND " + a + ".received_at = " + time_in(4) +
           (typed ? " AND " + a + ".line = $5" : "");
  };
  // The runs held already that came after one of those of their unit
  // (rarely any) are looked at again, and the new ones added: in PostgreSQL
  // in one statement, in SQLite in two.
  const std::string later = "UPDATE orva_run_figures AS r SET first_run = " + first_run_sql(typed) +
                            ", ok_before = " + ok_before_sql(typed) +
                            " WHERE r.tag IN (SELECT n.tag FROM orva_runs n WHERE " + arrived("n") +
                            ")" + (typed ? " AND r.line = $5" : "") +
                            " AND EXISTS (SELECT 1 FROM orva_runs n WHERE " + arrived("n") +
                            " AND n.tag = r.tag AND n.started_at <= r.started_at)";
  const std::string fresh = figures_fill_sql(typed, arrived("r"));
  if (typed) return {{"WITH later AS (" + later + ") " + fresh, params}};
  return {{later, params}, {fresh, params}};
}

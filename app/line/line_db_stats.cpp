// The line's figures over a period, counted by the database in three
// statements over the runs that began within it (the started_at index):
// the counts by station, slice and result; the median run times; the most
// frequent failure reasons. Whether a run is its unit's first, or its first
// upgrade within the period, is one look along the (tag, started_at) index
// for an earlier run of the tag.
#include <string>

#include "app/line/line_db.h"
#include "records/record_csv.h"

namespace {

// The pieces of a statement in which the engines differ: PostgreSQL's
// times are timestamptz, SQLite's texts of the store's form (which its date
// functions read, Z and all).

// The slice of the period a run began in, counting from 0.
std::string slice_sql(bool typed, const std::string& since, int64_t slice_ms) {
  const std::string ms = std::to_string(slice_ms);
  if (typed) {
    return "CAST(floor(EXTRACT(EPOCH FROM (r.started_at - " + since + ")) * 1000 / " + ms +
           ") AS bigint)";
  }
  return "CAST(ROUND((julianday(r.started_at) - julianday(" + since +
         ")) * 86400000.0) AS integer) / " + ms;
}

// How long a run took, in seconds.
std::string seconds_sql(bool typed) {
  if (typed) return "EXTRACT(EPOCH FROM (r.ended_at - r.started_at))";
  return "(julianday(r.ended_at) - julianday(r.started_at)) * 86400.0";
}

// The first line of a run's last text.
std::string first_line_sql(bool typed) {
  if (typed) return "split_part(COALESCE(r.last_text, ''), chr(10), 1)";
  return "substr(COALESCE(r.last_text, ''), 1,"
         " instr(COALESCE(r.last_text, '') || char(10), char(10)) - 1)";
}

// ('failed', ...): the results that count as failures, as SQL.
std::string failing_sql() {
  std::string list;
  for (const std::string& result : stats_failing_results())
    list += (list.empty() ? "('" : ", '") + result + "'";
  return list + ")";
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
  // An earlier run of r's unit; its order is that of the records.
  const std::string earlier =
      std::string("SELECT 1 FROM orva_runs e WHERE e.tag = r.tag") +
      (typed ? " AND e.line = r.line" : "") +
      " AND e.started_at <= r.started_at AND (e.started_at, e.station, e.station_seq) <"
      " (r.started_at, r.station, r.station_seq)";
  const std::string slice = slice_sql(typed, time_in(1), period.slice_ms);

  *out = LineStats{};
  out->slices.resize(period.slices);
  out->slice_medians.assign(period.slices, -1);
  std::vector<SqlRow> rows;
  LineDbResult read =
      run("SELECT r.station, " + slice +
              ", r.result, COUNT(*),"
              " SUM(CASE WHEN r.result <> 'ok' THEN 0 WHEN r.tag IS NULL THEN 1 WHEN EXISTS (" +
              earlier + " AND e.result = 'ok' AND e.started_at >= " + time_in(1) +
              ") THEN 0 ELSE 1 END),"
              " SUM(CASE WHEN r.tag IS NULL THEN 1 WHEN EXISTS (" +
              earlier +
              ") THEN 0 ELSE 1 END)"
              " FROM orva_runs r" +
              within + " GROUP BY r.station, 2, r.result",
          params, &rows);
  if (!read.ok()) return read;
  for (const SqlRow& row : rows) {
    if (row.size() != 6 || !row[0] || !row[2]) continue;
    StatsCounts counts;
    counts.runs = count_of(row[3]);
    counts.units = count_of(row[4]);
    counts.first_runs = count_of(row[5]);
    out->take(*row[0], static_cast<size_t>(count_of(row[1])), *row[2], counts);
  }

  // The median of each slice's upgrades, and of all of them (slice -1): the
  // middle one, or the mean of the middle two.
  rows.clear();
  read = run("WITH d AS (SELECT " + slice + " AS s, " + seconds_sql(typed) +
                 " AS secs FROM orva_runs r" + within +
                 " AND r.result = 'ok' AND r.ended_at IS NOT NULL),"
                 " a AS (SELECT s, secs FROM d UNION ALL SELECT -1, secs FROM d),"
                 " n AS (SELECT s, secs, ROW_NUMBER() OVER (PARTITION BY s ORDER BY secs) AS i,"
                 " COUNT(*) OVER (PARTITION BY s) AS c FROM a)"
                 " SELECT s, AVG(secs) FROM n WHERE i = (c + 1) / 2 OR i = (c + 2) / 2 GROUP BY s",
             params, &rows);
  if (!read.ok()) return read;
  for (const SqlRow& row : rows) {
    if (row.size() != 2 || !row[0]) continue;
    const int64_t s = count_of(row[0]);
    if (s < 0) out->median = real_of(row[1]);
    else if (static_cast<size_t>(s) < out->slice_medians.size())
      out->slice_medians[s] = real_of(row[1]);
  }

  rows.clear();
  read = run("SELECT " + first_line_sql(typed) + ", COUNT(*) FROM orva_runs r" + within +
                 " AND r.result IN " + failing_sql() + " GROUP BY 1 ORDER BY 2 DESC, 1 LIMIT " +
                 std::to_string(STATS_REASONS),
             params, &rows);
  if (!read.ok()) return read;
  for (const SqlRow& row : rows) {
    if (row.size() == 2 && row[0]) out->reasons.emplace_back(*row[0], count_of(row[1]));
  }
  return {};
}

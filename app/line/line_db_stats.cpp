// The line's figures over a period, counted by the database in one
// statement: the runs that began within the period are read once along the
// started_at index, each with what the figures need of it (its slice, what
// its unit's earlier runs say, its seconds, its failure's reason); the
// counts by station, slice and result, the medians of the slices and of the
// whole, and the most frequent reasons are then taken from that. Whether a
// run is its unit's first, and whether an upgrade of its unit came before it
// within the period, is one look along the unit index (orva_runs_unit).
#include <algorithm>
#include <string>

#include "app/line/line_db.h"
#include "records/record_csv.h"

namespace {

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

// The medians of the upgrades' seconds (secs of p), of each slice and of
// the whole (slice NULL), as rows of the answer: the middle one, or the
// mean of the middle two.
std::string medians_sql(bool typed) {
  if (typed) {
    return "SELECT 'median', NULL, s, NULL, NULL, NULL, NULL,"
           " percentile_cont(0.5) WITHIN GROUP (ORDER BY secs) FROM p WHERE secs IS NOT NULL"
           " GROUP BY GROUPING SETS ((s), ())";
  }
  const auto middle = [](const std::string& slice, const std::string& by) {
    return "SELECT 'median', NULL, " + slice +
           ", NULL, NULL, NULL, NULL, AVG(secs) FROM"
           " (SELECT s, secs, ROW_NUMBER() OVER (" +
           by + "ORDER BY secs) AS i, COUNT(*) OVER (" + by +
           ") AS n FROM p WHERE secs IS NOT NULL) AS m"
           " WHERE i = (n + 1) / 2 OR i = (n + 2) / 2" +
           (slice == "s" ? " GROUP BY s" : "");
  };
  return middle("s", "PARTITION BY s ") + " UNION ALL " + middle("NULL", "");
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
  // What the runs of r's unit before it say, in the order of the records:
  // NULL when there are none (r is the unit's first run), 0 when one of
  // them was an upgrade within the period (r upgrades no new unit), else 1.
  const std::string earlier =
      "(SELECT MIN(CASE WHEN e.result = 'ok' AND e.started_at >= " + time_in(1) +
      " THEN 0 ELSE 1 END) FROM orva_runs e WHERE e.tag = r.tag" +
      (typed ? " AND e.line = r.line" : "") +
      " AND e.started_at <= r.started_at AND (e.started_at, e.station, e.station_seq) <"
      " (r.started_at, r.station, r.station_seq))";
  // Each run once: k is 2 for a unit's first run (a run without a tag is a
  // unit of its own), else what `earlier` says.
  const std::string runs =
      "WITH p AS MATERIALIZED (SELECT r.station AS station, " +
      slice_sql(typed, time_in(1), period.slice_ms) +
      " AS s, r.result AS result, CASE WHEN r.tag IS NULL THEN 2 ELSE COALESCE(" + earlier +
      ", 2) END AS k, CASE WHEN r.result = 'ok' AND r.ended_at IS NOT NULL THEN " +
      seconds_sql(typed) + " END AS secs, CASE WHEN r.result IN " + failing_sql() + " THEN " +
      first_line_sql(typed) + " END AS reason FROM orva_runs r" + within + ")";
  const std::string counts =
      "SELECT 'counts', station, s, result, COUNT(*),"
      " SUM(CASE WHEN result = 'ok' AND k > 0 THEN 1 ELSE 0 END),"
      " SUM(CASE WHEN k = 2 THEN 1 ELSE 0 END), NULL FROM p GROUP BY station, s, result";
  const std::string reasons =
      "SELECT 'reason', reason, NULL, NULL, n, NULL, NULL, NULL FROM (SELECT reason, COUNT(*) AS n"
      " FROM p WHERE reason IS NOT NULL GROUP BY reason ORDER BY n DESC, reason LIMIT " +
      std::to_string(STATS_REASONS) + ") AS t";

  // PostgreSQL's planner prices the looks along the unit index far above
  // what they take, and would compile the statement (JIT) for longer than
  // it runs.
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

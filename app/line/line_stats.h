// The line at a glance over a period: how many units were upgraded and how
// fast, what share passed on their first run, how long an upgrade takes and
// why runs fail; for the whole period, for equal slices of it (the page's
// charts) and for each station. The database counts (LineDb::stats); this
// file holds the period asked for, the sums, and the answer's JSON.
//
// A unit is its tag; a run without a tag is a unit of its own. A unit's
// first run is the earliest the line holds of it (by started_at, station,
// station_seq), whenever that was: the unit counts towards a period's
// first-pass yield when that run began within the period, and passed when
// the run ended ok. A unit upgraded within the period counts once, at its
// first run of the period that ended ok, so that the slices and the
// stations add up to the whole. Failures are the runs that ended failed,
// not-opened or interrupted (a cancel is somebody's choice); a failure's
// reason is the first line of its last text. The run time is that of the
// runs that ended ok.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

// A period without since is this long; one may span at most STATS_SPAN_MAX_MS.
constexpr int64_t STATS_DEFAULT_MS = 8LL * 3600 * 1000;
constexpr int64_t STATS_SPAN_MAX_MS = 366LL * 24 * 3600 * 1000;
// A period is cut into at most this many slices of a round length.
constexpr size_t STATS_SLICES_MAX = 48;
// The failure reasons the figures name, the most frequent first.
constexpr size_t STATS_REASONS = 5;

struct StatsPeriod {
  int64_t since_ms = 0; // the runs that began at or after this
  int64_t until_ms = 0; // and before this
  std::string station;  // empty: every station
  int64_t slice_ms = 0;
  size_t slices = 0;
};

// since, until (UTC times as the records' since takes them; until is now_ms
// unless given, since STATS_DEFAULT_MS before until) and station, each
// checked; the problem in one line, or empty.
std::string stats_period_parse(const std::string& query, int64_t now_ms, StatsPeriod* out);

// Counts that add up across slices and stations.
struct StatsCounts {
  int64_t runs = 0;
  int64_t units = 0;      // units upgraded
  int64_t first_runs = 0; // units whose first run began here
  int64_t first_pass = 0; // of those, the ones whose first run ended ok
  int64_t failures = 0;

  void add(const StatsCounts& more);
};

struct LineStats {
  std::map<std::string, int64_t> results; // runs by result
  StatsCounts whole;
  std::vector<StatsCounts> slices;   // StatsPeriod::slices of them
  std::vector<double> slice_medians; // seconds; below 0 where no run ended ok
  double median = -1;
  std::map<std::string, StatsCounts> stations;
  std::vector<std::pair<std::string, int64_t>> reasons; // at most STATS_REASONS

  // One group of runs as the database counts them: a station's runs of one
  // result in one slice.
  void take(const std::string& station, size_t slice, const std::string& result,
            const StatsCounts& counts);
};

// The results that count as failures.
const std::vector<std::string>& stats_failing_results();
bool stats_result_fails(const std::string& result);

nlohmann::ordered_json stats_json(const StatsPeriod& period, const LineStats& stats);

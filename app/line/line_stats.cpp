#include "app/line/line_stats.h"

#include <algorithm>
#include <cmath>

#include "app/line/line.h"
#include "app/runs/record_json.h"
#include "records/record_csv.h"

namespace {

using Json = nlohmann::ordered_json;

// The lengths a slice may have, shortest first: round figures on a clock.
const int64_t SLICE_S[] = {60,    300,   600,   900,    1800,   3600,    7200,   10800,
                           21600, 43200, 86400, 172800, 604800, 1209600, 2592000};

constexpr const char* TIME_RULE = "is a UTC time such as 2026-12-09 or 2026-12-09T14:06:41Z";

// To `places` decimal places, as the nearest double to that decimal (which
// JSON then writes as the decimal).
double rounded(double value, int places) {
  const double scale = std::pow(10.0, places);
  return std::round(value * scale) / scale;
}

// A share of two counts, to four places; null when there is nothing to share.
Json share(int64_t part, int64_t whole) {
  if (whole <= 0) return Json();
  return rounded(static_cast<double>(part) / static_cast<double>(whole), 4);
}

Json seconds(double value) {
  return value < 0 ? Json() : Json(rounded(value, 3));
}

Json units_per_hour(int64_t units, int64_t ms) {
  return ms <= 0 ? Json(0) : Json(rounded(static_cast<double>(units) * 3600000.0 / ms, 1));
}

// The counts every part of the answer has.
void put_counts(Json* out, const StatsCounts& c) {
  (*out)["runs"] = c.runs;
  (*out)["units_upgraded"] = c.units;
  (*out)["first_runs"] = c.first_runs;
  (*out)["first_pass"] = c.first_pass;
  (*out)["first_pass_yield"] = share(c.first_pass, c.first_runs);
  (*out)["failures"] = c.failures;
}

} // namespace

void StatsCounts::add(const StatsCounts& more) {
  runs += more.runs;
  units += more.units;
  first_runs += more.first_runs;
  first_pass += more.first_pass;
  failures += more.failures;
}

const std::vector<std::string>& stats_failing_results() {
  static const std::vector<std::string> failing = {"failed", "not-opened", "interrupted"};
  return failing;
}

bool stats_result_fails(const std::string& result) {
  const std::vector<std::string>& failing = stats_failing_results();
  return std::find(failing.begin(), failing.end(), result) != failing.end();
}

void LineStats::take(const std::string& station, size_t slice, const std::string& result,
                     const StatsCounts& counts) {
  StatsCounts c = counts;
  c.first_pass = result == "ok" ? c.first_runs : 0;
  c.failures = stats_result_fails(result) ? c.runs : 0;
  results[result] += c.runs;
  whole.add(c);
  stations[station].add(c);
  if (slice < slices.size()) slices[slice].add(c);
}

std::string stats_period_parse(const std::string& query, int64_t now_ms, StatsPeriod* out) {
  *out = StatsPeriod{};
  std::string since;
  std::string until;
  const std::string problem =
      query_pairs(query, [&](const std::string& name, const std::string& value) -> std::string {
        if (name == "since" || name == "until") {
          if (record_utc_ms(value) < 0) return name + " " + TIME_RULE;
          (name == "since" ? since : until) = value;
        } else if (name == "station") {
          if (!line_station_name_is_valid(value)) {
            return "station: a station's name is printable ASCII without '/', 1 to 64 "
                   "characters";
          }
          out->station = value;
        } else {
          return "unknown parameter '" + name + "': the figures take since, until and station";
        }
        return "";
      });
  if (!problem.empty()) return problem;
  out->until_ms = until.empty() ? now_ms : record_utc_ms(until);
  out->since_ms = since.empty() ? out->until_ms - STATS_DEFAULT_MS : record_utc_ms(since);
  const int64_t span = out->until_ms - out->since_ms;
  if (span <= 0) return "since is before until";
  if (span > STATS_SPAN_MAX_MS) return "a period spans at most 366 days";
  for (const int64_t s : SLICE_S) {
    out->slice_ms = s * 1000;
    out->slices = static_cast<size_t>((span + out->slice_ms - 1) / out->slice_ms);
    if (out->slices <= STATS_SLICES_MAX) break;
  }
  return "";
}

Json stats_json(const StatsPeriod& period, const LineStats& stats) {
  Json out{{"since", record_utc_text(period.since_ms)},
           {"until", record_utc_text(period.until_ms)},
           {"station", period.station.empty() ? Json() : Json(period.station)},
           {"slice_s", period.slice_ms / 1000}};
  Json results = Json::object();
  for (const std::string& result : record_results()) {
    if (result == "running") continue; // no station sends a run that goes on
    const auto found = stats.results.find(result);
    results[result] = found == stats.results.end() ? 0 : found->second;
  }
  put_counts(&out, stats.whole);
  out["units_per_hour"] = units_per_hour(stats.whole.units, period.until_ms - period.since_ms);
  out["median_seconds"] = seconds(stats.median);
  out["results"] = results;
  Json reasons = Json::array();
  for (const auto& [reason, runs] : stats.reasons) {
    reasons.push_back(Json{{"reason", reason}, {"runs", runs}});
  }
  out["top_failures"] = reasons;
  Json slices = Json::array();
  for (size_t i = 0; i < stats.slices.size(); ++i) {
    const int64_t from = period.since_ms + static_cast<int64_t>(i) * period.slice_ms;
    Json slice{{"from", record_utc_text(from)}};
    put_counts(&slice, stats.slices[i]);
    // The last slice may end with the period, before its length is up.
    slice["units_per_hour"] =
        units_per_hour(stats.slices[i].units, std::min(period.slice_ms, period.until_ms - from));
    slice["median_seconds"] = seconds(i < stats.slice_medians.size() ? stats.slice_medians[i] : -1);
    slices.push_back(std::move(slice));
  }
  out["slices"] = slices;
  Json stations = Json::array();
  for (const auto& [name, counts] : stats.stations) {
    Json station{{"station", name}};
    put_counts(&station, counts);
    stations.push_back(std::move(station));
  }
  out["stations"] = stations;
  return out;
}

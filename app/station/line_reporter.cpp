#include "app/station/line_reporter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/runs/event_json.h"
#include "app/runs/record_json.h"
#include "records/record_csv.h"

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// A station's name in a path: printable ASCII but the few characters a path
// would read differently, percent-encoded.
std::string path_part(const std::string& text) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += HEX[u >> 4];
      out += HEX[u & 15];
    }
  }
  return out;
}

} // namespace

SyncResult line_sync_once(RecordStore& store, const std::string& line, const std::string& station,
                          const LinePost& post) {
  SyncResult result;
  int64_t have = 0;
  StoreResult read = store.have_through(line, station, &have);
  std::vector<RunRow> rows;
  if (read.ok()) read = store.finished_after(station, have, LINE_BATCH_MAX, &rows);
  if (!read.ok()) return {SyncStep::failed, have, false, read.reason};
  result.have_through = have;
  if (rows.empty()) return result;
  Json batch = Json::array();
  for (const RunRow& row : rows) batch.push_back(record_columns_json(row));
  const LineAnswer answer =
      post("/api/stations/" + path_part(station) + "/records", json_line(Json{{"rows", batch}}));
  if (answer.status != 200) {
    const Json error = Json::parse(answer.body, nullptr, false);
    std::string why = answer.status == 0 ? answer.error : "HTTP " + std::to_string(answer.status);
    if (error.is_object() && error.contains("error") && error["error"].is_string()) {
      why += ": " + error["error"].get<std::string>();
    }
    return {SyncStep::failed, have, false, "the line took no rows: " + why};
  }
  const Json reply = Json::parse(answer.body, nullptr, false);
  if (!reply.is_object() || !reply.contains("have_through") ||
      !reply["have_through"].is_number_integer() || reply["have_through"].get<int64_t>() < 0) {
    return {SyncStep::failed, have, false, "the line's answer holds no have_through"};
  }
  result.have_through = reply["have_through"].get<int64_t>();
  const StoreResult kept = store.set_have_through(line, station, result.have_through);
  if (!kept.ok()) return {SyncStep::failed, have, false, kept.reason};
  result.step = SyncStep::pushed;
  result.more = rows.size() == LINE_BATCH_MAX && result.have_through > have;
  return result;
}

bool line_url_parse(const std::string& url, std::string* host, int* port) {
  const std::string scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  std::string rest = url.substr(scheme.size());
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0 || rest.find('/') != std::string::npos) return false;
  const std::string digits = rest.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  *port = std::stoi(digits);
  *host = rest.substr(0, colon);
  return *port > 0 && *port <= 65535;
}

struct LineReporter::Impl {
  Impl(LineSetup s, RecordStore& r, LinePost p, std::function<Json()> l)
      : setup(std::move(s)), store(r), post(std::move(p)), slots(std::move(l)) {}

  LineSetup setup;
  RecordStore& store;
  LinePost post;
  std::function<Json()> slots;

  mutable std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  bool rows_due = true;    // look for rows to push
  bool state_dirty = true; // the state changed since it last went
  bool phase_changed = true;
  Clock::time_point next_rows = Clock::now();
  Clock::time_point last_state{};
  int retry_ms = 0;
  int64_t have_through = 0;
  std::string error;
  std::thread thread;

  void run();
  void push_state();
};

LineReporter::LineReporter(LineSetup setup, RecordStore& store, LinePost post,
                           std::function<Json()> slots)
    : impl_(std::make_unique<Impl>(std::move(setup), store, std::move(post), std::move(slots))) {
  impl_->thread = std::thread([this] { impl_->run(); });
}

LineReporter::~LineReporter() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  impl_->thread.join();
}

void LineReporter::rows_changed() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->rows_due = true;
    if (impl_->retry_ms == 0) impl_->next_rows = Clock::now();
  }
  impl_->wake.notify_all();
}

void LineReporter::state_changed(bool phase) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->state_dirty = true;
    impl_->phase_changed = impl_->phase_changed || phase;
  }
  if (phase) impl_->wake.notify_all();
}

Json LineReporter::status() const {
  int64_t have = 0;
  std::string error;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    have = impl_->have_through;
    error = impl_->error;
  }
  int64_t count = 0;
  std::string oldest;
  impl_->store.count_after(impl_->setup.station, have, &count, &oldest);
  return Json{{"url", impl_->setup.url},
              {"synced", count == 0},
              {"unsynced", count},
              {"oldest", oldest.empty() ? Json(nullptr) : Json(oldest)},
              {"error", error}};
}

void LineReporter::Impl::push_state() {
  int64_t count = 0;
  std::string oldest;
  store.count_after(setup.station, have_through, &count, &oldest);
  Json state{{"page", setup.page}, {"slots", slots()}, {"unsynced", count}};
  // The oldest waiting row's age, from its end time and this computer's clock.
  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  RunRow probe;
  probe.started_at = oldest;
  probe.ended_at = record_utc_text(now_ms);
  const double age = oldest.empty() ? 0 : record_seconds(probe);
  state["unsynced_oldest_s"] = age < 0 ? 0 : std::round(age);
  post("/api/stations/" + path_part(setup.station) + "/state", json_line(state));
}

void LineReporter::Impl::run() {
  const auto state_min = std::chrono::milliseconds(LINE_STATE_MIN_MS);
  const auto heartbeat = std::chrono::milliseconds(LINE_HEARTBEAT_MS);
  std::unique_lock<std::mutex> lock(mutex);
  while (!stopping) {
    const Clock::time_point now = Clock::now();
    const bool beat = now - last_state >= heartbeat;
    if (beat || (state_dirty && (phase_changed || now - last_state >= state_min))) {
      // Each heartbeat also looks again for rows that wait.
      if (beat && !rows_due) {
        rows_due = true;
        if (retry_ms == 0) next_rows = now;
      }
      state_dirty = false;
      phase_changed = false;
      last_state = now;
      lock.unlock();
      push_state();
      lock.lock();
      continue;
    }
    if (rows_due && now >= next_rows) {
      rows_due = false;
      lock.unlock();
      const SyncResult result = line_sync_once(store, setup.url, setup.station, post);
      lock.lock();
      have_through = result.have_through;
      if (result.step == SyncStep::failed) {
        error = result.reason;
        retry_ms = std::min(std::max(retry_ms * 2, 1000), LINE_RETRY_MAX_MS);
        rows_due = true;
        next_rows = Clock::now() + std::chrono::milliseconds(retry_ms);
      } else {
        error.clear();
        retry_ms = 0;
        // A full batch: more may wait at once. So may a run that ended while
        // the batch was on its way (rows_changed() set rows_due again). Rows
        // the line could not take past a gap (a run still going before them)
        // wait for the next run's end or heartbeat.
        rows_due = rows_due || result.more;
        next_rows = Clock::now();
      }
      if (result.step != SyncStep::idle) state_dirty = true; // the unsynced count changed
      continue;
    }
    Clock::time_point until = last_state + (state_dirty ? state_min : heartbeat);
    if (rows_due) until = std::min(until, next_rows);
    wake.wait_until(lock, until);
  }
}

#include "app/station/line_reporter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "app/runs/event_json.h"
#include "app/runs/json_read.h"
#include "app/runs/record_json.h"
#include "records/record_csv.h"

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// How much of the line's own error text a reason quotes.
constexpr size_t LINE_ERROR_MAX = 160;

// Printable ASCII, at most `most` characters (cut short with "..."): what
// the line sends may hold anything, and goes to a terminal and a page.
std::string bounded(const std::string& text, size_t most) {
  std::string out;
  for (const char c : text) {
    if (out.size() == most) {
      out.replace(most - 3, 3, "...");
      break;
    }
    out += c >= 0x20 && c < 0x7f ? c : '?';
  }
  return out;
}

// The line's answer as JSON, read within bounds (its texts are cut where
// they are used); null when it is none.
Json answer_json(const LineAnswer& answer) {
  JsonBounds bounds;
  bounds.text = answer.body.size();
  Json read;
  json_read(answer.body, &read, bounds);
  return read;
}

// The line's {"error": TEXT}, bounded; empty when the body has none.
std::string error_of(const LineAnswer& answer) {
  const Json error = answer_json(answer);
  const Json& text = json_member(error, "error");
  return text.is_string() ? bounded(text.get_ref<const std::string&>(), LINE_ERROR_MAX) : "";
}

// A whole number of at least 0, as JSON gives it.
bool whole_count(const Json& value, uint64_t* n) {
  if (value.is_number_unsigned()) *n = value.get<uint64_t>();
  else if (value.is_number_integer() && value.get<int64_t>() >= 0) *n = value.get<int64_t>();
  else return false;
  return true;
}

// The line's have_through in an answer of 200; false when there is none.
bool held_of(const LineAnswer& answer, uint64_t* held) {
  return whole_count(json_member(answer_json(answer), "have_through"), held);
}

struct Failure {
  LineTrouble trouble = LineTrouble::none;
  std::string reason;
};

// Why a post was not answered with 200, and whether waiting cures it.
Failure failure_of(const LineAnswer& answer) {
  const std::string said = error_of(answer);
  const std::string with = said.empty() ? "" : ": " + said;
  const std::string code = std::to_string(answer.status);
  const std::string error = bounded(answer.error, LINE_ERROR_MAX);
  switch (answer.status) {
  case 0:
    if (answer.untrusted) return {LineTrouble::refused, error};
    if (answer.garbled) return {LineTrouble::refused, "what it sent is no answer (" + error + ")"};
    return {LineTrouble::no_answer, "no answer (" + error + ")"};
  case 401:
    return {LineTrouble::refused, "it asks for its token (401): give the line's token with "
                                  "--line-token-file FILE"};
  case 403:
    return {LineTrouble::refused, "it refuses this station (403" + with + ")"};
  case 404:
    return {LineTrouble::refused,
            "it answers 404 (not found" + with + "): that address is no line server; check --line"};
  case 409:
    return {LineTrouble::refused, "it holds a different row (409" + with + ")"};
  case 429:
    // The line's rows a minute for each station: the rows wait their turn.
    return {LineTrouble::no_answer, "it asks this station to wait (429" + with + ")"};
  default:
    if (answer.status >= 500)
      return {LineTrouble::no_answer, "it failed (HTTP " + code + with + ")"};
    return {LineTrouble::refused, "it refused the post (HTTP " + code + with + ")"};
  }
}

std::string lost_text(uint64_t held, int64_t mark) {
  return "holds this station's rows only through " + std::to_string(held) + ", not through " +
         std::to_string(mark) +
         " (a database restored from a backup, or a new line at the same address?): the rows "
         "after " +
         std::to_string(held) + " go again";
}

} // namespace

SyncResult line_sync_once(RecordStore& store, const std::string& line, const std::string& station,
                          const LinePost& post) {
  SyncResult result;
  const auto failed = [&result](LineTrouble trouble, const std::string& reason) {
    result.step = SyncStep::failed;
    result.trouble = trouble;
    result.reason = bounded(reason, LINE_REASON_MAX);
    return result;
  };
  int64_t mark = 0;
  std::vector<int64_t> above;
  std::vector<RunRow> rows;
  StoreResult read = store.synced(line, station, &mark, &above);
  if (read.ok()) read = store.unsynced_rows(line, station, LINE_BATCH_MAX, &rows);
  result.synced_through = mark;
  if (!read.ok()) return failed(LineTrouble::none, read.reason);
  if (rows.empty()) return result;
  // {"rows": [...]}, as many rows as fit the line's body limit with room to
  // spare (a row is far smaller), oldest first.
  std::string batch;
  size_t fit = 0;
  for (; fit < rows.size(); ++fit) {
    std::string row = json_line(record_columns_json(rows[fit]));
    row.pop_back();
    if (fit > 0 && batch.size() + row.size() > LINE_BATCH_BYTES_MAX) break;
    batch += (fit > 0 ? "," : "") + row;
  }
  const bool cut = fit < rows.size();
  rows.resize(fit);
  const std::string path = "/api/stations/" + url_encoded(station) + "/records";
  const LineAnswer answer = post(path, "{\"rows\":[" + batch + "]}\n");
  if (answer.status != 200) {
    const Failure why = failure_of(answer);
    result.retry_after_s = std::min(answer.retry_after_s, LINE_WAIT_MAX_S);
    return failed(why.trouble, why.reason);
  }
  uint64_t held = 0;
  if (!held_of(answer, &held)) {
    return failed(LineTrouble::refused, "its answer holds no have_through, a whole number");
  }
  // What the line may claim to hold: the rows acknowledged before and the
  // rows of this batch, from the first on without a gap.
  std::set<int64_t> known(above.begin(), above.end());
  for (const RunRow& row : rows) known.insert(row.station_seq);
  int64_t claimable = mark;
  while (known.count(claimable + 1) != 0) ++claimable;
  if (held > static_cast<uint64_t>(claimable)) {
    return failed(LineTrouble::refused,
                  "its answer claims this station's rows through " + std::to_string(held) +
                      ", but it was sent them only through " + std::to_string(claimable) +
                      "; nothing is marked synced");
  }
  result.have_through = static_cast<int64_t>(held);
  if (result.have_through < mark) {
    const StoreResult lowered = store.unmark_synced_after(line, station, result.have_through);
    if (!lowered.ok()) return failed(LineTrouble::none, lowered.reason);
    result.lost = lost_text(held, mark);
    result.more = true;
  }
  std::vector<int64_t> sent;
  for (const RunRow& row : rows) sent.push_back(row.station_seq);
  const StoreResult kept = store.mark_synced(line, station, sent, &result.synced_through);
  if (!kept.ok()) return failed(LineTrouble::none, kept.reason);
  result.step = SyncStep::pushed;
  result.more = result.more || cut || rows.size() == LINE_BATCH_MAX;
  return result;
}

SyncResult line_audit_sync_once(RecordStore& store, const std::string& line,
                                const std::string& station, const LinePost& post) {
  SyncResult result;
  // A line that does not answer is said as for the rows, and said once.
  const auto failed = [&result](LineTrouble trouble, const std::string& reason,
                                bool answered = true) {
    result.step = SyncStep::failed;
    result.trouble = trouble;
    result.reason = bounded(answered ? "the audit trail: " + reason : reason, LINE_REASON_MAX);
    return result;
  };
  int64_t mark = 0;
  std::vector<AuditEntry> entries;
  StoreResult read = store.audit_synced(line, station, &mark);
  if (read.ok()) read = store.audit_after(station, mark, LINE_AUDIT_BATCH_MAX, &entries);
  if (!read.ok()) return failed(LineTrouble::none, read.reason);
  if (entries.empty()) return result;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const AuditEntry& e : entries) {
    list.push_back({{"origin", e.origin},
                    {"seq", e.seq},
                    {"at", e.at},
                    {"who", e.who},
                    {"action", e.action},
                    {"subject", e.subject},
                    {"details", e.details},
                    {"prev_hash", e.prev_hash},
                    {"hash", e.hash}});
  }
  const std::string path = "/api/stations/" + url_encoded(station) + "/audit";
  const LineAnswer answer = post(path, json_line(nlohmann::ordered_json{{"entries", list}}));
  if (answer.status != 200) {
    const Failure why = failure_of(answer);
    result.retry_after_s = std::min(answer.retry_after_s, LINE_WAIT_MAX_S);
    return failed(why.trouble, why.reason, answer.status != 0);
  }
  uint64_t held = 0;
  // The line holds the chain through what it says, never past what it was
  // sent: the entries are appended one after another.
  if (!held_of(answer, &held) || held > static_cast<uint64_t>(entries.back().seq)) {
    return failed(LineTrouble::refused, "its answer claims entries it was never sent");
  }
  const StoreResult kept = store.set_audit_synced(line, station, static_cast<int64_t>(held));
  if (!kept.ok()) return failed(LineTrouble::none, kept.reason);
  result.step = SyncStep::pushed;
  result.more = entries.size() == LINE_AUDIT_BATCH_MAX && static_cast<int64_t>(held) > mark;
  return result;
}

std::string line_check_held(RecordStore& store, const std::string& line, const std::string& station,
                            const LineAnswer& answer) {
  uint64_t held = 0;
  if (answer.status != 200 || !held_of(answer, &held)) return "";
  int64_t mark = 0;
  std::vector<int64_t> above;
  if (!store.synced(line, station, &mark, &above).ok()) return "";
  if (held >= static_cast<uint64_t>(mark)) return "";
  if (!store.unmark_synced_after(line, station, static_cast<int64_t>(held)).ok()) return "";
  return lost_text(held, mark);
}

bool line_url_parse(const std::string& url, std::string* host, int* port, bool* https) {
  *https = url.rfind("https://", 0) == 0;
  const std::string scheme = *https ? "https://" : "http://";
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
  Impl(LineSetup s, RecordStore& r, LinePost p, std::function<Json()> l, std::function<void()> c)
      : setup(std::move(s)),
        store(r),
        post(std::move(p)),
        slots(std::move(l)),
        cancel(std::move(c)) {}

  struct Problem {
    LineTrouble trouble = LineTrouble::none;
    std::string reason; // empty: none
  };

  LineSetup setup;
  RecordStore& store;
  LinePost post;
  std::function<Json()> slots;
  std::function<void()> cancel;

  mutable std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  bool rows_due = true;    // look for rows to push
  bool state_dirty = true; // the state changed since it last went
  bool phase_changed = true;
  Clock::time_point next_rows = Clock::now();
  Clock::time_point last_state{};
  int retry_ms = 0;
  // What the last batch and the last state post met; the page shows the
  // batch's first.
  Problem rows_problem;
  Problem state_problem;

  // The reporter thread's own.
  Clock::time_point last_check{};
  bool send_mark = true; // the line takes synced_through in a state post
  std::string said;      // the reason last said on standard error
  std::thread thread;

  void run();
  // Posts the state; what to say, once.
  std::vector<std::string> push_state();
  const Problem& shown() const {
    return rows_problem.reason.empty() ? state_problem : rows_problem;
  }
  std::vector<std::string> news(const std::string& lost);
  void tell(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
      if (setup.say) setup.say(line);
    }
  }
};

LineReporter::LineReporter(LineSetup setup, RecordStore& store, LinePost post,
                           std::function<Json()> slots, std::function<void()> cancel)
    : impl_(std::make_unique<Impl>(std::move(setup), store, std::move(post), std::move(slots),
                                   std::move(cancel))) {
  impl_->thread = std::thread([this] { impl_->run(); });
}

LineReporter::~LineReporter() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  if (impl_->cancel) impl_->cancel();
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
  const std::string& line = impl_->setup.url;
  const std::string& station = impl_->setup.station;
  int64_t count = 0;
  std::string oldest;
  int64_t mark = 0;
  std::vector<int64_t> above;
  impl_->store.count_unsynced(line, station, &count, &oldest);
  impl_->store.synced(line, station, &mark, &above);
  Impl::Problem problem;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    problem = impl_->shown();
  }
  static const char* const TROUBLES[] = {"none", "no_answer", "refused"};
  return Json{{"url", line},
              {"synced", count == 0},
              {"unsynced", count},
              {"oldest", oldest.empty() ? Json(nullptr) : Json(oldest)},
              {"error", problem.reason},
              {"trouble", TROUBLES[static_cast<int>(problem.trouble)]},
              {"synced_through", mark}};
}

// Under the lock: what to say when the reason shown changed, and of rows
// the line lost.
std::vector<std::string> LineReporter::Impl::news(const std::string& lost) {
  std::vector<std::string> lines;
  const std::string line = "the line at " + setup.url;
  const Problem& now = shown();
  if (now.reason != said) {
    if (!now.reason.empty())
      lines.push_back(line + " takes no rows from this station: " + now.reason);
    else if (!said.empty()) lines.push_back(line + " takes this station's rows again");
    said = now.reason;
  }
  if (!lost.empty()) lines.push_back(line + " " + lost);
  return lines;
}

std::vector<std::string> LineReporter::Impl::push_state() {
  int64_t count = 0;
  std::string oldest;
  store.count_unsynced(setup.url, setup.station, &count, &oldest);
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
  // Every heartbeat asks the line how far it holds the rows.
  const Clock::time_point now = Clock::now();
  bool check = send_mark && now - last_check >= std::chrono::milliseconds(LINE_HEARTBEAT_MS);
  if (check) {
    int64_t mark = 0;
    std::vector<int64_t> above;
    check = store.synced(setup.url, setup.station, &mark, &above).ok();
    if (check) state["synced_through"] = mark;
    last_check = now;
  }
  const std::string path = "/api/stations/" + url_encoded(setup.station) + "/state";
  LineAnswer answer = post(path, json_line(state));
  if (check && answer.status == 400 &&
      error_of(answer).find("synced_through") != std::string::npos) {
    // A line of an earlier version: it takes the state without the mark.
    send_mark = check = false;
    state.erase("synced_through");
    answer = post(path, json_line(state));
  }
  const std::string lost = check ? line_check_held(store, setup.url, setup.station, answer) : "";
  std::lock_guard<std::mutex> lock(mutex);
  // A post the station's end cancelled says nothing of the line.
  if (stopping) return {};
  state_problem = {};
  if (answer.status != 200) {
    const Failure why = failure_of(answer);
    state_problem = {why.trouble, bounded(why.reason, LINE_REASON_MAX)};
  }
  if (!lost.empty()) {
    rows_due = true;
    next_rows = Clock::now();
    state_dirty = true;
  }
  return news(lost);
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
      tell(push_state());
      if (beat && setup.heartbeat) setup.heartbeat();
      lock.lock();
      continue;
    }
    if (rows_due && now >= next_rows) {
      rows_due = false;
      lock.unlock();
      SyncResult result = line_sync_once(store, setup.url, setup.station, post);
      // The audit trail goes as the rows do, once no row waits.
      if (result.step != SyncStep::failed && !result.more) {
        const SyncResult audit = line_audit_sync_once(store, setup.url, setup.station, post);
        if (audit.step == SyncStep::failed) {
          const int64_t through = result.synced_through;
          result = audit;
          result.synced_through = through;
        } else {
          result.more = audit.more;
          if (audit.step == SyncStep::pushed && result.step == SyncStep::idle) {
            result.step = SyncStep::pushed;
          }
        }
      }
      lock.lock();
      if (stopping) break;
      if (result.step == SyncStep::failed) {
        rows_problem = {result.trouble, result.reason};
        retry_ms = std::min(std::max(retry_ms * 2, 1000), LINE_RETRY_MAX_MS);
        rows_due = true;
        // A line that asks for a wait (its rows a minute) is given it.
        next_rows = Clock::now() +
                    std::chrono::milliseconds(std::max(retry_ms, result.retry_after_s * 1000));
      } else {
        rows_problem = {};
        retry_ms = 0;
        // A full batch, or rows the line lost: more wait at once. So may a
        // run that ended while the batch was on its way (rows_changed() set
        // rows_due again).
        rows_due = rows_due || result.more;
        next_rows = Clock::now();
      }
      if (result.step != SyncStep::idle) state_dirty = true; // the unsynced count changed
      const std::vector<std::string> say = news(result.lost);
      lock.unlock();
      tell(say);
      lock.lock();
      continue;
    }
    Clock::time_point until = last_state + (state_dirty ? state_min : heartbeat);
    if (rows_due) until = std::min(until, next_rows);
    wake.wait_until(lock, until);
  }
}

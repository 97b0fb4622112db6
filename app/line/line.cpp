#include "app/line/line.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "app/runs/event_json.h"
#include "app/runs/json_read.h"
#include "records/record_csv.h"

namespace {

using Json = nlohmann::ordered_json;

const char* const STATE_FIELDS[] = {"page", "slots", "unsynced", "unsynced_oldest_s",
                                    "synced_through"};
const char* const SLOT_FIELDS[] = {"slot", "port", "state", "permille", "tag", "last_text"};
// States such as "running" or "not present".
constexpr size_t SLOT_STATE_MAX = 32;
// A count and an age a station could hold.
constexpr int64_t COUNT_MAX = 1000000000000LL;
// A station's row number, as JSON carries it whole.
constexpr int64_t SEQ_MAX = RECORD_SEQ_MAX;
// The slots of a state that sends none.
const Json NO_SLOTS = Json::array();
// The states a station's slot may be in: each is a series of the slots'
// gauge, 0 while no slot is in it.
const char* const SLOT_STATES[] = {"idle",   "running",   "upgraded",
                                   "failed", "cancelled", "not-present"};
// What a page of records keeps free for its link to the next: the filters
// and where the page ended, percent-encoded.
constexpr size_t NEXT_ROOM = 8192;

bool printable(const std::string& text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

template <size_t N>
std::string unknown_field(const Json& object, const char* const (&known)[N]) {
  for (const auto& item : object.items()) {
    bool found = false;
    for (const char* name : known) found = found || item.key() == name;
    if (!found) return "unknown field '" + item.key() + "'";
  }
  return "";
}

// A text of at most `most` bytes (UTF-8 taken as it comes), or null when
// `nullable`.
bool bounded_text(const Json& value, size_t most, bool nullable) {
  if (value.is_null()) return nullable;
  return value.is_string() && value.get_ref<const std::string&>().size() <= most;
}

bool whole_number(const Json& value, int64_t low, int64_t high) {
  return value.is_number_integer() && value.get<int64_t>() >= low && value.get<int64_t>() <= high;
}

// The slots of a state, each checked; a problem, or empty.
std::string slots_problem(const Json& slots) {
  if (!slots.is_array() || slots.size() > LINE_SLOTS_MAX) {
    return "slots is an array of at most " + std::to_string(LINE_SLOTS_MAX) + " slots";
  }
  for (const Json& slot : slots) {
    if (!slot.is_object()) return "each slot is an object";
    const std::string unknown = unknown_field(slot, SLOT_FIELDS);
    if (!unknown.empty()) return "slots: " + unknown;
    if (!whole_number(json_member(slot, "slot"), 1, LINE_SLOT_NUMBER_MAX)) {
      return "slots: slot is a number from 1 to " + std::to_string(LINE_SLOT_NUMBER_MAX);
    }
    const Json& state = json_member(slot, "state");
    if (!bounded_text(state, SLOT_STATE_MAX, false) ||
        !printable(state.get_ref<const std::string&>())) {
      return "slots: state is a text of at most " + std::to_string(SLOT_STATE_MAX) + " characters";
    }
    if (slot.contains("permille") && !whole_number(json_member(slot, "permille"), 0, 1000)) {
      return "slots: permille is a number from 0 to 1000";
    }
    for (const char* text : {"port", "tag", "last_text"}) {
      if (!bounded_text(json_member(slot, text), LINE_TEXT_MAX, true)) {
        return std::string("slots: ") + text + " is a text of at most " +
               std::to_string(LINE_TEXT_MAX) + " bytes, or null";
      }
    }
  }
  return "";
}

// Tells the watcher of each slot that is new or differs from before. A
// station sends its slots in the same order each time: each is compared
// with the one in its place, and looked for only when that is another.
void tell_slots(LineWatcher* watcher, const std::string& station, const Json& before,
                const Json& now) {
  std::map<int64_t, const Json*> old;
  for (size_t i = 0; i < now.size(); ++i) {
    const Json& slot = now[i];
    const Json& number = json_member(slot, "slot");
    const Json* was = nullptr;
    if (i < before.size() && json_member(before[i], "slot") == number) {
      was = &before[i];
    } else {
      if (old.empty()) {
        for (const Json& held : before) old[held.value("slot", int64_t{0})] = &held;
      }
      const auto found = old.find(slot.value("slot", int64_t{0}));
      if (found != old.end()) was = found->second;
    }
    if (was == nullptr || *was != slot) watcher->slot_state(station, slot);
  }
}

int64_t running_of(const Json& slots) {
  int64_t running = 0;
  for (const Json& slot : slots) {
    const Json& state = json_member(slot, "state");
    running += state.is_string() && state.get_ref<const std::string&>() == "running";
  }
  return running;
}

// The labels a run is counted with: one place, so that a label of the
// row's product joins its station and result here.
MetricLabels run_labels(const RunRow& row) {
  if (row.product.empty()) return {{"station", row.station}, {"result", row.result}};
  return {{"station", row.station}, {"product", row.product}, {"result", row.result}};
}

int64_t ms_between(std::chrono::steady_clock::time_point then,
                   std::chrono::steady_clock::time_point now) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - then).count();
}

// A value written out as json_line writes it, without its newline.
std::string json_text(const Json& value) {
  std::string text = json_line(value);
  text.pop_back();
  return text;
}

int64_t wall_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

LineReply line_error(int status, const std::string& text) {
  return {status, Json{{"error", text}}};
}

LineReply line_db_failure(const LineDbResult& result) {
  const int status = result.status == LineDbStatus::down       ? 503
                     : result.status == LineDbStatus::conflict ? 409
                                                               : 500;
  return line_error(status, result.reason);
}

LineReply Line::too_many_rows(int wait_s) const {
  LineReply reply =
      line_error(429, "this station sent more than its " + std::to_string(quota_.per_minute()) +
                          " rows a minute: send them again in " + std::to_string(wait_s) +
                          " s; nothing stored");
  reply.retry_after_s = wait_s;
  return reply;
}

bool line_station_name_is_valid(const std::string& name) {
  return !name.empty() && name.size() <= LINE_NAME_MAX && printable(name) &&
         name.find('/') == std::string::npos;
}

Line::Line(std::string name, LineDb& db, int offline_ms, size_t stations_max)
    : name_(std::move(name)), db_(db), offline_ms_(offline_ms), stations_max_(stations_max) {}

void Line::load_known() {
  std::vector<std::string> names;
  LineTotals totals;
  // Those that sent rows within the time after which a silent station is
  // forgotten.
  const bool listed =
      db_.stations(record_utc_text(wall_ms() - LINE_FORGET_MS), stations_max_, &names).ok();
  const bool counted = db_.totals(&totals).ok();
  std::lock_guard<std::mutex> lock(mutex_);
  if (listed) {
    // Until a station speaks again, the plant is told it is offline.
    const auto now = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
      Station& s = stations_[name];
      s.heard_at = now;
      tell_status(name, s);
    }
  }
  if (counted) {
    totals_ = totals;
    totals_known_ = true;
  }
}

void Line::heard(Station* s) {
  s->heard = true;
  s->heard_at = std::chrono::steady_clock::now();
  s->heard_utc = record_utc_text(wall_ms());
}

void Line::set_online(Station* s, bool online) {
  if (s->online == online) return;
  running_online_ += online ? s->running : -s->running;
  s->online = online;
}

void Line::set_running(Station* s, int64_t running) {
  if (s->online) running_online_ += running - s->running;
  s->running = running;
}

LineReply Line::receive_rows(const std::string& station, const std::string& body) {
  // A station whose minute holds no row more is told at once, before its
  // body is read.
  const auto now = RowQuota::Clock::now();
  const int owed = quota_.wait(station, 1, now);
  if (owed > 0) return too_many_rows(owed);
  Json batch;
  // A whole batch of today's stations: LINE_BATCH_MAX rows of every column.
  JsonBounds bounds;
  bounds.values = std::max(bounds.values, LINE_BATCH_MAX * (RECORD_COLUMN_COUNT + 1) + 2);
  const std::string unread = json_read(body, &batch, bounds);
  if (!unread.empty()) return line_error(400, unread + "; nothing stored");
  const Json& given = json_member(batch, "rows");
  if (batch.size() != 1 || !given.is_array()) {
    return line_error(400, "send {\"rows\": [...]}, the station's finished rows");
  }
  if (given.size() > LINE_BATCH_MAX) {
    return line_error(400, "a batch has at most " + std::to_string(LINE_BATCH_MAX) + " rows");
  }
  std::vector<RunRow> rows;
  for (size_t i = 0; i < given.size(); ++i) {
    RunRow row;
    std::string problem = record_from_json(given[i], &row);
    if (problem.empty() && row.station != station) {
      problem = "the row is of station '" + row.station + "', not of '" + station + "'";
    }
    if (problem.empty() && row.result == "running") problem = "the run has not ended";
    if (problem.empty() && !rows.empty() && row.station_seq <= rows.back().station_seq) {
      problem = "rows come in station_seq order, each once";
    }
    if (!problem.empty()) {
      return line_error(400, "row " + std::to_string(i + 1) + ": " + problem + "; nothing stored");
    }
    rows.push_back(std::move(row));
  }
  const int wait = quota_.take(station, rows.size(), now);
  if (wait > 0) return too_many_rows(wait);
  int64_t through = 0;
  LineTotals added;
  std::vector<size_t> fresh;
  const LineDbResult stored =
      db_.store(station, rows, record_utc_text(wall_ms()), &through, &added, &fresh);
  if (!stored.ok()) {
    const int status = stored.status == LineDbStatus::down       ? 503
                       : stored.status == LineDbStatus::conflict ? 409
                                                                 : 500;
    return line_error(status, stored.reason);
  }
  // Counted whole once, when the database was down at start; then kept.
  LineTotals totals;
  const bool counted = !totals_known() && db_.totals(&totals).ok();
  std::lock_guard<std::mutex> lock(mutex_);
  if (counted) {
    totals_ = totals;
    totals_known_ = true;
  } else {
    totals_.upgraded += added.upgraded;
    totals_.failed += added.failed;
  }
  Station& s = stations_[station];
  heard(&s);
  const bool came_online = !s.online;
  set_online(&s, true);
  const bool more = through != s.have_through;
  s.have_through = through;
  if (came_online) tell_status(station, s);
  for (const size_t r : fresh) {
    if (watcher_ != nullptr) watcher_->record(station, rows[r]);
    runs_.ran(run_labels(rows[r]), {{"station", station}}, record_seconds(rows[r]));
  }
  if (came_online || more) publish_station(station, s);
  if (!rows.empty()) {
    publish(Json{
        {"event", "rows"}, {"station", station}, {"rows", rows.size()}, {"have_through", through}});
    publish_totals();
  }
  return {200, Json{{"have_through", through}}};
}

std::string Line::read_state(const std::string& body, Json* state) {
  const std::string unread = json_read(body, state);
  if (!unread.empty()) return unread;
  if (!state->is_object()) return "the body is not a JSON object";
  std::string problem = unknown_field(*state, STATE_FIELDS);
  const Json& page = json_member(*state, "page");
  if (problem.empty() && !page.is_null()) {
    const bool web = page.is_string() && page.get<std::string>().size() <= LINE_URL_MAX &&
                     printable(page.get<std::string>()) &&
                     (page.get<std::string>().rfind("http://", 0) == 0 ||
                      page.get<std::string>().rfind("https://", 0) == 0);
    if (!web) problem = "page is the station's http:// or https:// address, or null";
  }
  const Json& slots = state->contains("slots") ? json_member(*state, "slots") : NO_SLOTS;
  if (problem.empty()) problem = slots_problem(slots);
  if (problem.empty() && state->contains("unsynced") &&
      !whole_number(json_member(*state, "unsynced"), 0, COUNT_MAX)) {
    problem = "unsynced is a count of rows";
  }
  const Json& oldest = json_member(*state, "unsynced_oldest_s");
  if (problem.empty() && !oldest.is_null() &&
      !(oldest.is_number() && oldest.get<double>() >= 0 && oldest.get<double>() <= COUNT_MAX)) {
    problem = "unsynced_oldest_s is the age in seconds of the oldest unsynced row, or null";
  }
  const Json& mark = json_member(*state, "synced_through");
  if (problem.empty() && !mark.is_null() && !whole_number(mark, 0, SEQ_MAX)) {
    problem = "synced_through is the station's row number through which it holds every row "
              "synced, 0 to " +
              std::to_string(SEQ_MAX);
  }
  return problem;
}

LineReply Line::receive_state(const std::string& station, const std::string& body) {
  Json state;
  const std::string problem = read_state(body, &state);
  if (!problem.empty()) return line_error(400, problem);
  const bool marked = !json_member(state, "synced_through").is_null();
  take_state(station, &state);
  if (!marked) return {200, Json{{"ok", true}}};
  // The station checks its synced mark against the database at every
  // heartbeat; while the database is down there is nothing to check.
  int64_t through = 0;
  if (!db_.held_through(station, &through).ok()) return {200, Json{{"ok", true}}};
  return {200, Json{{"ok", true}, {"have_through", through}}};
}

std::optional<LineReply> Line::receive_state_at_once(const std::string& station,
                                                     const std::string& body) {
  Json state;
  const std::string problem = read_state(body, &state);
  if (!problem.empty()) return line_error(400, problem);
  // A heartbeat's synced mark is checked against the database: not here.
  if (!json_member(state, "synced_through").is_null()) return std::nullopt;
  take_state(station, &state);
  return LineReply{200, Json{{"ok", true}}};
}

void Line::take_state(const std::string& station, Json* state) {
  // The slots are kept as they were read, not copied.
  Json slots = state->contains("slots") ? std::move((*state)["slots"]) : Json::array();
  const Json& page = json_member(*state, "page");
  const Json& oldest = json_member(*state, "unsynced_oldest_s");
  std::lock_guard<std::mutex> lock(mutex_);
  Station& s = stations_[station];
  heard(&s);
  const bool slots_changed = s.slots != slots;
  const bool changed = !s.online || s.page != page || slots_changed ||
                       s.unsynced != state->value("unsynced", Json(0)).get<int64_t>() ||
                       s.unsynced_oldest_s != oldest;
  const bool came_online = !s.online;
  set_online(&s, true);
  if (came_online) tell_status(station, s);
  if (watcher_ != nullptr && slots_changed) tell_slots(watcher_, station, s.slots, slots);
  s.page = page;
  if (slots_changed) {
    s.slots = std::move(slots);
    s.slots_text = json_text(s.slots);
    set_running(&s, running_of(s.slots));
  }
  s.unsynced = state->value("unsynced", Json(0)).get<int64_t>();
  s.unsynced_oldest_s = oldest;
  if (changed) {
    publish_station(station, s);
    publish_totals();
  }
}

void Line::publish_station(const std::string& name, const Station& s) {
  publish_begun("{\"event\":\"station\",\"station\":" + station_text(name, s));
}

std::string Line::station_text(const std::string& name, const Station& s) const {
  // Written out around its slots, which were written out as they came.
  const std::string head = json_text(
      Json{{"name", name},
           {"online", s.online},
           {"last_heard", s.heard ? Json(s.heard_utc) : Json()},
           {"heard_ago_ms",
            s.heard ? Json(ms_between(s.heard_at, std::chrono::steady_clock::now())) : Json()},
           {"page", s.page}});
  const std::string tail =
      json_text(Json{{"unsynced", s.unsynced},
                     {"unsynced_oldest_s", s.unsynced_oldest_s},
                     {"have_through", s.have_through >= 0 ? Json(s.have_through) : Json()}});
  std::string text;
  text.reserve(head.size() + s.slots_text.size() + tail.size() + 10);
  text.append(head, 0, head.size() - 1).append(",\"slots\":").append(s.slots_text);
  return text.append(",").append(tail, 1);
}

bool Line::totals_known() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return totals_known_;
}

Json Line::totals_json() const {
  return Json{{"upgraded", totals_.upgraded},
              {"failed", totals_.failed},
              {"running", running_online_}};
}

LineReply Line::state() {
  std::lock_guard<std::mutex> lock(mutex_);
  LineReply reply;
  std::string& text = reply.text;
  text = "{\"line\":" + json_text(Json(name_)) + ",\"database\":" + json_text(database_json()) +
         ",\"stations\":[";
  for (const auto& [name, s] : stations_) {
    if (text.back() != '[') text += ',';
    text += station_text(name, s);
  }
  text += "],\"totals\":" + json_text(totals_json()) + "}\n";
  return reply;
}

Json Line::database_json() const {
  // Not looked at yet: taken for up, as the line started with it reachable
  // or said otherwise on its start line.
  const bool up = !db_known_ || db_health_.up;
  return Json{{"up", up}, {"error", up ? Json() : Json(db_health_.reason)}};
}

void Line::check_database() {
  db_.ping();
  const LineDbHealth now = db_.health();
  std::lock_guard<std::mutex> lock(mutex_);
  const bool first = !db_known_;
  if (!first && now.up == db_health_.up) return;
  db_known_ = true;
  db_health_ = now;
  if (note_ && !(first && now.up)) {
    note_(now.up ? "the line's database is back" : "the line's database is down: " + now.reason);
  }
  publish(Json{{"event", "database"}, {"database", database_json()}});
}

LineReply Line::records(const RecordQuery& query) {
  const size_t limit = query.filter.limit;
  std::string list;
  size_t taken = 0;
  bool more = false;
  RecordCursor at = query.after;
  bool paged = query.paged;
  // Read a page at a time, and one row past the limit: whether more follow.
  for (bool end = false; !end && !more;) {
    RecordFilter page = query.filter;
    page.limit = std::min(LINE_PAGE_ROWS, limit - taken + 1);
    std::vector<RunRow> rows;
    const LineDbResult read = db_.query(page, paged ? &at : nullptr, &rows);
    if (!read.ok()) return line_error(read.status == LineDbStatus::down ? 503 : 500, read.reason);
    end = rows.size() < page.limit;
    for (const RunRow& row : rows) {
      std::string text = json_line(record_json(row));
      text.pop_back();
      // Room for the rows' list, the link to the next page and the answer's
      // own few bytes.
      more = taken == limit || list.size() + text.size() + 1 + NEXT_ROOM > LINE_ANSWER_MAX;
      if (more) break;
      list += (taken++ > 0 ? "," : "") + text;
      at = RecordCursor{row.started_at, row.station_seq, row.station};
      paged = true;
    }
  }
  LineReply reply;
  reply.text = "{\"records\":[" + list + "]";
  if (more) {
    const RecordFilter& f = query.filter;
    std::string next = "/api/records?limit=" + std::to_string(limit);
    for (const auto& [name, value] :
         {std::make_pair("station", f.station), std::make_pair("tag", f.tag),
          std::make_pair("result", f.result), std::make_pair("since", f.since)}) {
      if (!value.empty()) next += std::string("&") + name + "=" + url_encoded(value);
    }
    next += "&after=" + url_encoded(record_cursor_text(at));
    reply.text += ",\"next\":" + Json(next).dump();
  }
  reply.text += "}\n";
  return reply;
}

LineReply Line::records_csv(const RecordQuery& query, std::shared_ptr<HttpStreamSource>* csv) {
  struct Download {
    std::vector<RunRow> first; // read before the answer
    bool begun = false;
    size_t left = 0; // rows still to go
    bool paged = false;
    RecordCursor after;
  };
  auto d = std::make_shared<Download>();
  d->left = query.filter.limit;
  d->paged = query.paged;
  d->after = query.after;
  // The first page before the answer: a database that is down is a 503,
  // not a file cut short.
  RecordFilter filter = query.filter;
  filter.limit = std::min(LINE_PAGE_ROWS, d->left);
  const LineDbResult read = db_.query(filter, d->paged ? &d->after : nullptr, &d->first);
  if (!read.ok()) return line_error(read.status == LineDbStatus::down ? 503 : 500, read.reason);
  *csv = downloads_.start([this, d, filter](std::string* piece) mutable {
    const size_t asked = std::min(LINE_PAGE_ROWS, d->left);
    std::vector<RunRow> rows;
    if (!d->begun) {
      d->begun = true;
      *piece = record_csv_header();
      rows.swap(d->first);
    } else {
      filter.limit = asked;
      if (!db_.query(filter, d->paged ? &d->after : nullptr, &rows).ok()) return BodyPiece::broken;
    }
    d->left -= std::min(d->left, rows.size());
    if (!rows.empty()) {
      d->after = RecordCursor{rows.back().started_at, rows.back().station_seq, rows.back().station};
      d->paged = true;
    }
    *piece += record_csv_rows(rows);
    return rows.size() == asked && d->left > 0 ? BodyPiece::more : BodyPiece::last;
  });
  if (!*csv) return line_error(503, "too many CSV files are on their way; try again soon");
  return {};
}

std::shared_ptr<EventStream> Line::open_stream() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> first;
  first.push_back(json_line(Json{{"event", "database"}, {"database", database_json()}}));
  for (const auto& [name, s] : stations_) {
    first.push_back("{\"event\":\"station\",\"station\":" + station_text(name, s) + "}\n");
  }
  first.push_back(json_line(Json{{"event", "totals"}, {"totals", totals_json()}}));
  return streams_.open(first);
}

void Line::tick() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  bool any = false;
  for (auto it = stations_.begin(); it != stations_.end();) {
    const std::string& name = it->first;
    Station& s = it->second;
    if (!s.online && now - s.heard_at >= std::chrono::milliseconds(LINE_FORGET_MS)) {
      if (watcher_ != nullptr) watcher_->station_gone(name);
      publish(Json{{"event", "station_gone"}, {"station", name}});
      it = stations_.erase(it);
      any = true;
      continue;
    }
    if (s.online && now - s.heard_at >= std::chrono::milliseconds(offline_ms_)) {
      set_online(&s, false);
      any = true;
      tell_status(name, s);
      publish_station(name, s);
    }
    ++it;
  }
  if (any) publish_totals();
  if (now - heard_told_ >= std::chrono::milliseconds(LINE_HEARD_EVENT_MS)) publish_heard(now);
}

void Line::publish_heard(std::chrono::steady_clock::time_point now) {
  heard_told_ = now;
  Json ago = Json::object();
  for (const auto& [name, s] : stations_) {
    if (s.online) ago[name] = ms_between(s.heard_at, now);
  }
  if (!ago.empty()) publish(Json{{"event", "heard"}, {"heard_ago_ms", ago}});
}

LineReply Line::stats(const std::string& query) {
  StatsPeriod period;
  const std::string problem = stats_period_parse(query, wall_ms(), &period);
  if (!problem.empty()) return line_error(400, problem);
  LineStats figures;
  const LineDbResult read = db_.stats(period, &figures);
  if (!read.ok()) return line_error(read.status == LineDbStatus::down ? 503 : 500, read.reason);
  return {200, stats_json(period, figures)};
}

void Line::metrics(MetricsText* out) const {
  runs_.write(out);
  std::lock_guard<std::mutex> lock(mutex_);
  out->family("orva_slots", "gauge", "Slots by state, as each station last said.");
  for (const auto& [name, s] : stations_) {
    std::map<std::string, int64_t> states;
    for (const char* state : SLOT_STATES) states[state] = 0;
    for (const Json& slot : s.slots) ++states[slot.value("state", "")];
    for (const auto& [state, n] : states) {
      out->sample("orva_slots", {{"station", name}, {"state", state}}, static_cast<double>(n));
    }
  }
  out->family("orva_station_up", "gauge",
              "Whether the station was heard from within the line's offline time.");
  for (const auto& [name, s] : stations_) {
    out->sample("orva_station_up", {{"station", name}}, s.online ? 1 : 0);
  }
  out->family("orva_rows_waiting", "gauge",
              "Rows a station holds that the line has not acknowledged, as the station last said.");
  for (const auto& [name, s] : stations_) {
    out->sample("orva_rows_waiting", {{"station", name}}, static_cast<double>(s.unsynced));
  }
  out->family("orva_rows_waiting_oldest_seconds", "gauge",
              "How long the oldest row a station holds for the line has waited, as the station "
              "last said; 0 when none waits.");
  for (const auto& [name, s] : stations_) {
    const double oldest =
        s.unsynced > 0 && s.unsynced_oldest_s.is_number() ? s.unsynced_oldest_s.get<double>() : 0;
    out->sample("orva_rows_waiting_oldest_seconds", {{"station", name}}, oldest);
  }
  out->family("orva_database_up", "gauge", "Whether the line's database answered when last used.");
  out->sample("orva_database_up", {}, !db_known_ || db_health_.up ? 1 : 0);
}

bool Line::may_report(const std::string& station, bool own, std::string* why) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (own || stations_.count(station) > 0 || stations_.size() < stations_max_) return true;
  *why = "the line shows its most stations (" + std::to_string(stations_max_) +
         ", --stations-max): '" + station +
         "' needs a credential of its own (orvaload-line credential add station " + station +
         "), or room made by a station silent for a day";
  return false;
}

std::vector<std::string> Line::station_names() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names;
  for (const auto& station : stations_) names.push_back(station.first);
  return names;
}

void Line::tell_status(const std::string& name, const Station& s) {
  if (watcher_ != nullptr) watcher_->station_status(name, s.online, s.heard ? s.heard_utc : "");
}

void Line::publish_totals() {
  if (totals_.upgraded == totals_told_.upgraded && totals_.failed == totals_told_.failed &&
      running_online_ == running_told_) {
    return;
  }
  totals_told_ = totals_;
  running_told_ = running_online_;
  publish(Json{{"event", "totals"}, {"totals", totals_json()}});
}

void Line::publish(Json event) {
  event["sent_ms"] = wall_ms();
  streams_.publish(json_line(event));
}

void Line::publish_begun(const std::string& event) {
  streams_.publish(event + ",\"sent_ms\":" + std::to_string(wall_ms()) + "}\n");
}

void Line::finish() {
  streams_.close_all();
  downloads_.stop_all();
}

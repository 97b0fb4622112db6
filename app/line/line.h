// The line: what every station last said of its slots (kept in memory), the
// rows they sent (kept in the line's database), and the events of every
// change, fanned out to the line's event streams. A station is online while
// it was heard within the offline time; tick() notices when one goes quiet.
// Every call is safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/http/body_streams.h"
#include "app/http/event_streams.h"
#include "app/http/metrics.h"
#include "app/line/line_db.h"
#include "app/line/row_quota.h"
#include "app/runs/record_json.h"

// Rows in one batch, and what a state may hold.
constexpr size_t LINE_BATCH_MAX = 500;
constexpr size_t LINE_SLOTS_MAX = 64;
// A slot's number.
constexpr int64_t LINE_SLOT_NUMBER_MAX = 1024;
constexpr size_t LINE_TEXT_MAX = 256;
constexpr size_t LINE_URL_MAX = 512;
constexpr size_t LINE_NAME_MAX = 64;
// A station heard from within this time is online.
constexpr int LINE_OFFLINE_MS = 10000;
// Stations the line shows at most, unless each has a credential of its own;
// one not heard for LINE_FORGET_MS leaves the live view (its rows stay).
constexpr size_t LINE_STATIONS_MAX = 256;
constexpr int64_t LINE_FORGET_MS = 24LL * 3600 * 1000;
// The most one answer of records holds (a page of them ends with a link to
// the next), the rows read from the database at a time, and the CSV files
// on their way at once.
constexpr size_t LINE_ANSWER_MAX = 8 * 1024 * 1024;
constexpr size_t LINE_PAGE_ROWS = 100;
constexpr size_t LINE_CSV_STREAMS_MAX = 4;
// How often the event streams are told how long ago each online station
// was heard: a station heard with nothing new to say sends no other event.
constexpr int LINE_HEARD_EVENT_MS = 2000;

struct LineReply {
  int status = 200;
  nlohmann::ordered_json body;
  std::string text{};    // set: the body as it goes, instead of `body`
  int retry_after_s = 0; // with 429
};

LineReply line_error(int status, const std::string& text);
// A database call that failed: 503 while it is down, 409 for a conflict,
// 500 otherwise, with its reason.
LineReply line_db_failure(const LineDbResult& result);

// Printable ASCII without '/', 1 to LINE_NAME_MAX characters.
bool line_station_name_is_valid(const std::string& name);

// What the line tells plant systems besides its page: a station going
// online or offline, a slot's change, a row new to the database. Called with
// the line's state held: an answer must not block.
class LineWatcher {
public:
  virtual ~LineWatcher() = default;
  virtual void station_status(const std::string& station, bool online,
                              const std::string& last_heard) = 0;
  virtual void slot_state(const std::string& station, const nlohmann::ordered_json& slot) = 0;
  virtual void record(const std::string& station, const RunRow& row) = 0;
  // The station left the live view: its live state is no more.
  virtual void station_gone(const std::string& station) = 0;
};

class Line {
public:
  Line(std::string name, LineDb& db, int offline_ms, size_t stations_max = LINE_STATIONS_MAX);

  // Set before load_known() and before the line is served.
  void watch(LineWatcher* watcher) { watcher_ = watcher; }
  // Told, in one line, when the database goes away and when it is back.
  void on_note(std::function<void(const std::string&)> note) { note_ = std::move(note); }
  // Rows a station may send a minute (LINE_ROWS_PER_MINUTE unless set).
  void limit_rows(int64_t per_minute) { quota_.set(per_minute); }

  // A batch {"rows": [...]} of the station's finished rows; 200 with
  // {"have_through": N}, 400 with nothing stored, 429 past the station's
  // rows a minute (with how long to wait), 503 while the database is down.
  LineReply receive_rows(const std::string& station, const std::string& body);
  // The station's live state; 200 with {"ok": true}, and the station's
  // have_through beside it when the state carried the station's own synced
  // mark (synced_through) and the database answers.
  LineReply receive_state(const std::string& station, const std::string& body);
  // The same for a state that needs nothing of the database (no synced
  // mark), answered at once on the caller's thread; nothing for a state to
  // hand to receive_state. Never waits but for the line's own lock.
  std::optional<LineReply> receive_state_at_once(const std::string& station,
                                                 const std::string& body);
  // Whether `station` may report: a station the line knows, one with a
  // credential of its own (`own`), or a new one while fewer than its most
  // are known; else why not, in one line, into *why.
  bool may_report(const std::string& station, bool own, std::string* why) const;
  // The stations in the live view: heard from, or known from an earlier life.
  std::vector<std::string> station_names() const;
  LineReply state();
  // The rows of `query`, newest first, in an answer of at most
  // LINE_ANSWER_MAX bytes; when more rows follow, "next" is the link to them.
  LineReply records(const RecordQuery& query);
  // The rows of `query` as a CSV file made a page at a time as its reader
  // takes it; 503 when LINE_CSV_STREAMS_MAX are on their way.
  LineReply records_csv(const RecordQuery& query, std::shared_ptr<HttpStreamSource>* csv);

  // The figures of a period (GET /api/stats?since=&until=&station=, see
  // line_stats.h); 400 for a query it cannot take, 503 while the database
  // is down.
  LineReply stats(const std::string& query);
  // The line's metrics: the runs it stored since it started, each station's
  // slots and waiting rows as the station last said, its database.
  void metrics(MetricsText* out) const;

  // A stream that begins with every station and the totals; nullptr when
  // too many are open.
  std::shared_ptr<EventStream> open_stream();
  EventStreams& streams() { return streams_; }
  // Stations that went quiet become offline, with an event each; those
  // silent for LINE_FORGET_MS leave the live view.
  void tick();
  // Looks at the database: a change of its health is told to the event
  // streams (the page's banner) and to the note, once each way.
  void check_database();
  // The stations that sent rows in an earlier life of the line.
  void load_known();
  void finish();

private:
  struct Station {
    bool heard = false;
    bool online = false;
    std::chrono::steady_clock::time_point heard_at;
    std::string heard_utc;
    nlohmann::ordered_json page;
    nlohmann::ordered_json slots = nlohmann::ordered_json::array();
    std::string slots_text = "[]"; // the slots written out, once as they change
    int64_t running = 0;           // of the slots, those running
    int64_t unsynced = 0;
    nlohmann::ordered_json unsynced_oldest_s;
    int64_t have_through = -1; // -1: not known yet
  };

  // A state's body read into *state and checked: the problem in one line,
  // or empty.
  static std::string read_state(const std::string& body, nlohmann::ordered_json* state);
  // A checked state taken as the station's; its slots are moved out of it.
  void take_state(const std::string& station, nlohmann::ordered_json* state);
  // The station written out as the page, its events and GET /api/line show
  // it.
  std::string station_text(const std::string& name, const Station& s) const;
  nlohmann::ordered_json database_json() const;
  nlohmann::ordered_json totals_json() const;
  bool totals_known() const;
  void heard(Station* s);
  // A station's online flag and running count changed only through these,
  // which keep running_online_ up to date.
  void set_online(Station* s, bool online);
  void set_running(Station* s, int64_t running);
  void publish(nlohmann::ordered_json event);
  // Publishes an event written out but for its last member, sent_ms, and
  // its closing brace.
  void publish_begun(const std::string& event);
  // The station's event.
  void publish_station(const std::string& name, const Station& s);
  // The totals event, when the totals differ from those last told.
  void publish_totals();
  void tell_status(const std::string& name, const Station& s);
  LineReply too_many_rows(int wait_s) const;
  void publish_heard(std::chrono::steady_clock::time_point now);

  const std::string name_;
  LineDb& db_;
  const int offline_ms_;
  const size_t stations_max_;
  mutable std::mutex mutex_;
  std::map<std::string, Station> stations_;
  LineTotals totals_;
  bool totals_known_ = false; // counted in the database once it answered
  EventStreams streams_;
  LineWatcher* watcher_ = nullptr;
  RowQuota quota_;
  BodyStreams downloads_{LINE_CSV_STREAMS_MAX};
  std::function<void(const std::string&)> note_;
  bool db_known_ = false; // db_health_ was looked at once
  LineDbHealth db_health_;
  RunMetrics runs_;
  std::chrono::steady_clock::time_point heard_told_{};
  // Of the online stations' slots, those running: the totals' third figure,
  // kept as stations change rather than counted at each look.
  int64_t running_online_ = 0;
  // The totals last told the event streams; none told yet at first.
  LineTotals totals_told_{-1, -1};
  int64_t running_told_ = -1;
};

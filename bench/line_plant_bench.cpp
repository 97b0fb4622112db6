// A plant on one line server, not a test: N stand-in stations (200 unless
// --stations says otherwise) of 16 slots report to one orvaload-line that
// keeps its rows in PostgreSQL and publishes to a Mosquitto broker of the
// bench's own, through the line's real API and as a station's reporter
// does: each station with a credential of its own (orvaload-line credential
// add station st-NNN), from a loopback address of its own (127.0.0.x), over
// one kept-alive connection, one request at a time. Each slot runs 17 s,
// shows its end for 1 s (the unit is swapped) and runs again; a station
// posts its state at once on a change of phase, at most twice a second
// while a slot's progress moves and every 5 s regardless (the heartbeat,
// which carries its synced mark, and after which it fetches the line's
// people); its finished rows go as a batch as each run ends, followed by
// the audit entries of the runs it started. Three line pages read the event
// stream (/api/events, a viewer's credential), a viewer asks GET /api/line
// once a second, and a plant system subscribes to the line's MQTT topics.
//
// One thread drives it all (non-blocking sockets on epoll, libmosquitto's
// socket in the same loop), so that the bench takes little of the cores it
// shares with the line, PostgreSQL and the broker; it says its own CPU.
// After a warm-up of one run, it measures --seconds (60) and prints:
//  - the line server's CPU (share of one core) and memory (VmRSS at the
//    start, middle and end of the measured period; "flat": the end within
//    10% of the middle), the bench's own CPU and the whole machine's;
//  - p50/p99 of a slot's change of phase to the line's event stream and to
//    its MQTT state, of a run's end to the line's answer to the batch that
//    holds its row (given after the row is committed to PostgreSQL), and of
//    GET /api/line.
// Exit status 0 when every goal is met, 1 when one is missed, 2 when the
// set-up failed. It needs a PostgreSQL of its own, as the bench-line-plant
// target gives it:
//   tests/line/with_postgresql.sh orva-line-plant-bench --line ORVALOAD_LINE
//       [--stations N] [--seconds S] [--work-dir DIR]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "bench/line_bench_figures.h"
#include "records/audit_chain.h"
#include "tests/support/broker_process.h"
#include "tests/support/child_process.h"

namespace {

using Json = nlohmann::json;

constexpr int SLOTS = 16;
constexpr double RUN_MS = 17000;
constexpr double SWAP_MS = 1000;
// The station reporter's pace.
constexpr double STATE_MIN_MS = 500;
constexpr double HEARTBEAT_MS = 5000;
constexpr double TICK_MS = 10;
constexpr double VIEWER_EVERY_MS = 1000;
constexpr int PAGES = 3;
constexpr double START_S = 30.0;
// For the changes and rows of the measured period's last moments.
constexpr double SETTLE_MS = 3000;
constexpr size_t BATCH_MAX = 500;

constexpr double CPU_GOAL_PERCENT = 25.0;
constexpr double FLAT_GOAL = 0.10;
constexpr double EVENT_P99_GOAL_MS = 250.0;
constexpr double ROW_P99_GOAL_MS = 1000.0;
constexpr double LINE_P99_GOAL_MS = 100.0;

constexpr int EXIT_MISSED = 1;
constexpr int EXIT_SETUP = 2;

const char* const LINE_NAME = "L1";
const char* const DONE_TEXT = "Program success, starting application...";

double now_ms() {
  return monotonic_seconds() * 1000.0;
}

int64_t wall_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// As the record store writes times: 2026-12-09T14:06:41.123Z.
std::string utc_text(int64_t ms) {
  const std::time_t s = static_cast<std::time_t>(ms / 1000);
  std::tm t{};
  gmtime_r(&s, &t);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// The machine's busy and whole jiffies so far, all cores (/proc/stat).
std::pair<double, double> machine_jiffies() {
  std::istringstream in(read_text("/proc/stat"));
  std::string cpu;
  in >> cpu;
  double all = 0, idle = 0;
  for (int i = 0; i < 10; ++i) {
    double v = 0;
    in >> v;
    all += v;
    if (i == 3 || i == 4) idle += v; // idle, iowait
  }
  return {all - idle, all};
}

double own_cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string random_hex(std::mt19937_64& random, size_t digits) {
  std::string text;
  for (size_t i = 0; i < digits; ++i) text += "0123456789abcdef"[random() % 16];
  return text;
}

// A JSON string of plain text (the bench's own texts need no escapes).
std::string json_text(const std::string& text) {
  return "\"" + text + "\"";
}

// One HTTP/1.1 connection of a client on the loop: one request at a time,
// each answer read whole by its Content-Length (or, for an event stream,
// its chunks handed over as they come).
struct Conn {
  int fd = -1;
  bool connected = false;
  std::string local; // the loopback address it comes from
  std::string out;
  size_t out_at = 0;
  std::string in;
  bool busy = false;   // a request is on its way
  bool opened = false; // once: a new connection after is one opened again
  bool stream = false; // an event stream: chunks after the head
  bool head_done = false;
  int status = 0;
  size_t body_length = 0;
  bool close_after = false;
  // The stream's chunks: what is left of the one being read, -1 while a
  // size line is awaited.
  long chunk_left = -1;
};

struct Slot {
  std::string phase = "idle";
  double run_started = 0; // bench time
  int64_t started_wall = 0;
  int64_t permille = 0;
  std::string tag;
  std::string last_text;
  // The last change of phase, and whether the line's stream and MQTT have
  // shown it.
  double changed_at = 0;
  bool measured = false; // changed within the measured period
  bool seen_stream = true;
  bool seen_mqtt = true;
  std::string stream_phase; // as the line's first stream last showed it
  std::string mqtt_phase;
};

struct Row {
  int64_t seq = 0;
  std::string json;
  double ended = 0; // bench time
  int64_t ended_wall = 0;
};

enum class Ask { none, state, rows, audit, people };

struct Station {
  int index = 0;
  std::string name;
  std::string token;
  Conn conn;
  Slot slots[SLOTS];
  // The reporter's.
  bool dirty = true;
  bool phase_changed = true;
  double last_state = -1e9;
  double last_check = -1e9;
  bool people_due = false;
  double rows_after = 0;    // a refused batch goes again after a pause
  std::deque<Row> unsynced; // finished rows the line has not acknowledged
  size_t in_batch = 0;      // of them, in the batch on its way
  int64_t synced_through = 0;
  int64_t next_seq = 1;
  std::vector<AuditEntry> audit_waiting;
  size_t audit_in_batch = 0;
  AuditEntry audit_last;
  bool audit_any = false;
  Ask asked = Ask::none;
  double asked_at = 0;
};

struct Figures {
  std::vector<double> to_stream, to_mqtt, to_row, line_get;
  int unseen_stream = 0, unseen_mqtt = 0;
  std::map<std::string, int> failed; // "state 503" and the like
  int reconnects = 0;
  int64_t rows_acknowledged = 0;
  int64_t posts = 0;
  int streams_closed = 0;
  int64_t stream_events = 0;
  int64_t mqtt_messages = 0;
};

class Plant {
public:
  Plant(int line_port, std::vector<Station>& stations, const std::string& viewer, bool& measuring,
        Figures& figures)
      : port_(line_port),
        stations_(stations),
        viewer_token_(viewer),
        measuring_(measuring),
        figures_(figures) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    host_ = "127.0.0.1:" + std::to_string(port_);
  }
  ~Plant() {
    for (Station& s : stations_) close_conn(&s.conn);
    for (Conn& c : pages_) close_conn(&c);
    close_conn(&viewer_);
    if (mqtt_ != nullptr) {
      mosquitto_disconnect(mqtt_);
      mosquitto_destroy(mqtt_);
    }
    close(epoll_);
  }

  bool start_mqtt(int port, std::string* problem) {
    mosquitto_lib_init();
    mqtt_ = mosquitto_new(("plant-bench-" + std::to_string(getpid())).c_str(), true, this);
    mosquitto_username_pw_set(mqtt_, BrokerProcess::USER, BrokerProcess::PASSWORD);
    mosquitto_connect_callback_set(mqtt_, [](mosquitto* m, void*, int rc) {
      if (rc == 0)
        mosquitto_subscribe(m, nullptr, (std::string("orva/v1/") + LINE_NAME + "/#").c_str(), 1);
    });
    mosquitto_message_callback_set(mqtt_, [](mosquitto*, void* self, const mosquitto_message* m) {
      static_cast<Plant*>(self)->on_mqtt(m);
    });
    const int rc = mosquitto_connect(mqtt_, "127.0.0.1", port, 30);
    if (rc != MOSQ_ERR_SUCCESS) {
      *problem = std::string("the bench's MQTT subscriber: ") + mosquitto_strerror(rc);
      return false;
    }
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = MQTT_ID;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, mosquitto_socket(mqtt_), &e);
    return true;
  }

  void start_pages() {
    pages_.resize(PAGES);
    for (int i = 0; i < PAGES; ++i) {
      Conn& c = pages_[static_cast<size_t>(i)];
      c.local = "127.1.0." + std::to_string(i + 1);
      c.stream = true;
      send(&c, PAGE_ID + static_cast<uint64_t>(i),
           "GET /api/events HTTP/1.1\r\nHost: " + host_ + "\r\nAuthorization: Bearer " +
               viewer_token_ + "\r\n\r\n");
    }
    viewer_.local = "127.1.0.10";
  }

  // One pass of the loop: what the sockets bring, then the slots and the
  // reporters at their times.
  void pass(double until_ms) {
    epoll_event events[256];
    const int wait = std::max(0, static_cast<int>(std::min(TICK_MS, until_ms - now_ms())));
    const int n = epoll_wait(epoll_, events, 256, wait);
    for (int i = 0; i < n; ++i) on_event(events[i]);
    const double now = now_ms();
    if (mqtt_ != nullptr) {
      if (mosquitto_want_write(mqtt_)) mosquitto_loop_write(mqtt_, 1);
      if (now - mqtt_misc_ >= 1000) {
        mosquitto_loop_misc(mqtt_);
        mqtt_misc_ = now;
      }
    }
    if (now - stepped_ >= TICK_MS) {
      stepped_ = now;
      for (Station& s : stations_) step(&s, now);
    }
    if (!viewer_.busy && now - viewer_asked_ >= VIEWER_EVERY_MS) {
      viewer_asked_ = now;
      send(&viewer_, VIEWER_ID,
           "GET /api/line HTTP/1.1\r\nHost: " + host_ + "\r\nAuthorization: Bearer " +
               viewer_token_ + "\r\n\r\n");
    }
  }

  // Every station's first state, and its first slots' runs spread over one
  // cycle, so that the runs end evenly as on a real line.
  void begin(std::mt19937_64& random) {
    const double now = now_ms();
    for (Station& s : stations_) {
      for (int k = 0; k < SLOTS; ++k) {
        Slot& slot = s.slots[k];
        // A run begun up to a cycle ago; the ones still swapping start soon.
        const double ago = std::uniform_real_distribution<double>(0, RUN_MS + SWAP_MS)(random);
        start_run(&s, k, now - ago);
        slot.measured = false;
      }
    }
  }

  bool all_connected() const {
    for (const Station& s : stations_) {
      if (!s.conn.connected || s.last_state < 0) return false;
    }
    return true;
  }
  int pages_open() const {
    int open = 0;
    for (const Conn& c : pages_) open += c.connected && c.head_done && c.status == 200;
    return open;
  }
  bool mqtt_seen() const { return figures_.mqtt_messages > 0; }

  // Changes of the measured period that the line never showed.
  void count_unseen() {
    for (Station& s : stations_) {
      for (Slot& slot : s.slots) {
        if (!slot.measured) continue;
        figures_.unseen_stream += !slot.seen_stream;
        figures_.unseen_mqtt += !slot.seen_mqtt;
      }
    }
  }

private:
  static constexpr uint64_t PAGE_ID = 1u << 20;
  static constexpr uint64_t VIEWER_ID = 2u << 20;
  static constexpr uint64_t MQTT_ID = 3u << 20;

  Conn* conn_of(uint64_t id) {
    if (id < PAGE_ID) return &stations_[id].conn;
    if (id < VIEWER_ID) return &pages_[id - PAGE_ID];
    return &viewer_;
  }

  void close_conn(Conn* c) {
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
    c->connected = false;
    c->busy = false;
    c->out.clear();
    c->out_at = 0;
    c->in.clear();
  }

  bool open_conn(Conn* c, uint64_t id) {
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c->fd < 0) return false;
    const int one = 1;
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, c->local.c_str(), &local.sin_addr);
    sockaddr_in there{};
    there.sin_family = AF_INET;
    there.sin_port = htons(static_cast<uint16_t>(port_));
    inet_pton(AF_INET, "127.0.0.1", &there.sin_addr);
    if (bind(c->fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        (connect(c->fd, reinterpret_cast<sockaddr*>(&there), sizeof there) != 0 &&
         errno != EINPROGRESS)) {
      close_conn(c);
      return false;
    }
    epoll_event e{};
    e.events = EPOLLIN | EPOLLOUT;
    e.data.u64 = id;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, c->fd, &e);
    return true;
  }

  void send(Conn* c, uint64_t id, std::string request) {
    if (c->fd < 0) {
      if (!open_conn(c, id)) return;
      figures_.reconnects += c->opened;
      c->opened = true;
    }
    c->out = std::move(request);
    c->out_at = 0;
    c->busy = true;
    c->head_done = false;
    c->status = 0;
    c->in.clear();
    c->chunk_left = -1;
    if (c->connected) flush(c, id);
  }

  void flush(Conn* c, uint64_t id) {
    while (c->out_at < c->out.size()) {
      const ssize_t n =
          ::send(c->fd, c->out.data() + c->out_at, c->out.size() - c->out_at, MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) return broken(c, id);
      c->out_at += static_cast<size_t>(n);
    }
    epoll_event e{};
    e.events = EPOLLIN | (c->out_at < c->out.size() ? static_cast<uint32_t>(EPOLLOUT) : 0u);
    e.data.u64 = id;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, c->fd, &e);
  }

  void on_event(const epoll_event& e) {
    if (e.data.u64 == MQTT_ID) {
      mosquitto_loop_read(mqtt_, 64);
      return;
    }
    Conn* c = conn_of(e.data.u64);
    if (c->fd < 0) return;
    if (!c->connected && (e.events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
      int error = 0;
      socklen_t size = sizeof error;
      getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &error, &size);
      if (error != 0) return broken(c, e.data.u64);
      c->connected = true;
    }
    if (c->connected && c->out_at < c->out.size()) flush(c, e.data.u64);
    if (c->fd < 0 || !(e.events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
    char buffer[65536];
    for (;;) {
      const ssize_t n = recv(c->fd, buffer, sizeof buffer, 0);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) return broken(c, e.data.u64);
      c->in.append(buffer, static_cast<size_t>(n));
      if (!take(c, e.data.u64)) return;
    }
  }

  // The line closed a connection (or it broke): a station's request on its
  // way failed, and the next one opens a new connection.
  void broken(Conn* c, uint64_t id) {
    const bool was_busy = c->busy;
    close_conn(c);
    if (id < PAGE_ID && was_busy) answered(&stations_[id], 0, "");
    if (id >= PAGE_ID && id < VIEWER_ID) {
      ++figures_.streams_closed;
      // A page reconnects, as the line's page does.
      send(c, id,
           "GET /api/events HTTP/1.1\r\nHost: " + host_ + "\r\nAuthorization: Bearer " +
               viewer_token_ + "\r\n\r\n");
    }
  }

  // Reads what came; false when the connection went.
  bool take(Conn* c, uint64_t id) {
    if (!c->head_done) {
      const size_t end = c->in.find("\r\n\r\n");
      if (end == std::string::npos) return true;
      c->status = std::atoi(c->in.c_str() + 9);
      c->body_length = 0;
      c->close_after = false;
      std::string head = c->in.substr(0, end);
      for (char& ch : head) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      const size_t length = head.find("\r\ncontent-length:");
      if (length != std::string::npos)
        c->body_length = std::strtoul(head.c_str() + length + 17, nullptr, 10);
      c->close_after = head.find("\r\nconnection: close") != std::string::npos;
      c->in.erase(0, end + 4);
      c->head_done = true;
    }
    if (c->stream && c->status == 200) return take_chunks(c, id);
    if (c->in.size() < c->body_length) return true;
    const std::string body = c->in.substr(0, c->body_length);
    c->in.erase(0, c->body_length);
    c->busy = false;
    c->head_done = false;
    const int status = c->status;
    const bool close_after = c->close_after;
    if (id < PAGE_ID) answered(&stations_[id], status, body);
    else if (id >= VIEWER_ID) {
      if (measuring_) figures_.line_get.push_back(now_ms() - viewer_asked_);
      if (status != 200) ++figures_.failed["GET /api/line " + std::to_string(status)];
    } else {
      ++figures_.failed["events " + std::to_string(status)];
    }
    if (close_after) {
      close_conn(c);
      if (id >= PAGE_ID && id < VIEWER_ID) broken(c, id);
      return false;
    }
    return true;
  }

  bool take_chunks(Conn* c, uint64_t id) {
    for (;;) {
      if (c->chunk_left < 0) {
        const size_t end = c->in.find("\r\n");
        if (end == std::string::npos) return true;
        c->chunk_left = std::strtol(c->in.c_str(), nullptr, 16);
        c->in.erase(0, end + 2);
        if (c->chunk_left == 0) {
          broken(c, id);
          return false;
        }
      }
      if (c->in.size() < static_cast<size_t>(c->chunk_left) + 2) return true;
      sse_.at(id - PAGE_ID).append(c->in, 0, static_cast<size_t>(c->chunk_left));
      c->in.erase(0, static_cast<size_t>(c->chunk_left) + 2);
      c->chunk_left = -1;
      std::string& text = sse_.at(id - PAGE_ID);
      size_t at = 0;
      for (size_t end; (end = text.find("\n\n", at)) != std::string::npos; at = end + 2) {
        ++figures_.stream_events;
        // The first page's events are read; the others are only taken.
        if (id == PAGE_ID && text.compare(at, 6, "data: ") == 0) {
          on_stream_event(text.substr(at + 6, end - at - 6));
        }
      }
      text.erase(0, at);
    }
  }

  int station_of(const std::string& name) const {
    if (name.size() < 4 || name.compare(0, 3, "st-") != 0) return -1;
    const int n = std::atoi(name.c_str() + 3) - 1;
    return n >= 0 && n < static_cast<int>(stations_.size()) ? n : -1;
  }

  void on_stream_event(const std::string& data) {
    if (data.find("\"event\":\"station\"") == std::string::npos) return;
    const double at = now_ms();
    const Json event = Json::parse(data, nullptr, false);
    if (!event.is_object() || !event.contains("station")) return;
    const Json& station = event["station"];
    const int k = station_of(station.value("name", ""));
    if (k < 0 || !station.value("slots", Json()).is_array()) return;
    for (const Json& shown : station["slots"]) {
      const int n = shown.value("slot", 0);
      if (n < 1 || n > SLOTS || !shown.value("state", Json()).is_string()) continue;
      Slot& slot = stations_[k].slots[n - 1];
      const std::string phase = shown["state"].get<std::string>();
      if (phase == slot.stream_phase) continue;
      slot.stream_phase = phase;
      if (!slot.seen_stream && phase == slot.phase) {
        slot.seen_stream = true;
        if (slot.measured) figures_.to_stream.push_back(at - slot.changed_at);
      }
    }
  }

  void on_mqtt(const mosquitto_message* m) {
    ++figures_.mqtt_messages;
    const std::string topic = m->topic;
    // orva/v1/L1/st-NNN/slot/N/state
    const size_t slot_at = topic.find("/slot/");
    if (slot_at == std::string::npos || m->payloadlen <= 0) return;
    const size_t name_at = topic.rfind('/', slot_at - 1);
    const int k = station_of(topic.substr(name_at + 1, slot_at - name_at - 1));
    const int n = std::atoi(topic.c_str() + slot_at + 6);
    if (k < 0 || n < 1 || n > SLOTS) return;
    const std::string payload(static_cast<const char*>(m->payload),
                              static_cast<size_t>(m->payloadlen));
    const size_t phase_at = payload.find("\"phase\":\"");
    if (phase_at == std::string::npos) return;
    const size_t end = payload.find('"', phase_at + 9);
    const std::string phase = payload.substr(phase_at + 9, end - phase_at - 9);
    Slot& slot = stations_[k].slots[n - 1];
    if (phase == slot.mqtt_phase) return;
    slot.mqtt_phase = phase;
    if (!slot.seen_mqtt && phase == slot.phase) {
      slot.seen_mqtt = true;
      if (slot.measured) figures_.to_mqtt.push_back(now_ms() - slot.changed_at);
    }
  }

  void change_phase(Station* s, int k, const std::string& phase, double at) {
    Slot& slot = s->slots[k];
    // A change measured and overtaken before the line showed it.
    if (slot.measured) {
      figures_.unseen_stream += !slot.seen_stream;
      figures_.unseen_mqtt += !slot.seen_mqtt;
    }
    slot.phase = phase;
    slot.changed_at = at;
    slot.measured = measuring_;
    slot.seen_stream = false;
    slot.seen_mqtt = false;
    s->dirty = true;
    s->phase_changed = true;
  }

  void start_run(Station* s, int k, double at) {
    Slot& slot = s->slots[k];
    slot.run_started = at;
    slot.started_wall = wall_ms() - static_cast<int64_t>(now_ms() - at);
    slot.permille = 0;
    slot.tag = "SN-" + s->name + "-" + std::to_string(s->next_seq + k);
    slot.last_text = "Programming...";
    change_phase(s, k, "running", at);
    // The station's audit entry of the start.
    const AuditEntry* last = s->audit_any ? &s->audit_last : nullptr;
    s->audit_last =
        audit_next(last, utc_text(slot.started_wall), s->name, "local", "run.start",
                   "slot " + std::to_string(k + 1), "{\"tag\":" + json_text(slot.tag) + "}");
    s->audit_any = true;
    s->audit_waiting.push_back(s->audit_last);
  }

  void end_run(Station* s, int k, double at) {
    Slot& slot = s->slots[k];
    const int64_t ended_wall = wall_ms() - static_cast<int64_t>(now_ms() - at);
    Row row;
    row.seq = s->next_seq++;
    row.ended = at;
    row.ended_wall = ended_wall;
    char id[64];
    std::snprintf(id, sizeof id, "%08x-%04x-4000-8000-%012llx", s->index + 1, k + 1,
                  static_cast<unsigned long long>(row.seq));
    row.json = "{\"run_id\":\"" + std::string(id) +
               "\",\"station_seq\":" + std::to_string(row.seq) +
               ",\"station\":" + json_text(s->name) + ",\"slot\":" + std::to_string(k + 1) +
               ",\"port\":\"/dev/ttyUSB" + std::to_string(k) +
               "\",\"usb_location\":null,\"usb_serial\":null,\"tag\":" + json_text(slot.tag) +
               ",\"image_sha256\":\"" + std::string(64, 'a') +
               "\",\"image_size\":180036,\"load_address\":16384,\"image_source\":\"built-in\","
               "\"program_version\":\"2.00\",\"started_at\":" +
               json_text(utc_text(slot.started_wall)) +
               ",\"ended_at\":" + json_text(utc_text(ended_wall)) +
               ",\"result\":\"ok\",\"step\":null,\"last_text\":" + json_text(DONE_TEXT) +
               ",\"frames\":717,\"retransmissions\":0}";
    s->unsynced.push_back(std::move(row));
    slot.permille = 1000;
    slot.last_text = DONE_TEXT;
    change_phase(s, k, "upgraded", at);
  }

  // The slots' runs, then the reporter: one request at a time, state first
  // (a new phase at once, progress at most twice a second, the heartbeat),
  // then rows, their audit entries, and the people at each heartbeat.
  void step(Station* s, double now) {
    for (int k = 0; k < SLOTS; ++k) {
      Slot& slot = s->slots[k];
      const double age = now - slot.run_started;
      if (slot.phase == "running") {
        if (age >= RUN_MS) {
          end_run(s, k, slot.run_started + RUN_MS);
          continue;
        }
        const int64_t permille = static_cast<int64_t>(age / RUN_MS * 1000);
        if (permille / 10 != slot.permille / 10) s->dirty = true; // a whole percent more
        slot.permille = permille;
      } else if (age >= RUN_MS + SWAP_MS) {
        start_run(s, k, slot.run_started + RUN_MS + SWAP_MS);
      }
    }
    if (s->conn.busy) return;
    const bool beat = now - s->last_state >= HEARTBEAT_MS;
    if (beat || (s->dirty && (s->phase_changed || now - s->last_state >= STATE_MIN_MS))) {
      post_state(s, now, beat);
    } else if (!s->unsynced.empty() && now >= s->rows_after) {
      post_rows(s, now);
    } else if (!s->audit_waiting.empty() && now >= s->rows_after) {
      post_audit(s, now);
    } else if (s->people_due) {
      s->people_due = false;
      post(s, Ask::people, now, "people", "{}");
    }
  }

  void post(Station* s, Ask ask, double now, const std::string& what, const std::string& body) {
    s->asked = ask;
    s->asked_at = now;
    ++figures_.posts;
    send(&s->conn, static_cast<uint64_t>(s->index),
         "POST /api/stations/" + s->name + "/" + what + " HTTP/1.1\r\nHost: " + host_ +
             "\r\nAuthorization: Bearer " + s->token +
             "\r\nContent-Type: application/json\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\n\r\n" + body);
  }

  void post_state(Station* s, double now, bool beat) {
    std::string body = "{\"page\":\"http://" + s->conn.local + ":8080/\",\"slots\":[";
    for (int k = 0; k < SLOTS; ++k) {
      const Slot& slot = s->slots[k];
      body += std::string(k ? "," : "") + "{\"slot\":" + std::to_string(k + 1) +
              ",\"port\":\"/dev/ttyUSB" + std::to_string(k) +
              "\",\"state\":" + json_text(slot.phase) +
              ",\"permille\":" + std::to_string(slot.permille) + ",\"tag\":" + json_text(slot.tag) +
              ",\"last_text\":" + json_text(slot.last_text) + "}";
    }
    const double oldest = s->unsynced.empty() ? 0 : (now - s->unsynced.front().ended) / 1000;
    body += "],\"unsynced\":" + std::to_string(s->unsynced.size()) +
            ",\"unsynced_oldest_s\":" + std::to_string(static_cast<int64_t>(oldest + 0.5));
    if (now - s->last_check >= HEARTBEAT_MS) {
      body += ",\"synced_through\":" + std::to_string(s->synced_through);
      s->last_check = now;
    }
    body += "}\n";
    s->dirty = false;
    s->phase_changed = false;
    s->last_state = now;
    if (beat) s->people_due = true;
    post(s, Ask::state, now, "state", body);
  }

  void post_rows(Station* s, double now) {
    s->in_batch = std::min(s->unsynced.size(), BATCH_MAX);
    std::string body = "{\"rows\":[";
    for (size_t i = 0; i < s->in_batch; ++i) body += (i ? "," : "") + s->unsynced[i].json;
    body += "]}\n";
    post(s, Ask::rows, now, "records", body);
  }

  void post_audit(Station* s, double now) {
    s->audit_in_batch = std::min<size_t>(s->audit_waiting.size(), 200);
    Json list = Json::array();
    for (size_t i = 0; i < s->audit_in_batch; ++i) {
      const AuditEntry& e = s->audit_waiting[i];
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
    post(s, Ask::audit, now, "audit", Json{{"entries", list}}.dump() + "\n");
  }

  void answered(Station* s, int status, const std::string& body) {
    const Ask ask = s->asked;
    s->asked = Ask::none;
    static const char* const NAMES[] = {"none", "state", "records", "audit", "people"};
    if (status != 200) {
      ++figures_.failed[std::string(NAMES[static_cast<int>(ask)]) + " " + std::to_string(status)];
      // A failed state goes again at once; rows and entries wait for the
      // next turn, as the reporter's retry does.
      if (ask == Ask::state) s->dirty = true;
      else s->rows_after = now_ms() + 1000;
      return;
    }
    const double now = now_ms();
    if (ask == Ask::rows) {
      const size_t at = body.find("\"have_through\":");
      const int64_t held = at == std::string::npos ? 0 : std::atoll(body.c_str() + at + 15);
      while (!s->unsynced.empty() && s->unsynced.front().seq <= held) {
        const double ended = s->unsynced.front().ended;
        if (ended >= measure_from_ && ended < measure_until_) {
          figures_.to_row.push_back(now - s->unsynced.front().ended);
        }
        ++figures_.rows_acknowledged;
        s->unsynced.pop_front();
      }
      s->synced_through = std::max(s->synced_through, held);
      s->dirty = true; // the unsynced count changed
    } else if (ask == Ask::audit) {
      s->audit_waiting.erase(s->audit_waiting.begin(),
                             s->audit_waiting.begin() + static_cast<long>(s->audit_in_batch));
    }
  }

public:
  // The measured period: rows that ended within it are timed.
  double measure_from_ = 0;
  double measure_until_ = 1e300;

private:
  const int port_;
  std::string host_;
  std::vector<Station>& stations_;
  const std::string viewer_token_;
  bool& measuring_;
  Figures& figures_;
  int epoll_ = -1;
  std::vector<Conn> pages_;
  std::map<uint64_t, std::string> sse_{{0, ""}, {1, ""}, {2, ""}};
  Conn viewer_;
  double viewer_asked_ = 0;
  mosquitto* mqtt_ = nullptr;
  double mqtt_misc_ = 0;
  double stepped_ = 0;
};

struct Options {
  std::string line, work_dir = "/tmp";
  int stations = 200;
  int seconds = 60;
};

// Servers and children, stopped in the reverse order of their start when
// the bench ends however it ends.
struct Rig {
  std::string dir;
  BrokerProcess broker;
  ChildProcess line;

  ~Rig() {
    line.send_signal(SIGTERM);
    line.finish(10);
    broker.stop();
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
  }
};

int setup_failure(const std::string& reason) {
  std::fprintf(stderr, "line-plant-bench: %s%s\n", reason.c_str(),
               bench_interrupted ? " (interrupted)" : "");
  std::printf("load at end: %s\n", load_average().c_str());
  return EXIT_SETUP;
}

// A new credential's token, made as the line's machine makes one.
std::string rows_in_database() {
  ChildProcess psql;
  if (!psql.start({"/usr/bin/psql", "-X", "-q", "-tA", "-c", "SELECT COUNT(*) FROM orva_runs"})) {
    return "?";
  }
  if (psql.finish(30) != 0) return "?";
  std::string out = psql.out();
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

} // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--line") o.line = argv[i + 1];
    else if (key == "--work-dir") o.work_dir = argv[i + 1];
    else if (key == "--stations") o.stations = std::atoi(argv[i + 1]);
    else if (key == "--seconds") o.seconds = std::atoi(argv[i + 1]);
  }
  if (o.line.empty() || o.stations < 1 || o.stations > 60000 || o.seconds < 1) {
    std::fprintf(stderr, "usage: orva-line-plant-bench --line ORVALOAD_LINE [--stations N "
                         "(200)] [--seconds S (60)] [--work-dir DIR]\n");
    return EXIT_SETUP;
  }
  bench_catch_signals();
  std::printf("load at start: %s\n", load_average().c_str());
  std::fflush(stdout);
  if (std::getenv("PGHOST") == nullptr) {
    return setup_failure("no PostgreSQL: run it under pg_virtualenv, as "
                         "tests/line/with_postgresql.sh or the bench-line-plant target does");
  }
  // The bench's own connections, and the line's.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);

  Rig rig;
  std::string dir_pattern = o.work_dir + "/orva-line-plant-XXXXXX";
  if (mkdtemp(dir_pattern.data()) == nullptr) {
    return setup_failure("cannot make a folder in " + o.work_dir);
  }
  rig.dir = dir_pattern;
  std::mt19937_64 random(static_cast<uint64_t>(getpid()));
  const std::string admin = random_hex(random, 64);
  const std::string token_file = rig.dir + "/line-token";
  std::ofstream(token_file) << admin << "\n";
  chmod(token_file.c_str(), S_IRUSR | S_IWUSR);

  std::vector<Station> stations(static_cast<size_t>(o.stations));
  const double made_from = now_ms();
  for (int k = 0; k < o.stations && !bench_interrupted; ++k) {
    Station& s = stations[static_cast<size_t>(k)];
    char name[16];
    std::snprintf(name, sizeof name, "st-%03d", k + 1);
    s.index = k;
    s.name = name;
    s.token = bench_credential(o.line, "station", s.name);
    if (s.token.size() != 64) return setup_failure("credential add station " + s.name + " failed");
    s.conn.local = "127.0." + std::to_string(k / 250) + "." + std::to_string(2 + k % 250);
  }
  const std::string viewer = bench_credential(o.line, "viewer", "plant-bench");
  if (viewer.size() != 64) return setup_failure("credential add viewer failed");
  std::printf("%d station credentials and a viewer's made in %.1f s\n", o.stations,
              (now_ms() - made_from) / 1000);

  const std::string line_problem =
      bench_start_line(rig.broker, rig.line, o.line, LINE_NAME, token_file);
  if (!line_problem.empty()) return setup_failure(line_problem);
  const int port = port_in(rig.line.out());
  const pid_t line_pid = rig.line.pid();

  bool measuring = false;
  Figures figures;
  Plant plant(port, stations, viewer, measuring, figures);
  std::string problem;
  if (!plant.start_mqtt(rig.broker.plain_port(), &problem)) return setup_failure(problem);
  plant.start_pages();
  plant.begin(random);
  // Every station connected and heard, the pages' streams open, the
  // broker's first words in; then one whole cycle of runs to warm up.
  const double set_up_by = now_ms() + START_S * 1000;
  while (!bench_interrupted && now_ms() < set_up_by &&
         !(plant.all_connected() && plant.pages_open() == PAGES && plant.mqtt_seen())) {
    plant.pass(set_up_by);
  }
  if (!plant.all_connected() || plant.pages_open() != PAGES || !plant.mqtt_seen()) {
    return setup_failure("within " + std::to_string(static_cast<int>(START_S)) +
                         " s not every station was connected and heard (" +
                         std::to_string(plant.pages_open()) + " pages open)");
  }
  const double warm_until = now_ms() + RUN_MS + SWAP_MS;
  while (!bench_interrupted && now_ms() < warm_until) plant.pass(warm_until);
  figures = Figures{};

  std::printf("load before the measured %d s: %s\n", o.seconds, load_average().c_str());
  std::fflush(stdout);
  measuring = true;
  const double from = now_ms();
  plant.measure_from_ = from;
  const double until = from + o.seconds * 1000.0;
  const double line_cpu_from = cpu_seconds_of(line_pid);
  const double own_cpu_from = own_cpu_seconds();
  const auto machine_from = machine_jiffies();
  const long rss_start = resident_kib(line_pid);
  long rss_middle = 0;
  while (!bench_interrupted && now_ms() < until) {
    plant.pass(until);
    if (rss_middle == 0 && now_ms() >= from + o.seconds * 500.0)
      rss_middle = resident_kib(line_pid);
  }
  const double window_s = (now_ms() - from) / 1000;
  plant.measure_until_ = now_ms();
  const double line_cpu = cpu_seconds_of(line_pid) - line_cpu_from;
  const double own_cpu = own_cpu_seconds() - own_cpu_from;
  const auto machine_to = machine_jiffies();
  const long rss_end = resident_kib(line_pid);
  const std::string load_end = load_average();
  // What changed in the last moments still reaches the line; nothing new
  // is measured.
  measuring = false;
  const double settle_until = now_ms() + SETTLE_MS;
  while (!bench_interrupted && now_ms() < settle_until) plant.pass(settle_until);
  plant.count_unseen();
  if (bench_interrupted) return setup_failure("interrupted");

  const double cpu_percent = line_cpu / window_s * 100;
  const double machine_percent =
      (machine_to.first - machine_from.first) / (machine_to.second - machine_from.second) * 100;
  const bool flat = rss_middle > 0 && std::abs(static_cast<double>(rss_end - rss_middle)) <=
                                          FLAT_GOAL * static_cast<double>(rss_middle);
  const double stream_p99 = percentile(figures.to_stream, 0.99);
  const double mqtt_p99 = percentile(figures.to_mqtt, 0.99);
  const double row_p99 = percentile(figures.to_row, 0.99);
  const double get_p99 = percentile(figures.line_get, 0.99);
  int failures = 0;
  for (const auto& [what, n] : figures.failed) failures += n;
  const bool cpu_met = cpu_percent <= CPU_GOAL_PERCENT;
  const bool stream_met =
      figures.unseen_stream == 0 && !figures.to_stream.empty() && stream_p99 < EVENT_P99_GOAL_MS;
  const bool mqtt_met =
      figures.unseen_mqtt == 0 && !figures.to_mqtt.empty() && mqtt_p99 < EVENT_P99_GOAL_MS;
  const bool row_met = !figures.to_row.empty() && row_p99 < ROW_P99_GOAL_MS;
  const bool get_met = !figures.line_get.empty() && get_p99 < LINE_P99_GOAL_MS;
  const bool clean = failures == 0 && figures.streams_closed == 0;

  std::printf("%d stations of %d slots (runs of %.0f s, %.0f s to swap the unit), %d pages, one "
              "MQTT subscriber; measured %.1f s\n",
              o.stations, SLOTS, RUN_MS / 1000, SWAP_MS / 1000, PAGES, window_s);
  std::printf("posts to the line: %lld (%.0f/s), rows acknowledged %lld, %s rows in PostgreSQL "
              "at the end; stream events read %lld, MQTT messages %lld\n",
              static_cast<long long>(figures.posts), figures.posts / window_s,
              static_cast<long long>(figures.rows_acknowledged), rows_in_database().c_str(),
              static_cast<long long>(figures.stream_events),
              static_cast<long long>(figures.mqtt_messages));
  std::printf("line CPU: %.1f%% of one core (goal <= %.0f%%: %s)\n", cpu_percent, CPU_GOAL_PERCENT,
              verdict(cpu_met));
  std::printf("line memory (VmRSS): start %ld KiB, middle %ld KiB, end %ld KiB (goal: end within "
              "%.0f%% of the middle: %s)\n",
              rss_start, rss_middle, rss_end, FLAT_GOAL * 100, verdict(flat));
  std::printf("slot change to the line's event stream (%zu): p50 %.1f ms, p99 %.1f ms, %d never "
              "seen (goal p99 < %.0f ms: %s)\n",
              figures.to_stream.size(), percentile(figures.to_stream, 0.5), stream_p99,
              figures.unseen_stream, EVENT_P99_GOAL_MS, verdict(stream_met));
  std::printf("slot change to MQTT (%zu): p50 %.1f ms, p99 %.1f ms, %d never seen (goal p99 < "
              "%.0f ms: %s)\n",
              figures.to_mqtt.size(), percentile(figures.to_mqtt, 0.5), mqtt_p99,
              figures.unseen_mqtt, EVENT_P99_GOAL_MS, verdict(mqtt_met));
  std::printf("run's end to its row committed in PostgreSQL (the batch's answer, %zu rows): p50 "
              "%.1f ms, p99 %.1f ms (goal p99 < %.0f ms: %s)\n",
              figures.to_row.size(), percentile(figures.to_row, 0.5), row_p99, ROW_P99_GOAL_MS,
              verdict(row_met));
  std::printf("GET /api/line (%zu): p50 %.1f ms, p99 %.1f ms (goal p99 < %.0f ms: %s)\n",
              figures.line_get.size(), percentile(figures.line_get, 0.5), get_p99, LINE_P99_GOAL_MS,
              verdict(get_met));
  std::printf("bench's own CPU: %.1f%% of one core; the whole machine busy %.1f%% of its cores\n",
              own_cpu / window_s * 100, machine_percent);
  std::printf("failed answers: %d", failures);
  for (const auto& [what, n] : figures.failed) std::printf(" (%s: %d)", what.c_str(), n);
  std::printf("; connections opened again %d; event streams closed %d\n", figures.reconnects,
              figures.streams_closed);
  // A line under this load ends on SIGTERM as it does idle: status 0.
  rig.line.send_signal(SIGTERM);
  const int ended = rig.line.finish(10);
  std::printf("line server ended on SIGTERM with status %d\n", ended);
  std::printf("load at end: %s\n", load_end.c_str());
  std::fflush(stdout);
  const bool all_met =
      cpu_met && flat && stream_met && mqtt_met && row_met && get_met && clean && ended == 0;
  return all_met ? 0 : EXIT_MISSED;
}

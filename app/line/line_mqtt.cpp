#include "app/line/line_mqtt.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include <mosquitto.h>

#include "app/runs/json_read.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr int MQTT_PORT = 1883;
constexpr int MQTTS_PORT = 8883;
constexpr int QOS = 1;
// How long one pass of the connection's loop waits at most.
constexpr int LOOP_MS = 100;
constexpr auto BATCH = std::chrono::milliseconds(MQTT_BATCH_MS);
// Messages on their way to the broker before its acknowledgements: a few
// batches of a busy line, which go whole instead of 20 at a time.
constexpr unsigned INFLIGHT_MAX = 1000;
constexpr auto SLOT_WINDOW = std::chrono::seconds(1);
// A slot's state on MQTT in bytes, but for long texts.
constexpr size_t PAYLOAD_ROOM = 192;
// A broker that takes no TCP connection within this time is away; one that
// took it but did not accept the line within ANSWER_MS is treated the same.
constexpr int CONNECT_MS = 2000;
constexpr auto ANSWER_MS = std::chrono::milliseconds(5000);

const char ONLINE[] = "{\"state\":\"online\"}";
const char OFFLINE[] = "{\"state\":\"offline\"}";

std::once_flag library_ready;

// Whether the broker takes a TCP connection within CONNECT_MS: a problem,
// or empty. libmosquitto is only asked to connect once this holds, since a
// TLS connection it starts to a port nobody listens on spins for seconds
// before it fails.
std::string tcp_problem(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int looked = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (looked != 0) return gai_strerror(looked);
  std::string problem = "no address";
  for (const addrinfo* a = found; a != nullptr && !problem.empty(); a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      problem = std::strerror(errno);
      continue;
    }
    int err = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      pollfd wait{fd, POLLOUT, 0};
      if (poll(&wait, 1, CONNECT_MS) == 1) {
        socklen_t size = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size);
      } else {
        err = ETIMEDOUT;
      }
    }
    close(fd);
    problem = err == 0 ? "" : std::strerror(err);
  }
  freeaddrinfo(found);
  return problem;
}

std::string error_text(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  return mosquitto_strerror(rc);
}

} // namespace

std::string mqtt_address_parse(const std::string& url, MqttAddress* address) {
  const std::string usage = "--mqtt is mqtt://[USER@]HOST[:PORT] or mqtts://[USER@]HOST[:PORT]";
  MqttAddress parsed;
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
    parsed.port = MQTT_PORT;
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    parsed.tls = true;
    parsed.port = MQTTS_PORT;
  } else {
    return usage;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    parsed.user = rest.substr(0, at);
    rest = rest.substr(at + 1);
    if (parsed.user.empty()) return usage + ": the user before '@' is empty";
  }
  const size_t colon = rest.rfind(':');
  // An IPv6 address stands in brackets: [::1]:1883.
  const size_t bracket = rest.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    const std::string port = rest.substr(colon + 1);
    rest = rest.substr(0, colon);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
        std::stoi(port) > 65535) {
      return usage + ": the port is a number from 1 to 65535";
    }
    parsed.port = std::stoi(port);
  }
  if (rest.size() > 2 && rest.front() == '[' && rest.back() == ']') {
    rest = rest.substr(1, rest.size() - 2);
  }
  if (rest.empty() || rest.find_first_of("/?# ") != std::string::npos) {
    return usage + ": no host name in '" + url + "'";
  }
  parsed.host = rest;
  *address = parsed;
  return "";
}

bool MqttOutbox::add(MqttMessage message) {
  messages_.push_back(std::move(message));
  const bool wake = idle_;
  idle_ = false;
  return wake;
}

MqttOutbox::Clock::time_point MqttOutbox::next_pass(Clock::time_point now) {
  const Clock::time_point batch = last_batch_ + BATCH;
  // Quiet for a whole batch: the next message wakes the thread.
  if (messages_.empty() && now >= batch) {
    idle_ = true;
    return Clock::time_point::max();
  }
  idle_ = false;
  return std::max(batch, now);
}

std::vector<MqttMessage> MqttOutbox::take(Clock::time_point now) {
  std::vector<MqttMessage> due;
  if (messages_.empty() || now < last_batch_ + BATCH) return due;
  due.swap(messages_);
  last_batch_ = now;
  return due;
}

std::string mqtt_topic_level(const std::string& name) {
  std::string level = name;
  for (char& c : level) {
    if (c == '+' || c == '#') c = '_';
  }
  return level;
}

LineMqtt::LineMqtt(LineMqttOptions options)
    : options_(std::move(options)), base_("orva/v1/" + mqtt_topic_level(options_.line)) {
  std::call_once(library_ready, [] { mosquitto_lib_init(); });
}

LineMqtt::~LineMqtt() {
  stop();
  if (mosq_ != nullptr) mosquitto_destroy(mosq_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

std::string LineMqtt::topic(const std::string& tail) const {
  return base_ + "/" + tail;
}

std::string LineMqtt::start() {
  const std::string problem = make_client(&mosq_);
  if (!problem.empty()) return problem;
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0)
    return "cannot make the MQTT thread's wake: " + std::string(std::strerror(errno));
  thread_ = std::thread([this] { run(); });
  return "";
}

std::string LineMqtt::make_client(mosquitto** made) {
  const std::string id = "orvaload-line-" + mqtt_topic_level(options_.line);
  mosquitto* mosq = mosquitto_new(id.c_str(), true, this);
  if (mosq == nullptr) return "cannot make an MQTT client: " + std::string(std::strerror(errno));
  // Given back also when an option fails, so that it is destroyed.
  *made = mosq;
  mosquitto_threaded_set(mosq, true);
  mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_max_inflight_messages_set(mosq, INFLIGHT_MAX);
  const std::string status = topic("status");
  mosquitto_will_set(mosq, status.c_str(), sizeof OFFLINE - 1, OFFLINE, QOS, true);
  if (!options_.address.user.empty()) {
    mosquitto_username_pw_set(mosq, options_.address.user.c_str(),
                              options_.password.empty() ? nullptr : options_.password.c_str());
  }
  if (options_.address.tls) {
    const int rc =
        options_.cafile.empty()
            ? mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
            : mosquitto_tls_set(mosq, options_.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      return "cannot use the CA file " + options_.cafile + " for mqtts: " + error_text(rc);
    }
  }
  mosquitto_connect_callback_set(mosq, [](mosquitto*, void* self, int rc) {
    static_cast<LineMqtt*>(self)->on_connect(rc);
  });
  mosquitto_disconnect_callback_set(mosq, [](mosquitto*, void* self, int) {
    static_cast<LineMqtt*>(self)->on_disconnect();
  });
  return "";
}

void LineMqtt::renew_client() {
  mosquitto* made = nullptr;
  // Options that were good at start stay good; a client that cannot be
  // made (no memory) leaves the old one in place.
  if (!make_client(&made).empty()) {
    if (made != nullptr) mosquitto_destroy(made);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::swap(made, mosq_);
  }
  mosquitto_destroy(made);
}

void LineMqtt::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable() || stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  wake();
  thread_.join();
}

void LineMqtt::wake() {
  const uint64_t one = 1;
  // A counter that is already set wakes the thread as well: nothing to do
  // when the write fails.
  if (write(wake_fd_, &one, sizeof one) < 0) return;
}

void LineMqtt::note(const std::string& text) {
  if (text == last_note_) return;
  last_note_ = text;
  if (options_.note) {
    options_.note("MQTT broker " + options_.address.host + ":" +
                  std::to_string(options_.address.port) + ": " + text);
  }
}

void LineMqtt::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  bool first = true;
  while (!stopping_) {
    if (!socket_open_) {
      if (Clock::now() < next_try_) {
        wake_.wait_until(lock, next_try_);
        continue;
      }
      // Each attempt starts from a new client: one that carries the TLS
      // state of a lost connection into the next can take seconds to fail.
      lock.unlock();
      if (!first) renew_client();
      first = false;
      std::string reason = tcp_problem(options_.address.host, options_.address.port);
      const int rc = !reason.empty()
                         ? MOSQ_ERR_NO_CONN
                         : mosquitto_connect_async(mosq_, options_.address.host.c_str(),
                                                   options_.address.port, MQTT_KEEPALIVE_S);
      if (reason.empty() && rc != MOSQ_ERR_SUCCESS) reason = error_text(rc);
      lock.lock();
      if (rc != MOSQ_ERR_SUCCESS) {
        note("cannot connect (" + reason + "); trying again");
        next_try_ = Clock::now() + std::chrono::milliseconds(retry_ms_);
        retry_ms_ = std::min(retry_ms_ * 2, MQTT_RETRY_MAX_MS);
        continue;
      }
      socket_open_ = true;
      answer_by_ = Clock::now() + ANSWER_MS;
    }
    // Until the next batch, the next slot whose window opens again, or
    // LOOP_MS to keep the connection alive.
    const Clock::time_point now = Clock::now();
    Clock::time_point until =
        std::min(outbox_.next_pass(now), now + std::chrono::milliseconds(LOOP_MS));
    if (!due_at_.empty()) until = std::max(now, std::min(until, due_at_.begin()->first));
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    lock.unlock();
    int rc = pass(static_cast<int>(wait.count()));
    std::string reason = rc == MOSQ_ERR_SUCCESS ? "" : error_text(rc);
    lock.lock();
    if (stopping_) break;
    if (rc == MOSQ_ERR_SUCCESS && !connected_ && Clock::now() > answer_by_) {
      rc = MOSQ_ERR_NO_CONN;
      reason = "no answer within " + std::to_string(ANSWER_MS.count() / 1000) + " s";
    }
    if (rc != MOSQ_ERR_SUCCESS) {
      socket_open_ = false;
      connected_ = false;
      note((refusal_.empty() ? "no connection (" + reason : "refused (" + refusal_) +
           "); trying again");
      refusal_.clear();
      next_try_ = Clock::now() + std::chrono::milliseconds(retry_ms_);
      retry_ms_ = std::min(retry_ms_ * 2, MQTT_RETRY_MAX_MS);
      continue;
    }
    const Clock::time_point after = Clock::now();
    send_due_slots(after);
    publish_batch(lock, after);
  }
  if (!socket_open_ || !connected_) return;
  // What waits goes out, then a clean goodbye, which sends no last will:
  // the line says it is offline itself. Both go before the thread ends,
  // within a bound.
  publish_batch(lock, Clock::time_point::max());
  mosquitto_publish(mosq_, nullptr, topic("status").c_str(), sizeof OFFLINE - 1, OFFLINE, QOS,
                    true);
  mosquitto_disconnect(mosq_);
  const auto deadline = Clock::now() + std::chrono::milliseconds(MQTT_STOP_MS);
  while (socket_open_ && connected_ && Clock::now() < deadline) {
    lock.unlock();
    const int rc = pass(LOOP_MS);
    lock.lock();
    if (rc != MOSQ_ERR_SUCCESS) socket_open_ = false;
  }
}

int LineMqtt::pass(int wait_ms) {
  const int sock = mosquitto_socket(mosq_);
  if (sock < 0) return MOSQ_ERR_NO_CONN;
  const short want = mosquitto_want_write(mosq_) ? POLLIN | POLLOUT : POLLIN;
  pollfd fds[2] = {{sock, want, 0}, {wake_fd_, POLLIN, 0}};
  if (poll(fds, 2, wait_ms) < 0) return errno == EINTR ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ERRNO;
  uint64_t wakes = 0;
  if ((fds[1].revents & POLLIN) != 0 && read(wake_fd_, &wakes, sizeof wakes) < 0) wakes = 0;
  int rc = MOSQ_ERR_SUCCESS;
  if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
    rc = mosquitto_loop_read(mosq_, 1);
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq_) < 0) return rc;
  }
  // What was queued since the poll began (a batch, an answer to what was
  // read) is written now if the socket takes it.
  if (mosquitto_want_write(mosq_)) {
    // A batch goes in as few segments as the socket takes.
    int cork = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
    rc = mosquitto_loop_write(mosq_, 1);
    cork = 0;
    // Unless libmosquitto closed it meanwhile.
    if (mosquitto_socket(mosq_) == sock)
      setsockopt(sock, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq_) < 0) return rc;
  }
  return mosquitto_loop_misc(mosq_);
}

void LineMqtt::publish_batch(std::unique_lock<std::mutex>& lock, Clock::time_point now) {
  const std::vector<MqttMessage> batch = outbox_.take(now);
  if (batch.empty()) return;
  // Only this thread uses the client: the posts that queue meanwhile wait
  // for the lock no longer than it takes to queue theirs.
  lock.unlock();
  for (const MqttMessage& m : batch) {
    mosquitto_publish(mosq_, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                      m.payload.data(), QOS, m.retain);
  }
  lock.lock();
}

void LineMqtt::on_connect(int rc) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (rc != 0) {
    refusal_ = mosquitto_connack_string(rc);
    return;
  }
  connected_ = true;
  retry_ms_ = MQTT_RETRY_FIRST_MS;
  note("connected");
  // What waited for the last connection: every retained state goes again.
  outbox_.clear();
  send(topic("status"), ONLINE, true);
  for (const auto& [name, payload] : retained_) send(name, payload, true);
  due_at_.clear();
  for (auto& slot : slots_) slot.second.due = false;
}

void LineMqtt::on_disconnect() {
  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = false;
  outbox_.clear();
}

void LineMqtt::send(const std::string& name, const std::string& payload, bool retain) {
  if (!connected_) return;
  if (outbox_.add(MqttMessage{name, payload, retain})) wake();
}

bool LineMqtt::slot_may_send(SlotTopic* slot, Clock::time_point now) {
  std::deque<Clock::time_point>& sends = slot->sends;
  while (!sends.empty() && now - sends.front() >= SLOT_WINDOW) sends.pop_front();
  if (sends.size() >= static_cast<size_t>(MQTT_SLOT_RATE)) return false;
  sends.push_back(now);
  return true;
}

void LineMqtt::send_due_slots(Clock::time_point now) {
  while (!due_at_.empty() && due_at_.begin()->first <= now) {
    SlotTopicEntry* const found = due_at_.begin()->second;
    due_at_.erase(due_at_.begin());
    // Sent since with a new phase.
    SlotTopic& slot = found->second;
    if (!slot.due) continue;
    if (!slot_may_send(&slot, now)) {
      due_at_.emplace(slot.sends.front() + SLOT_WINDOW, found);
      continue;
    }
    slot.due = false;
    send(found->first, slot.retained->second, true);
  }
}

void LineMqtt::station_status(const std::string& station, bool online,
                              const std::string& last_heard) {
  const std::string payload = Json{{"state", online ? "online" : "offline"},
                                   {"last_heard", last_heard.empty() ? Json() : Json(last_heard)}}
                                  .dump();
  const std::string name = topic(mqtt_topic_level(station) + "/status");
  std::lock_guard<std::mutex> lock(mutex_);
  retained_[name] = payload;
  send(name, payload, true);
}

void LineMqtt::slot_state(const std::string& station, const Json& slot) {
  const std::string number = std::to_string(slot.value("slot", int64_t{0}));
  // The object written member by member, as its dump() writes it, without
  // a copy of the slot's texts.
  std::string payload;
  payload.reserve(PAYLOAD_ROOM);
  payload.append("{\"slot\":").append(number);
  payload.append(",\"port\":").append(json_member(slot, "port").dump());
  const Json& phase = json_member(slot, "state");
  payload.append(",\"phase\":").append(phase.dump());
  payload.append(",\"percent\":").append(Json(slot.value("permille", 0) / 10.0).dump());
  payload.append(",\"tag\":").append(json_member(slot, "tag").dump());
  payload.append(",\"last_text\":").append(json_member(slot, "last_text").dump()).append("}");
  const std::string name = topic(mqtt_topic_level(station) + "/slot/" + number + "/state");
  static const std::string NO_PHASE;
  const std::string& phase_text =
      phase.is_string() ? phase.get_ref<const std::string&>() : NO_PHASE;
  std::lock_guard<std::mutex> lock(mutex_);
  // One look for the topic: its slot holds where its retained state is.
  SlotTopics::iterator found = slots_.find(name);
  if (found == slots_.end()) {
    found = slots_.emplace(name, SlotTopic{}).first;
    found->second.retained = retained_.emplace(name, std::string()).first;
  }
  SlotTopic& held = found->second;
  const bool new_phase = phase_text != held.phase;
  if (new_phase) held.phase = phase_text;
  if (connected_) {
    // A change of phase (running, upgraded, failed) goes at once, counted
    // with the rest; progress and texts within a phase are what the rate
    // holds back.
    const bool within_rate = slot_may_send(&held, Clock::now());
    if (new_phase || within_rate) {
      held.due = false;
      send(name, payload, true);
    } else if (!held.due) {
      held.due = true;
      due_at_.emplace(held.sends.front() + SLOT_WINDOW, &*found);
    }
  }
  held.retained->second = std::move(payload);
}

void LineMqtt::station_gone(const std::string& station) {
  const std::string prefix = topic(mqtt_topic_level(station) + "/");
  std::lock_guard<std::mutex> lock(mutex_);
  const auto gone = [&prefix](const std::string& name) {
    return name.compare(0, prefix.size(), prefix) == 0;
  };
  for (auto it = due_at_.begin(); it != due_at_.end();) {
    it = gone(it->second->first) ? due_at_.erase(it) : std::next(it);
  }
  for (auto it = retained_.lower_bound(prefix);
       it != retained_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
    // An empty retained message takes the broker's retained one away.
    send(it->first, "", true);
    slots_.erase(it->first);
    it = retained_.erase(it);
  }
}

void LineMqtt::record(const std::string& station, const RunRow& row) {
  const std::string payload = record_json(row).dump();
  std::lock_guard<std::mutex> lock(mutex_);
  send(topic(mqtt_topic_level(station) + "/record"), payload, false);
}

// The line's live state for plant systems, on an MQTT broker (libmosquitto).
// Topics, each payload one JSON object:
//   orva/v1/LINE/status                  the line server: online, or offline
//                                        by its last will; retained, QoS 1
//   orva/v1/LINE/STATION/status          a station online or offline, with
//                                        when it was last heard; retained, QoS 1
//   orva/v1/LINE/STATION/slot/N/state    a slot's phase, percent, tag and last
//                                        text; retained, QoS 1; progress at
//                                        most MQTT_SLOT_RATE per second per
//                                        slot, a new phase at once
//   orva/v1/LINE/STATION/record          a copy of each row as it reaches the
//                                        database; QoS 1, not retained
// A station that leaves the line's live view (a day without a word) has its
// retained topics cleared.
// The database keeps the records; MQTT only tells of them. While the broker
// is away nothing waits for it: records are not queued, retained states are
// kept, and the line reconnects with a growing pause (1 s, 2 s, then every
// 4 s, so that a broker back after however long an outage has every retained
// state again within 5 s) and then publishes every retained state again. One thread of its own runs
// the connection; every other call only hands it a message and never blocks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "app/line/line.h"

struct mosquitto;

// At most this many publications of a slot's progress in any second; a
// change beyond them waits for the window and goes out then, the newest state
// only. A change of phase is never held back.
constexpr int MQTT_SLOT_RATE = 2;
constexpr int MQTT_KEEPALIVE_S = 10;
constexpr int MQTT_RETRY_FIRST_MS = 1000;
constexpr int MQTT_RETRY_MAX_MS = 4000;
// How long a stopping line waits for its last word to go out.
constexpr int MQTT_STOP_MS = 1000;
// The connection's thread publishes what came in the last MQTT_BATCH_MS at
// once, instead of being woken for each message.
constexpr int MQTT_BATCH_MS = 20;

struct MqttMessage {
  std::string topic;
  std::string payload;
  bool retain = false;
};

// The messages waiting for the connection's thread, and when it publishes
// them. A message after a quiet spell goes at once (its add() asks for the
// thread to be woken); those that follow within MQTT_BATCH_MS of a batch
// wait for the next, which the thread takes on its own time, so a line at
// full pace wakes the thread about once a batch, not once a message. The
// caller holds the lock that guards it.
class MqttOutbox {
public:
  using Clock = std::chrono::steady_clock;

  // Queues `message`; true when the thread waits for nothing and must be
  // woken for it.
  bool add(MqttMessage message);
  // Until when the thread may wait, as it goes to wait at `now`:
  // Clock::time_point::max() when nothing is due (the next add() wakes it).
  Clock::time_point next_pass(Clock::time_point now);
  // The messages in the order they came, once their batch is due at `now`;
  // none before.
  std::vector<MqttMessage> take(Clock::time_point now);
  // Forgets what waits (the connection it was for is gone).
  void clear() { messages_.clear(); }

private:
  std::vector<MqttMessage> messages_;
  Clock::time_point last_batch_{};
  bool idle_ = true; // the thread waits without a time of its own
};

struct MqttAddress {
  bool tls = false;
  std::string user; // empty: no user name
  std::string host;
  int port = 0;
};

// mqtt://[USER@]HOST[:PORT] or mqtts://... (ports 1883 and 8883 by
// default); a one-line problem, or empty.
std::string mqtt_address_parse(const std::string& url, MqttAddress* address);

// A name as it may stand in a topic level: '+' and '#' are the wildcards of
// subscriptions and become '_'.
std::string mqtt_topic_level(const std::string& name);

struct LineMqttOptions {
  MqttAddress address;
  std::string password; // empty: none
  std::string cafile;   // empty with TLS: the system's certificates
  std::string line;     // the line's name
  // Told each change of the connection, in one line.
  std::function<void(const std::string&)> note;
};

class LineMqtt : public LineWatcher {
public:
  explicit LineMqtt(LineMqttOptions options);
  ~LineMqtt() override;
  LineMqtt(const LineMqtt&) = delete;
  LineMqtt& operator=(const LineMqtt&) = delete;

  // Connects in the background; a problem with the options (say, the CA file)
  // in one line, or empty.
  std::string start();
  // Says the line is offline, disconnects and ends the thread.
  void stop();

  void station_status(const std::string& station, bool online,
                      const std::string& last_heard) override;
  void slot_state(const std::string& station, const nlohmann::ordered_json& slot) override;
  void record(const std::string& station, const RunRow& row) override;
  void station_gone(const std::string& station) override;

private:
  using Clock = std::chrono::steady_clock;

  // A new client with the line's options into *made; a problem, or empty.
  // Made without mutex_ held: libmosquitto's own locks are never taken
  // inside it, while its callbacks take it inside theirs.
  std::string make_client(mosquitto** made);
  // Puts a new client in place of the last; the connection's thread only.
  void renew_client();
  void run();
  // One pass of the connection: waits for the socket, a wake or
  // `wait_ms`, then reads, writes and keeps it alive; libmosquitto's result.
  int pass(int wait_ms);
  // Publishes what the outbox holds once its batch is due; the caller holds
  // mutex_, which is let go while the messages go to libmosquitto.
  void publish_batch(std::unique_lock<std::mutex>& lock, Clock::time_point now);
  void wake();
  void on_connect(int rc);
  void on_disconnect();
  // Queues for the connection's thread when connected; the caller holds
  // mutex_.
  void send(const std::string& topic, const std::string& payload, bool retain);
  // A slot topic's sends within the last second, its last phase, and
  // whether a newer state than was sent waits.
  using Retained = std::map<std::string, std::string>;
  struct SlotTopic {
    std::deque<Clock::time_point> sends;
    std::string phase;
    bool due = false;
    Retained::iterator retained; // its entry in retained_
  };
  // Looked up at each state of each slot: hashed, not ordered.
  using SlotTopics = std::unordered_map<std::string, SlotTopic>;
  using SlotTopicEntry = SlotTopics::value_type;
  // Sends what waits of the slots whose window has room again.
  void send_due_slots(Clock::time_point now);
  bool slot_may_send(SlotTopic* slot, Clock::time_point now);
  void note(const std::string& text);
  std::string topic(const std::string& tail) const;

  const LineMqttOptions options_;
  const std::string base_; // orva/v1/LINE
  mosquitto* mosq_ = nullptr;
  std::thread thread_;
  int wake_fd_ = -1; // an eventfd: wakes the thread out of its poll

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool connected_ = false;
  bool socket_open_ = false; // a connection is being made or is up
  std::string last_note_;
  std::string refusal_; // the broker's answer to a connection it refused
  int retry_ms_ = MQTT_RETRY_FIRST_MS;
  Clock::time_point next_try_{};
  Clock::time_point answer_by_{}; // the broker accepts the line by then
  // Every retained topic and its payload, to publish again on reconnect.
  Retained retained_;
  SlotTopics slots_;
  // When each slot topic with a newer state than was sent may go: the loop
  // looks at those whose time has come, not at every one that waits. An
  // entry's place stays while the map grows; only its iterators do not.
  std::multimap<Clock::time_point, SlotTopicEntry*> due_at_;
  MqttOutbox outbox_;
};

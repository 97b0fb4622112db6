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
  void connect_step();
  void on_connect(int rc);
  void on_disconnect();
  // Publishes now when connected; the caller holds mutex_.
  void send(const std::string& topic, const std::string& payload, bool retain);
  // A slot topic's sends within the last second, its last phase, and
  // whether a newer state than was sent waits.
  struct SlotTopic {
    std::deque<Clock::time_point> sends;
    std::string phase;
    bool due = false;
  };
  // Sends what waits of the slots whose window has room again.
  void send_due_slots(Clock::time_point now);
  bool slot_may_send(SlotTopic* slot, Clock::time_point now);
  void note(const std::string& text);
  std::string topic(const std::string& tail) const;

  const LineMqttOptions options_;
  const std::string base_; // orva/v1/LINE
  mosquitto* mosq_ = nullptr;
  std::thread thread_;

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
  std::map<std::string, std::string> retained_;
  std::map<std::string, SlotTopic> slots_;
  // When each slot topic with a newer state than was sent may go: the loop
  // looks at those whose time has come, not at every one that waits.
  std::multimap<Clock::time_point, std::string> due_at_;
};

#include "app/station/station.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "app/runs/event_json.h"
#include "app/runs/record_json.h"
#include "app/station/line_reporter.h"
#include "records/record_csv.h"

namespace {

using Json = nlohmann::ordered_json;

} // namespace

const char* slot_state_name(SlotState state) {
  switch (state) {
  case SlotState::idle:
    return "idle";
  case SlotState::running:
    return "running";
  case SlotState::upgraded:
    return "upgraded";
  case SlotState::failed:
    return "failed";
  case SlotState::cancelled:
    return "cancelled";
  case SlotState::not_present:
    return "not-present";
  }
  return "idle";
}

StationReply station_error(int status, const std::string& text) {
  return {status, Json{{"error", text}}};
}

struct Station::Slot {
  size_t number = 0;
  std::string port;
  std::string usb;
  bool present = false;
  SlotState state = SlotState::not_present;
  bool running = false; // from start() until its thread is done with the slot
  long run = 0;         // the current or last run; 0 before the first
  UsbIdentity identity{};
  RunRow row;                                  // the current or last run's row in the store
  std::shared_ptr<const RunFirmware> firmware; // the run's release; null: the station's image
  std::string record_problem;                  // why its end is not in the store; empty: it is
  std::string tag;
  int32_t permille = 0;
  std::string last_text;
  double seconds = 0;
  std::atomic<bool> cancel{false};
  std::thread thread;
};

// One run's events, as the CLI's run loop tells them, turned into the
// station's: the --json event with the slot, the run and the tag added,
// published to the streams, and the slot's state kept up to date.
class Station::SlotSink final : public RunSink {
public:
  SlotSink(Station& station, Slot& slot, long run, std::string tag, const StoreSink* stored,
           const FirmwareImage& image, std::string sha256)
      : station_(station),
        slot_(slot),
        run_(run),
        tag_(std::move(tag)),
        stored_(stored),
        image_(image),
        sha256_(std::move(sha256)) {}

  void started(size_t) override {
    publish(json_start_object(slot_.port, image_.size, image_.load_address, sha256_));
  }
  void text(size_t, const char* text, int32_t code, double) override {
    std::lock_guard<std::mutex> lock(station_.mutex_);
    slot_.last_text = text_block(text);
    publish_locked(json_text_object(slot_.port, text, code));
  }
  void progress(size_t, int32_t permille, double) override {
    if (!gate_.pass(permille)) return;
    std::lock_guard<std::mutex> lock(station_.mutex_);
    slot_.permille = permille;
    if (station_.system_.changed) station_.system_.changed(false, false);
    publish_locked(json_progress_object(slot_.port, permille));
  }
  void ended(size_t, const PortOutcome& outcome, double) override {
    std::lock_guard<std::mutex> lock(station_.mutex_);
    slot_.state = outcome.result == PortResult::ok          ? SlotState::upgraded
                  : outcome.result == PortResult::cancelled ? SlotState::cancelled
                                                            : SlotState::failed;
    slot_.last_text = outcome.last_text;
    slot_.seconds = outcome.seconds;
    // The store had its say first (its sink comes before this one).
    if (stored_ != nullptr && !stored_->complete()) {
      slot_.record_problem = stored_->problem();
      station_.store_problem_ = stored_->problem();
    }
    // The run's row is final: it may go to the line.
    if (station_.system_.changed) station_.system_.changed(true, true);
    publish_locked(json_end_object(outcome));
    station_.publish_slot_locked(slot_);
    station_.note_end(slot_, outcome);
    const std::string& name = station_.setup_.rows.station;
    station_.runs_.ran({{"station", name}, {"result", port_result_name(outcome.result)}},
                       {{"station", name}}, outcome.seconds);
  }

private:
  void publish(Json event) {
    std::lock_guard<std::mutex> lock(station_.mutex_);
    publish_locked(std::move(event));
  }
  void publish_locked(Json event) {
    event["slot"] = slot_.number;
    event["run"] = run_;
    if (!tag_.empty()) event["tag"] = tag_;
    station_.publish_locked(std::move(event));
  }

  Station& station_;
  Slot& slot_;
  const long run_;
  const std::string tag_;
  const StoreSink* stored_;
  const FirmwareImage& image_;
  const std::string sha256_;
  ProgressGate gate_;
};

Station::Station(StationSetup setup, const FirmwareImage& image, StationSystem system)
    : setup_(std::move(setup)), image_(image), system_(std::move(system)) {
  for (const std::string& port : setup_.ports) {
    auto slot = std::make_unique<Slot>();
    slot->number = slots_.size() + 1;
    slot->port = port;
    slots_.push_back(std::move(slot));
  }
  check_presence();
  if (system_.store != nullptr) {
    int64_t interrupted = 0;
    const StoreResult marked = system_.store->interrupt_orphans(&interrupted);
    if (!marked.ok()) store_problem_ = marked.reason;
    if (interrupted > 0 && system_.note) {
      system_.note("records: " + std::to_string(interrupted) +
                   " run(s) left running by an earlier station are now interrupted\n");
    }
  }
}

Station::~Station() {
  finish();
}

Json Station::slot_json(const Slot& slot) const {
  return Json{{"slot", slot.number},
              {"port", slot.port},
              {"usb", slot.usb},
              {"present", slot.present},
              {"state", slot_state_name(slot.state)},
              {"tag", slot.tag},
              {"run", slot.run == 0 ? Json(nullptr) : Json(slot.run)},
              {"permille", slot.permille},
              {"last_text", slot.last_text},
              {"seconds", std::round(slot.seconds * 1000.0) / 1000.0},
              {"record_problem", slot.record_problem}};
}

void Station::publish_locked(Json event) {
  event["sent_ms"] = static_cast<int64_t>(system_.wall_ms());
  streams_.publish(json_line(event));
}

void Station::publish_slot_locked(const Slot& slot) {
  if (system_.changed) system_.changed(true, false);
  Json event{{"event", "slot"}};
  event.update(slot_json(slot));
  publish_locked(std::move(event));
}

StationReply Station::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Json slots = Json::array();
  for (const auto& slot : slots_) slots.push_back(slot_json(*slot));
  Json firmware{{"name", setup_.image_name},
                {"size", image_.size},
                {"load_address", image_.load_address},
                {"sha256", setup_.image_sha256}};
  // A station that flashes its line's release shows that instead.
  if (system_.release_status) {
    const Json status = system_.release_status();
    const Json& release = status["release"];
    firmware =
        Json{{"name", status["source"].is_string() ? status["source"] : Json("no release yet")},
             {"size", release.is_object() ? release["size"] : Json(0)},
             {"load_address", release.is_object() ? release["load_address"] : Json(0)},
             {"sha256", release.is_object() ? release["image_sha256"] : Json("")},
             {"release", status}};
  }
  return {200, Json{{"firmware", firmware},
                    {"records",
                     {{"store", system_.store != nullptr ? system_.store->path() : ""},
                      {"problem", store_problem_}}},
                    {"line", system_.line_status ? system_.line_status() : Json(nullptr)},
                    {"slots", slots}}};
}

StationReply Station::start(size_t number, const std::string& tag, const std::string& who) {
  std::lock_guard<std::mutex> lock(mutex_);
  return start_locked(*slots_.at(number - 1), tag, who);
}

StationReply Station::start_all(const std::map<size_t, std::string>& tags, const std::string& who) {
  std::lock_guard<std::mutex> lock(mutex_);
  Json runs = Json::array();
  for (const auto& slot : slots_) {
    if (slot->running || !slot->present) continue;
    const auto tag = tags.find(slot->number);
    const StationReply started = start_locked(*slot, tag == tags.end() ? "" : tag->second, who);
    if (started.status == 202) runs.push_back(started.body);
  }
  return {202, Json{{"runs", runs}}};
}

// The slot's previous thread has let go of the slot (running is false), so
// joining it waits only for the thread to return.
StationReply Station::start_locked(Slot& slot, const std::string& tag, const std::string& who) {
  const std::string name = "slot " + std::to_string(slot.number);
  if (finishing_) return station_error(503, "the station is ending");
  if (slot.running) return station_error(409, name + " is running; cancel it first");
  if (!slot.present) {
    return station_error(409, name + ": " + slot.port + " is not present (plugged in?)");
  }
  if (slot.thread.joinable()) slot.thread.join();
  // The line's release current now, kept by the run to its end.
  std::shared_ptr<const RunFirmware> firmware;
  if (system_.release) {
    const std::string refusal = system_.release(slot.number, &firmware);
    if (!refusal.empty() || !firmware) {
      return station_error(409, refusal.empty() ? name + ": no release to flash" : refusal);
    }
  }
  // The run's row goes into the store before its port is opened; a store
  // that cannot take it starts no run.
  if (system_.store != nullptr) {
    RowContext rows = setup_.rows;
    if (firmware) {
      rows.image_sha256 = firmware->sha256;
      rows.image_size = firmware->image.size;
      rows.load_address = firmware->image.load_address;
      rows.image_source = firmware->source;
    }
    RunRow row = run_row(rows, slot.port, slot.identity, RunLabel{tag, slot.number},
                         static_cast<int64_t>(system_.wall_ms()));
    row.operator_name = who;
    if (firmware) {
      row.product = firmware->product;
      row.release_version = firmware->release_version;
    }
    const StoreResult begun = system_.store->begin(&row);
    if (!begun.ok()) {
      store_problem_ = begun.reason;
      return station_error(409, name + " does not start: " + begun.reason +
                                    "; no run starts until the record store can be written");
    }
    store_problem_.clear();
    slot.row = row;
  }
  slot.record_problem.clear();
  slot.firmware = std::move(firmware);
  slot.running = true;
  slot.run = next_run_++;
  slot.state = SlotState::running;
  slot.tag = tag;
  slot.permille = 0;
  slot.last_text.clear();
  slot.seconds = 0;
  slot.cancel = false;
  publish_locked(Json{{"event", "run"},
                      {"slot", slot.number},
                      {"run", slot.run},
                      {"tag", tag.empty() ? Json(nullptr) : Json(tag)}});
  publish_slot_locked(slot);
  const long run = slot.run;
  slot.thread = std::thread([this, &slot, run, tag] { run_slot(slot, run, tag); });
  return {202, Json{{"slot", slot.number}, {"run", run}}};
}

void Station::run_slot(Slot& slot, long run, const std::string& tag) {
  PortRunsSystem runs = system_.runs;
  runs.interrupted = [this, &slot] { return slot.cancel || system_.runs.interrupted(); };
  // The record first: a page that hears of the end reads it at once.
  std::vector<RunSink*> sinks;
  std::unique_ptr<RecordSink> record;
  const FirmwareImage& image = slot.firmware ? slot.firmware->image : image_;
  const std::string& sha256 = slot.firmware ? slot.firmware->sha256 : setup_.image_sha256;
  if (!setup_.log_path.empty()) {
    record = std::make_unique<RecordSink>(setup_.log_path, sha256, system_.record, system_.err,
                                          std::vector<RunLabel>{RunLabel{tag, slot.number}});
    sinks.push_back(record.get());
  }
  // Then the store: the run's end is in it before the page hears of it.
  std::unique_ptr<StoreSink> stored;
  if (system_.store != nullptr) {
    stored = std::make_unique<StoreSink>(
        *system_.store, std::vector<RunRow>{slot.row},
        [this] { return static_cast<int64_t>(system_.wall_ms()); }, system_.err);
    sinks.push_back(stored.get());
  }
  SlotSink events(*this, slot, run, tag, stored.get(), image, sha256);
  sinks.push_back(&events);
  run_port_loop({slot.port}, image, runs, sinks);
  std::lock_guard<std::mutex> lock(mutex_);
  slot.running = false;
}

// "slot 2 (/dev/ttyUSB1) SN-0002: ok in 17.4 s: Program success, ..."
void Station::note_end(const Slot& slot, const PortOutcome& outcome) const {
  if (!system_.note) return;
  std::string line = "slot " + std::to_string(slot.number) + " (" + slot.port + ")";
  if (!slot.tag.empty()) line += " " + slot.tag;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", outcome.seconds);
  const std::string last = outcome.last_text.substr(0, outcome.last_text.find('\n'));
  system_.note(line + ": " + port_result_name(outcome.result) + " in " + seconds + " s: " + last +
               "\n");
}

void Station::metrics(MetricsText* out) const {
  runs_.write(out);
  const MetricLabels station{{"station", setup_.rows.station}};
  const Json line = system_.line_status ? system_.line_status() : Json();
  std::lock_guard<std::mutex> lock(mutex_);
  out->family("orva_slots", "gauge", "Slots by state.");
  for (const SlotState state : {SlotState::idle, SlotState::running, SlotState::upgraded,
                                SlotState::failed, SlotState::cancelled, SlotState::not_present}) {
    size_t n = 0;
    for (const auto& slot : slots_) n += slot->state == state;
    MetricLabels labels = station;
    labels.emplace_back("state", slot_state_name(state));
    out->sample("orva_slots", labels, static_cast<double>(n));
  }
  if (!line.is_object()) return;
  const int64_t waiting = line.value("unsynced", int64_t{0});
  const Json& oldest = line["oldest"];
  const int64_t since = oldest.is_string() ? record_utc_ms(oldest.get<std::string>()) : -1;
  const double age = waiting > 0 && since >= 0 ? (system_.wall_ms() - since) / 1000.0 : 0;
  out->family("orva_rows_waiting", "gauge", "Rows the line has not acknowledged yet.");
  out->sample("orva_rows_waiting", station, static_cast<double>(waiting));
  out->family("orva_rows_waiting_oldest_seconds", "gauge",
              "How long the oldest row the line has not acknowledged has waited; 0 when none "
              "waits.");
  out->sample("orva_rows_waiting_oldest_seconds", station, age < 0 ? 0 : age);
}

StationReply Station::cancel(size_t number, long run) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = *slots_.at(number - 1);
  if (!slot.running) {
    return station_error(409, "slot " + std::to_string(number) + " is not running");
  }
  if (run != 0 && run != slot.run) {
    return station_error(409, "slot " + std::to_string(number) + " runs run " +
                                  std::to_string(slot.run) + ", not run " + std::to_string(run));
  }
  slot.cancel = true;
  return {202, Json{{"slot", number}, {"run", slot.run}}};
}

// A store may be shared with other stations (--records FILE): a station
// shows its own runs.
StationReply Station::clear(size_t number) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = *slots_.at(number - 1);
  if (slot.running || (slot.state != SlotState::failed && slot.state != SlotState::cancelled)) {
    return station_error(409, "slot " + std::to_string(number) + " is " +
                                  slot_state_name(slot.state) + ": only a failure is cleared");
  }
  slot.state = slot.present ? SlotState::idle : SlotState::not_present;
  slot.last_text.clear();
  slot.permille = 0;
  publish_slot_locked(slot);
  return {200, Json{{"slot", number}, {"state", slot_state_name(slot.state)}}};
}

StationReply Station::records(RecordFilter filter) const {
  filter.station = setup_.rows.station;
  Json records = Json::array();
  if (system_.store != nullptr) {
    std::vector<RunRow> rows;
    const StoreResult read = system_.store->query(filter, &rows);
    if (!read.ok()) return station_error(500, read.reason);
    for (const RunRow& row : rows) records.push_back(record_json(row));
  }
  return {200, Json{{"records", records}}};
}

StationReply Station::records_csv(RecordFilter filter, std::string* csv) const {
  filter.station = setup_.rows.station;
  std::vector<RunRow> rows;
  if (system_.store != nullptr) {
    const StoreResult read = system_.store->query(filter, &rows);
    if (!read.ok()) return station_error(500, read.reason);
  }
  *csv = record_csv(rows);
  return {200, Json()};
}

Json Station::line_slots() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Json slots = Json::array();
  for (const auto& slot : slots_) {
    // The line takes texts of a bounded length.
    slots.push_back(Json{{"slot", slot->number},
                         {"port", slot->port.substr(0, LINE_TEXT_MAX)},
                         {"state", slot_state_name(slot->state)},
                         {"permille", slot->permille},
                         {"tag", slot->tag},
                         {"last_text", slot->last_text.substr(0, LINE_TEXT_MAX)}});
  }
  return slots;
}

std::shared_ptr<EventStream> Station::open_stream() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> first;
  for (const auto& slot : slots_) {
    Json event{{"event", "slot"}};
    event.update(slot_json(*slot));
    event["sent_ms"] = static_cast<int64_t>(system_.wall_ms());
    first.push_back(json_line(event));
  }
  return streams_.open(first);
}

void Station::check_presence() {
  // Looked at without the lock: finding the adapters takes the system's time.
  const std::vector<PortLook> looks = system_.look(setup_.ports);
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < slots_.size() && i < looks.size(); ++i) {
    Slot& slot = *slots_[i];
    if (looks[i].present == slot.present && looks[i].usb == slot.usb) continue;
    slot.present = looks[i].present;
    slot.usb = looks[i].usb;
    slot.identity = looks[i].identity;
    if (!slot.running) {
      // A slot keeps its last result when its adapter goes (an operator who
      // unplugs a finished unit still sees how it ended); one that had none
      // shows that nothing is there. A run goes on and ends by itself when
      // its line went.
      if (!slot.present && slot.state == SlotState::idle) slot.state = SlotState::not_present;
      else if (slot.present && slot.state == SlotState::not_present) slot.state = SlotState::idle;
    }
    publish_slot_locked(slot);
  }
}

void Station::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finishing_ = true;
    for (const auto& slot : slots_) slot->cancel = true;
  }
  // The runs end at their next progress message and write their records.
  for (const auto& slot : slots_) {
    if (slot->thread.joinable()) slot->thread.join();
  }
  streams_.close_all();
}

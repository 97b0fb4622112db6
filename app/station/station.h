// A production station: numbered slots, one per --port, each upgraded with
// the station's firmware when a client asks, several at once, each run on a
// thread of its own with the CLI's run loop. The station keeps every slot's
// state, publishes the runs' events (the --json events, each with its slot
// and the station's clock) to the event streams, appends each run's record
// line, and follows adapters that are unplugged and plugged in again. Every
// call is safe from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/http/event_streams.h"
#include "app/http/metrics.h"
#include "app/runs/port_runs.h"
#include "app/runs/run_record.h"
#include "app/runs/store_sink.h"
#include "app/station/release_follower.h"
#include "records/record_store.h"
#include "upgrade/firmware.h"

enum class SlotState { idle, running, upgraded, failed, cancelled, not_present };

// "idle", "running", "upgraded", "failed", "cancelled", "not-present".
const char* slot_state_name(SlotState state);

struct StationSetup {
  std::vector<std::string> ports; // slot 1 is the first
  std::string log_path;           // the record file; empty: none
  std::string image_name;         // the firmware file's name, or "built-in"
  std::string image_sha256;
  RowContext rows; // what every run's row in the record store shares
};

// Whether the adapter behind a slot's port is there, and what it tells about
// itself (empty when nothing).
struct PortLook {
  bool present = false;
  std::string usb;
  UsbIdentity identity{}; // for the run's row
};

// What the station needs from the system; the program and the tests fill it.
struct StationSystem {
  PortRunsSystem runs; // its interrupted() ends every run: SIGINT, SIGTERM
  RecordSystem record;
  // Every slot's port at once, in order.
  std::function<std::vector<PortLook>(const std::vector<std::string>& ports)> look;
  std::function<double()> wall_ms; // milliseconds since the epoch
  WriteText err;                   // a record line that could not be written
  WriteText note;                  // one line for the operator as each run ends
  // The record store: a run starts only once its row is in it. nullptr: none.
  RecordStore* store = nullptr;
  // Told of every change a line server hears of: a slot's new phase (or,
  // with phase false, its progress), and a run's end (rows true). Called with
  // the station's lock held: quick, and never back into the station.
  std::function<void(bool phase, bool rows)> changed;
  // The line's state for the page; empty without a line.
  std::function<nlohmann::ordered_json()> line_status;
  // With the line's releases: the image a run on the slot starts with (set) or why none
  // may start (409). Called with the station's lock held: quick. Empty: the
  // station's own image.
  std::function<std::string(int64_t slot, std::shared_ptr<const RunFirmware>* firmware)> release;
  // The release for the page.
  std::function<nlohmann::ordered_json()> release_status;
};

// What the HTTP face answers: a status and a JSON body.
struct StationReply {
  int status = 200;
  nlohmann::ordered_json body;
};

StationReply station_error(int status, const std::string& text);

class Station {
public:
  Station(StationSetup setup, const FirmwareImage& image, StationSystem system);
  // Cancels the runs still going and waits for them.
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  size_t slots() const { return slots_.size(); }

  // GET /api/station
  StationReply state() const;
  // Slots count from 1. An empty tag: none. `who` starts the run: its
  // record names them as its operator.
  StationReply start(size_t slot, const std::string& tag, const std::string& who = "local");
  StationReply start_all(const std::map<size_t, std::string>& tags,
                         const std::string& who = "local");
  // `run` not 0: only that run, which must be the slot's current one.
  StationReply cancel(size_t slot, long run = 0);
  // A slot that failed or was cancelled shows idle again (its record stays).
  StationReply clear(size_t slot);
  // The newest rows of this station in the record store that pass
  // `filter`, newest first (none without a store: a station always has one).
  StationReply records(RecordFilter filter) const;
  // The same rows as a CSV file.
  StationReply records_csv(RecordFilter filter, std::string* csv) const;

  // Every slot as the line server takes it: slot, port, state, permille,
  // tag and last_text.
  nlohmann::ordered_json line_slots() const;

  // The station's metrics: the runs that ended since it started, its slots
  // by state and, with a line, the rows that wait for it.
  void metrics(MetricsText* out) const;

  // A stream that begins with every slot's state; nullptr when too many are
  // open.
  std::shared_ptr<EventStream> open_stream();
  void leave_stream(const std::shared_ptr<EventStream>& stream) { streams_.leave(stream); }
  EventStreams& streams() { return streams_; }

  // Looks again at which adapters are there; a few times a second.
  void check_presence();
  // Cancels every run, waits until each has ended and its record is written,
  // then closes the event streams.
  void finish();

private:
  struct Slot;
  class SlotSink;

  StationReply start_locked(Slot& slot, const std::string& tag, const std::string& who);
  void run_slot(Slot& slot, long run, const std::string& tag);
  void note_end(const Slot& slot, const PortOutcome& outcome) const;
  nlohmann::ordered_json slot_json(const Slot& slot) const;
  void publish_locked(nlohmann::ordered_json event);
  void publish_slot_locked(const Slot& slot);

  const StationSetup setup_;
  const FirmwareImage& image_;
  const StationSystem system_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Slot>> slots_;
  EventStreams streams_;
  long next_run_ = 1;
  bool finishing_ = false; // no run starts once finish() began
  // Why the record store could not be written last; empty while it can.
  // No run starts while it is set and the store still cannot be written.
  std::string store_problem_;
  RunMetrics runs_;
};

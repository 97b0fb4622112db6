// The station's record of every run (`--log FILE`): one JSON line per
// finished port run, appended so that several processes may share the file.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/runs/port_outcome.h"
#include "app/runs/run_sink.h"

struct RunRecordContext {
  std::string time;         // UTC, "2026-12-08T22:07:44Z"
  std::string host;         // this computer's name
  std::string image_sha256; // of the image the run sent
};

// One line, "\n" included. usb_serial is empty when the port's USB identity
// is unknown; the field is null then. The label's tag and slot are added
// when the run has them.
std::string run_record_line(const RunRecordContext& context, const PortOutcome& outcome,
                            const std::string& usb_serial, const RunLabel& label = {});

enum class RecordStatus { ok, cannot_open, cannot_lock, cannot_write };

// What became of one append; `reason` is the user's one line when it failed.
struct RecordAppend {
  RecordStatus status = RecordStatus::ok;
  std::string reason;

  bool ok() const { return status == RecordStatus::ok; }
};

// "cannot open the record file PATH: DETAIL", and so on for each failure.
RecordAppend record_failure(RecordStatus status, const std::string& path,
                            const std::string& detail);

// Platform part (run_record_<platform>.cpp).
// Appends `line` to the file at `path`, creating it when missing, as one
// write under an exclusive lock on the file, so lines of several processes
// never interleave.
RecordAppend run_record_append(const std::string& path, const std::string& line);
std::string run_record_host();
// Where a station keeps its record store and a line its database when not
// told: orvaload in the user's state folder (Linux: $XDG_STATE_HOME or
// ~/.local/state; Windows: %LOCALAPPDATA%). Empty when neither is known.
std::string run_record_state_folder();
// Files this program makes from now on are its user's alone (the record
// store, its -wal and -shm files, a record file): umask 077 on POSIX. On
// Windows files take the access of their folder, which is the user's.
void run_record_private_files();
std::string run_record_utc_now();

// What the record needs from the system; the program and the tests fill it.
struct RecordSystem {
  // The USB serial number of the device behind a port; empty when unknown.
  std::function<std::string(const std::string& port)> usb_serial;
  std::function<RecordAppend(const std::string& path, const std::string& line)> append;
  std::function<std::string()> host;
  std::function<std::string()> utc_now;
};

// The record as a sink: a line appended to `path` as each port's run ends,
// and a line on standard error for each that could not be written.
class RecordSink final : public RunSink {
public:
  RecordSink(std::string path, std::string image_sha256, RecordSystem system, WriteText err,
             std::vector<RunLabel> labels = {})
      : path_(std::move(path)),
        image_sha256_(std::move(image_sha256)),
        system_(std::move(system)),
        err_(std::move(err)),
        labels_(std::move(labels)) {}
  void ended(size_t run, const PortOutcome& outcome, double now_s) override;
  // Whether every run so far has its line in the file.
  bool complete() const { return complete_; }

private:
  std::string path_;
  std::string image_sha256_;
  RecordSystem system_;
  WriteText err_;
  std::vector<RunLabel> labels_;
  bool complete_ = true;
};

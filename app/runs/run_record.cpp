#include "app/runs/run_record.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "app/runs/cli_ending.h"

std::string run_record_line(const RunRecordContext& context, const PortOutcome& outcome,
                            const std::string& usb_serial, const RunLabel& label) {
  nlohmann::ordered_json line{{"time", context.time},
                              {"host", context.host},
                              {"port", outcome.port},
                              {"usb_serial", usb_serial.empty()
                                                 ? nlohmann::ordered_json()
                                                 : nlohmann::ordered_json(usb_serial)},
                              {"image_sha256", context.image_sha256},
                              {"result", port_result_name(outcome.result)},
                              {"seconds", std::round(outcome.seconds * 1000.0) / 1000.0},
                              {"last_text", outcome.last_text}};
  if (!label.tag.empty()) line["tag"] = label.tag;
  if (label.slot != 0) line["slot"] = label.slot;
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

RecordAppend record_failure(RecordStatus status, const std::string& path,
                            const std::string& detail) {
  const char* what = status == RecordStatus::cannot_open   ? "open"
                     : status == RecordStatus::cannot_lock ? "lock"
                                                           : "write";
  return {status, "cannot " + std::string(what) + " the record file " + path + detail};
}

void RecordSink::ended(size_t run, const PortOutcome& outcome, double /*now_s*/) {
  const RunRecordContext context{system_.utc_now(), system_.host(), image_sha256_};
  const std::string usb = system_.usb_serial ? system_.usb_serial(outcome.port) : "";
  const RunLabel label = run < labels_.size() ? labels_[run] : RunLabel{};
  const RecordAppend appended =
      system_.append(path_, run_record_line(context, outcome, usb, label));
  if (!appended.ok()) {
    complete_ = false;
    err_(cli_error_line(appended.reason));
  }
}

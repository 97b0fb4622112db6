// Several ports in one process, each with its simulated controller in
// memory: runs stay independent, and what scripts and the station record see
// of them is complete. Meant for the thread sanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/cli/run_outputs.h"
#include "app/runs/store_sink.h"
#include "app/station/station.h"
#include "records/record_store.h"
#include "sim/sim_line.h"
#include "tests/support/fake_clock.h"

namespace {

const char* const SUCCESS = "Program success, starting application...";
const char* const DEVICE_ERROR = "ORVA had an internal error(7)!";

class PortRunsTest : public ::testing::Test {
protected:
  PortRunsTest() {
    output.out = [this](const std::string& text) { out += text; };
    output.err = [this](const std::string& text) { err += text; };
    system.open = [this](const std::string& name) -> PortOpening {
      auto line = lines.find(name);
      if (line == lines.end()) {
        return {0, "serial port open failed!\ncannot open " + name + ": no such device\n"};
      }
      return {line->second->handle(), ""};
    };
    system.close = [](PortHandle) {};
    system.interrupted = [this] { return interrupt.load(); };
    system.now_s = [this] { return static_cast<double>(++ticks) / 1000.0; };
    record.usb_serial = [](const std::string& name) { return name == "A" ? "A5XK3RJT" : ""; };
    record.append = [this](const std::string& path, const std::string& line) {
      records.push_back(path + " " + line);
      return RecordAppend{};
    };
    record.host = [] { return std::string("station-3"); };
    record.utc_now = [] { return std::string("2026-12-08T22:07:44Z"); };
    plan.image_sha256 = std::string(64, 'c');
  }

  // A simulated controller behind port `name`.
  SimLine& add_line(const std::string& name, std::vector<SimFault> faults = {}) {
    SimConfig config;
    config.image.assign(image.bytes, image.bytes + image.size);
    config.load_address = image.load_address;
    config.faults = std::move(faults);
    config.byte_at_a_time = lines.size() % 2 == 1;
    auto line = std::make_unique<SimLine>(config);
    SimLine& added = *line;
    lines[name] = std::move(line);
    return added;
  }

  int run(std::vector<std::string> ports) {
    plan.ports = std::move(ports);
    return cli_exit_status(run_ports(plan, image, system, record, output));
  }

  std::vector<nlohmann::json> events() const {
    std::vector<nlohmann::json> parsed;
    size_t at = 0;
    while (at < out.size()) {
      size_t end = out.find('\n', at);
      EXPECT_NE(end, std::string::npos) << "every event ends its line";
      if (end == std::string::npos) break;
      parsed.push_back(nlohmann::json::parse(out.substr(at, end - at)));
      at = end + 1;
    }
    return parsed;
  }

  const FirmwareImage& image = firmware_image();
  FakeClock clock; // stands still: no time-out, however slow the threads are
  std::map<std::string, std::unique_ptr<SimLine>> lines;
  std::atomic<bool> interrupt{false};
  std::atomic<int64_t> ticks{0};
  PortRunsPlan plan;
  PortRunsSystem system;
  RecordSystem record;
  RunOutput output;
  std::string out;
  std::string err;
  std::vector<std::string> records;
};

TEST_F(PortRunsTest, JsonEventsAndRecordsForEveryPortWhateverBecameOfIt) {
  add_line("A");
  add_line("B");
  add_line("C", {{SimFaultKind::device_error, 300, 1, 7}});
  plan.json = true;
  plan.log_path = "station.jsonl";
  EXPECT_EQ(run({"A", "B", "C", "D"}), 3) << "D could not be opened; the others still ran";

  std::map<std::string, nlohmann::json> ends;
  std::map<std::string, int> starts, progress, texts;
  std::map<std::string, int32_t> last_permille;
  for (const nlohmann::json& e : events()) {
    const std::string port = e.at("port");
    const std::string kind = e.at("event");
    if (kind == "start") {
      ++starts[port];
      EXPECT_EQ(e.at("image_size"), image.size);
      EXPECT_EQ(e.at("load_address"), image.load_address);
      EXPECT_EQ(e.at("image_sha256"), plan.image_sha256);
    } else if (kind == "text") {
      ++texts[port];
      EXPECT_TRUE(e.at("code").is_number_integer());
    } else if (kind == "progress") {
      ++progress[port];
      last_permille[port] = e.at("permille");
    } else {
      ASSERT_EQ(kind, "end");
      EXPECT_EQ(ends.count(port), 0u) << "one end per port";
      ends[port] = e;
    }
  }
  ASSERT_EQ(ends.size(), 4u);
  for (const char* ok : {"A", "B"}) {
    SCOPED_TRACE(ok);
    EXPECT_EQ(starts[ok], 1);
    EXPECT_EQ(texts[ok], 12 + 704 + 1);
    EXPECT_EQ(progress[ok], 101) << "one per percent";
    EXPECT_EQ(last_permille[ok], 1000);
    EXPECT_EQ(ends[ok].at("result"), "ok");
    EXPECT_EQ(ends[ok].at("exit_code"), 0);
    EXPECT_EQ(ends[ok].at("last_text"), SUCCESS);
    EXPECT_EQ(ends[ok].at("frames_sent"), 818);
    EXPECT_EQ(ends[ok].at("retransmissions"), 0);
    EXPECT_TRUE(lines[ok]->controller().image_matches());
  }
  EXPECT_EQ(ends["C"].at("result"), "failed");
  EXPECT_EQ(ends["C"].at("exit_code"), 1);
  EXPECT_EQ(ends["C"].at("last_text").get<std::string>().rfind(std::string(DEVICE_ERROR) + "\n", 0),
            0u);
  EXPECT_FALSE(lines["C"]->controller().report().jumped);
  EXPECT_EQ(starts.count("D"), 0u);
  EXPECT_EQ(ends["D"].at("result"), "not-opened");
  EXPECT_EQ(ends["D"].at("exit_code"), 3);
  EXPECT_EQ(ends["D"].at("last_text"), "cannot open D: no such device")
      << "the reason, not the heading";
  EXPECT_NE(err.find("D: serial port open failed!\nD: cannot open D: no such device\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Port  Result"), std::string::npos) << "the summary goes beside the events";

  ASSERT_EQ(records.size(), 4u);
  std::map<std::string, nlohmann::json> by_port;
  for (const std::string& r : records) {
    ASSERT_EQ(r.rfind("station.jsonl ", 0), 0u);
    nlohmann::json line = nlohmann::json::parse(r.substr(14));
    by_port[line.at("port")] = line;
  }
  EXPECT_EQ(by_port["A"].at("usb_serial"), "A5XK3RJT");
  EXPECT_TRUE(by_port["B"].at("usb_serial").is_null());
  EXPECT_EQ(by_port["A"].at("result"), "ok");
  EXPECT_EQ(by_port["C"].at("result"), "failed");
  EXPECT_EQ(by_port["D"].at("result"), "not-opened");
  EXPECT_EQ(by_port["A"].at("host"), "station-3");
  EXPECT_EQ(by_port["A"].at("image_sha256"), plan.image_sha256);
}

TEST_F(PortRunsTest, PlainTextsArePrefixedAndASummaryEnds) {
  add_line("COM5");
  add_line("COM6", {{SimFaultKind::device_error, 6, 1, 7}});
  EXPECT_EQ(run({"COM5", "COM6"}), 1);

  std::string com5, com6, other;
  size_t at = 0;
  const size_t summary = out.find("Port  Result");
  ASSERT_NE(summary, std::string::npos) << out.substr(0, 300);
  while (at < summary) {
    const size_t end = out.find('\n', at) + 1;
    const std::string line = out.substr(at, end - at);
    (line.rfind("COM5: ", 0) == 0   ? com5
     : line.rfind("COM6: ", 0) == 0 ? com6
                                    : other) += line.substr(6);
    at = end;
  }
  EXPECT_EQ(other, "") << "every text line names its port";
  const std::string success_line = std::string(SUCCESS) + "\n";
  EXPECT_EQ(com5.substr(com5.size() - success_line.size()), success_line);
  EXPECT_EQ(com6,
            "Erase address 00004000h 16384 bytes\nErase address 00008000h 16384 bytes\n"
            "Erase address 0000c000h 16384 bytes\nORVA had an internal error(7)!\nMessage id 5/5, "
            "type erase: offset address 0x0000c000 size 16384 bytes\n");
  EXPECT_NE(out.find("\nCOM5  ok        "), std::string::npos) << out.substr(summary);
  EXPECT_NE(out.find("\nCOM6  failed    "), std::string::npos) << out.substr(summary);
  EXPECT_NE(out.find("ORVA had an internal error(7)! Message id 5/5"), std::string::npos);
  EXPECT_EQ(err, "");
  EXPECT_TRUE(lines["COM5"]->controller().image_matches());
}

// A full disk, say: the controller is upgraded but its record line is lost,
// and a script that reads only the exit status must not see 0. A failed run
// keeps its own status.
TEST_F(PortRunsTest, ARecordLineThatCannotBeWrittenAfterCleanRunsExitsFour) {
  record.append = [](const std::string& path, const std::string&) {
    return record_failure(RecordStatus::cannot_write, path, ": No space left on device");
  };
  plan.log_path = "station.jsonl";
  add_line("A");
  EXPECT_EQ(run({"A"}), 4);
  EXPECT_EQ(err,
            "orvaload-cli: cannot write the record file station.jsonl: No space left on device\n");
  EXPECT_TRUE(lines["A"]->controller().image_matches());

  add_line("B");
  add_line("C", {{SimFaultKind::device_error, 6, 1, 7}});
  EXPECT_EQ(run({"B", "C"}), 1);
}

TEST_F(PortRunsTest, InterruptCancelsEveryRun) {
  // Each controller holds its line at its 200th request until the loop has
  // seen the interrupt, so every run is still going when the cancel comes.
  std::atomic<bool> seen{false};
  system.interrupted = [&] {
    seen = seen || interrupt;
    return interrupt.load();
  };
  for (const char* name : {"A", "B", "C"}) {
    SimLine& line = add_line(name);
    line.set_read_hook([&line, &seen, this] {
      if (line.controller().requests() < 200) return;
      interrupt = true;
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!seen && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
    });
  }
  plan.json = true;
  EXPECT_EQ(run({"A", "B", "C"}), 1);
  int cancelled = 0;
  for (const nlohmann::json& e : events()) {
    if (e.at("event") != "end") continue;
    EXPECT_EQ(e.at("result"), "cancelled") << e.dump();
    EXPECT_EQ(e.at("last_text"), "user canceled transmission, upgrade not complete!");
    EXPECT_EQ(e.at("exit_code"), 1);
    ++cancelled;
  }
  EXPECT_EQ(cancelled, 3);
  for (const auto& line : lines) EXPECT_FALSE(line.second->controller().report().jumped);
}

} // namespace

// The record store: each run's row is in it, running, before its port is
// opened, and its end before the run's end event goes out; an end that
// cannot be written is said once and the status is 4, as for a lost line.
class StoreRunsTest : public PortRunsTest {
protected:
  StoreRunsTest() {
    dir_ = std::filesystem::temp_directory_path() / ("orva-store-runs-" + record_uuid());
    std::filesystem::create_directories(dir_);
    StoreResult opened;
    store = RecordStore::open((dir_ / "records.db").string(), &opened);
    EXPECT_TRUE(store) << opened.reason;
    context = {"station-3",        std::string(64, 'c'), image.size,
               image.load_address, "built-in",           "2.00"};
  }
  ~StoreRunsTest() override {
    store.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  RunRow row_of(const std::string& tag) const {
    RecordFilter filter;
    filter.tag = tag;
    std::vector<RunRow> rows;
    EXPECT_TRUE(store->query(filter, &rows).ok());
    return rows.empty() ? RunRow{} : rows.front();
  }

  std::filesystem::path dir_;
  std::unique_ptr<RecordStore> store;
  RowContext context;
};

TEST_F(StoreRunsTest, ARowBeforeThePortOpensAndItsEndBeforeTheEndEvent) {
  add_line("A");
  add_line("B", {{SimFaultKind::device_error, 300, 1, 7}});
  for (const std::string port : {"A", "B"}) {
    RunRow row = run_row(context, port, UsbIdentity{}, RunLabel{"SN-" + port, 0}, 1000);
    ASSERT_TRUE(store->begin(&row).ok());
    plan.rows.push_back(row);
  }
  plan.store = store.get();
  plan.wall_ms = [] { return int64_t{2000}; };
  plan.json = true;
  const auto open = system.open;
  system.open = [&](const std::string& name) {
    EXPECT_EQ(row_of("SN-" + name).result, "running") << "kept before the port is touched";
    return open(name);
  };
  size_t ends_seen = 0;
  output.out = [&](const std::string& text) {
    out += text;
    const nlohmann::json event = nlohmann::json::parse(text);
    if (event["event"] != "end") return;
    ++ends_seen;
    EXPECT_EQ(row_of("SN-" + event["port"].get<std::string>()).result, event["result"]);
  };
  EXPECT_EQ(run({"A", "B"}), 1);
  EXPECT_EQ(ends_seen, 2u);
  const RunRow a = row_of("SN-A");
  EXPECT_EQ(a.result, "ok");
  EXPECT_EQ(a.step, "start");
  EXPECT_EQ(a.ended_at, "1970-01-01T00:00:02.000Z");
  EXPECT_GT(a.frames, 700);
  const RunRow b = row_of("SN-B");
  EXPECT_EQ(b.result, "failed");
  EXPECT_EQ(b.last_text.rfind(DEVICE_ERROR, 0), 0u);
}

TEST_F(StoreRunsTest, AnEndThatCannotBeWrittenIsSaidOnceAndExitsFour) {
  add_line("A");
  RunRow row = run_row(context, "A", UsbIdentity{}, RunLabel{"SN-A", 0}, 1000);
  ASSERT_TRUE(store->begin(&row).ok());
  plan.rows = {row};
  plan.store = store.get();
  plan.wall_ms = [] { return int64_t{2000}; };
  store->fail_next_write_for_test();
  EXPECT_EQ(run({"A"}), 4) << "upgraded, but its end is not on record";
  EXPECT_NE(err.find("could not be written"), std::string::npos) << err;
  EXPECT_EQ(row_of("SN-A").result, "running") << "never reported kept when it was not";
}

// The station: its run's end is in the store before the end event; a store
// that cannot be written starts no run, says why, and starts again once it
// can.
TEST_F(StoreRunsTest, AStationStartsNoRunItCannotKeep) {
  add_line("A");
  StationSystem station_system;
  station_system.runs = system;
  station_system.record = record;
  station_system.look = [](const std::vector<std::string>& ports) {
    return std::vector<PortLook>(ports.size(), PortLook{true, "", {}});
  };
  station_system.wall_ms = [] { return 3000.0; };
  station_system.err = [this](const std::string& text) { err += text; };
  station_system.store = store.get();
  StationSetup setup;
  setup.ports = {"A"};
  setup.rows = context;
  Station station(setup, image, station_system);
  // The slot is free once its run's thread has let go of it.
  const auto start_when_free = [&](const std::string& tag) {
    StationReply reply;
    for (int tries = 0; tries < 100000; ++tries) {
      reply = station.start(1, tag);
      if (reply.status != 409 ||
          reply.body["error"].get<std::string>().find("is running") == std::string::npos) {
        break;
      }
      std::this_thread::yield();
    }
    return reply;
  };
  // Starts a run and checks, as its end event arrives, that its row ended.
  const auto run_and_check = [&](const std::string& tag) {
    std::shared_ptr<EventStream> stream = station.open_stream();
    ASSERT_EQ(start_when_free(tag).status, 202);
    std::vector<std::string> events;
    for (int waits = 0; waits < 3000 && stream->next(&events, 20); ++waits) {
      for (const std::string& line : events) {
        const nlohmann::json event = nlohmann::json::parse(line);
        if (event["event"] != "end") continue;
        EXPECT_EQ(row_of(tag).result, event["result"]);
        station.leave_stream(stream);
        return;
      }
      events.clear();
    }
    ADD_FAILURE() << "no end event";
  };

  run_and_check("SN-1");
  EXPECT_EQ(row_of("SN-1").slot, 1);

  store->fail_next_write_for_test();
  const StationReply refused = start_when_free("SN-2");
  EXPECT_EQ(refused.status, 409);
  EXPECT_NE(refused.body["error"].get<std::string>().find("no run starts until the record store"),
            std::string::npos);
  EXPECT_NE(station.state().body["records"]["problem"], "");
  EXPECT_EQ(row_of("SN-2").run_id, "") << "nothing kept, nothing sent";

  run_and_check("SN-3");
  EXPECT_EQ(station.state().body["records"]["problem"], "") << "the store takes rows again";
}

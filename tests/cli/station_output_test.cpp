// What station software and the operator see of runs on several ports: the
// JSON events, the record line and its appending, the progress board, the
// summary, and the station's event streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/cli/progress_board.h"
#include "app/cli/run_summary.h"
#include "app/http/event_streams.h"
#include "app/runs/event_json.h"
#include "app/runs/run_record.h"

namespace {

nlohmann::json parsed_line(const std::string& line) {
  EXPECT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one object per line";
  return nlohmann::json::parse(line);
}

PortOutcome failed_outcome() {
  PortOutcome o;
  o.port = "COM6";
  o.result = PortResult::failed;
  o.exit_code = 1;
  o.last_text = text_block("ORVA had an internal error(7)!\r\nMessage id 5/5, type erase: offset "
                           "address 0x0000c000 size 16384 bytes\r\n");
  o.seconds = 1.23456;
  o.frames_sent = 6;
  o.retransmissions = 2;
  return o;
}

} // namespace

TEST(JsonEvents, EveryEventIsOneObjectWithItsStableFields) {
  auto start = parsed_line(json_start_event("COM5", 180036, 0x4000, std::string(64, 'a')));
  EXPECT_EQ(start, nlohmann::json::parse(R"({"event":"start","port":"COM5","image_size":180036,
      "load_address":16384,"image_sha256":")" +
                                         std::string(64, 'a') + "\"}"));

  auto text = parsed_line(json_text_event("COM5", "serial port read error!\r\n", 1));
  EXPECT_EQ(text["event"], "text");
  EXPECT_EQ(text["text"], "serial port read error!") << "printed as the plain output prints it";
  EXPECT_EQ(text["code"], 1);
  auto two_lines = parsed_line(json_text_event("COM5", "a\r\nb\r\n", 1));
  EXPECT_EQ(two_lines["text"], "a\nb");

  auto progress = parsed_line(json_progress_event("COM5", 129));
  EXPECT_EQ(progress,
            nlohmann::json::parse(R"({"event":"progress","port":"COM5","permille":129})"));

  auto end = parsed_line(json_end_event(failed_outcome()));
  EXPECT_EQ(end["event"], "end");
  EXPECT_EQ(end["port"], "COM6");
  EXPECT_EQ(end["result"], "failed");
  EXPECT_EQ(end["exit_code"], 1);
  EXPECT_EQ(end["last_text"], "ORVA had an internal error(7)!\nMessage id 5/5, type erase: offset "
                              "address 0x0000c000 size 16384 bytes");
  EXPECT_DOUBLE_EQ(end["seconds"].get<double>(), 1.235);
  EXPECT_EQ(end["frames_sent"], 6);
  EXPECT_EQ(end["retransmissions"], 2);

  // A port name that is no UTF-8 still makes a line, not an exception.
  auto odd = parsed_line(json_progress_event("/dev/tty\xff", 5));
  EXPECT_EQ(odd["permille"], 5);
}

TEST(JsonEvents, ProgressIsLetThroughOncePerPercent) {
  // A clean run's values: 0, the erase blocks up to 129, then programming
  // from 122 (one step back) up to 1000, with values repeated.
  std::vector<int32_t> values{0};
  for (int32_t v = 19; v <= 129; v += 10) values.push_back(v);
  for (int32_t v = 122; v <= 1000; ++v) values.insert(values.end(), {v, v});
  ProgressGate gate;
  std::vector<int32_t> percents;
  for (int32_t v : values) {
    if (gate.pass(v)) percents.push_back(v / 10);
  }
  ASSERT_EQ(percents.size(), 101u);
  for (int32_t p = 0; p <= 100; ++p) EXPECT_EQ(percents[static_cast<size_t>(p)], p);
}

TEST(RunRecord, OneLinePerRunWithTheStationsFields) {
  RunRecordContext context{"2026-12-08T22:07:44Z", "station-3", std::string(64, 'b')};
  auto line = parsed_line(run_record_line(context, failed_outcome(), ""));
  EXPECT_EQ(line["time"], "2026-12-08T22:07:44Z");
  EXPECT_EQ(line["host"], "station-3");
  EXPECT_EQ(line["port"], "COM6");
  EXPECT_TRUE(line["usb_serial"].is_null()) << "unknown, and the field is still there";
  EXPECT_EQ(line["image_sha256"], std::string(64, 'b'));
  EXPECT_EQ(line["result"], "failed");
  EXPECT_DOUBLE_EQ(line["seconds"].get<double>(), 1.235);
  EXPECT_EQ(line["last_text"].get<std::string>().rfind("ORVA had an internal error(7)!\n", 0), 0u);
  EXPECT_EQ(parsed_line(run_record_line(context, failed_outcome(), "A5XK3RJT"))["usb_serial"],
            "A5XK3RJT");

  const std::string now = run_record_utc_now();
  EXPECT_EQ(now.size(), 20u) << now;
  EXPECT_EQ(now.back(), 'Z');
  EXPECT_FALSE(run_record_host().empty());
}

TEST(RunRecord, AppendingKeepsWhatWasThereAndCreatesAMissingFile) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("orva-record-" + std::to_string(std::rand()) + ".jsonl");
  std::filesystem::remove(path);
  for (const char* line : {"{\"n\":1}\n", "{\"n\":2}\n"}) {
    const RecordAppend appended = run_record_append(path.string(), line);
    ASSERT_TRUE(appended.ok()) << appended.reason;
  }
  std::ifstream file(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  file.close();
  EXPECT_EQ(text, "{\"n\":1}\n{\"n\":2}\n");
  std::filesystem::remove(path);

  const RecordAppend missing = run_record_append((path / "no-such-folder" / "x").string(), "{}\n");
  EXPECT_EQ(missing.status, RecordStatus::cannot_open);
  EXPECT_NE(missing.reason.find("cannot open the record file"), std::string::npos)
      << missing.reason;
}

TEST(ProgressBoard, RowsAreRedrawnInPlaceAndEndBelowTheBoard) {
  ProgressBoard board(0.1);
  std::vector<std::string> rows{"a", "bb", "c"};
  EXPECT_TRUE(board.due(0.0));
  EXPECT_EQ(board.draw(rows, 0.0), "\ra\x1b[K\nbb\x1b[K\nc\x1b[K");
  EXPECT_FALSE(board.due(0.05)) << "at most ten redraws a second";
  EXPECT_TRUE(board.due(0.1));
  rows[1] = "b";
  EXPECT_EQ(board.draw(rows, 0.1), "\r\x1b[2Aa\x1b[K\nb\x1b[K\nc\x1b[K") << "back up two rows";
  EXPECT_EQ(board.finish(rows), "\r\x1b[2Aa\x1b[K\nb\x1b[K\nc\x1b[K\n");
  EXPECT_EQ(board.draw({"x"}, 1.0), "\rx\x1b[K") << "a new board starts below the old one";

  EXPECT_EQ(board_row("COM5", 10, "[##..]  50.0%", "", 79), "COM5        [##..]  50.0%");
  EXPECT_EQ(board_row("/dev/ttyUSB0", 4, "[####] 100.0%", "failed: a\nb", 79),
            "/dev/ttyUSB0  [####] 100.0%  failed: a b");
  EXPECT_EQ(board_row("COM5", 4, std::string(100, '#'), "", 40).size(), 40u)
      << "a row never wraps, or the redraw would climb too few lines";
}

TEST(RunSummary, OneAlignedLinePerPort) {
  PortOutcome ok;
  ok.port = "/dev/ttyUSB0";
  ok.result = PortResult::ok;
  ok.exit_code = 0;
  ok.last_text = "Program success, starting application...";
  ok.seconds = 16.04;
  PortOutcome missing;
  missing.port = "COM9";
  missing.result = PortResult::not_opened;
  missing.exit_code = 3;
  missing.last_text = "serial port open failed!";
  EXPECT_EQ(summary_table({ok, failed_outcome(), missing}),
            "Port          Result      Seconds  Last text\n"
            "/dev/ttyUSB0  ok             16.0  Program success, starting application...\n"
            "COM6          failed          1.2  ORVA had an internal error(7)! Message id 5/5, "
            "type erase: offset address 0x0000c000 size 16384 bytes\n"
            "COM9          not-opened      0.0  serial port open failed!\n");
}

// A page that stops reading must never hold up the runs that publish: its
// stream fills, is closed and dropped, and the other streams go on.
TEST(EventStreams, AReaderThatFallsBehindIsClosedAndTheOthersGoOn) {
  EventStreams streams;
  const auto slow = streams.open({"first"});
  const auto live = streams.open({});
  ASSERT_TRUE(slow && live);
  std::vector<std::string> got;
  for (size_t i = 0; i < EventStreams::QUEUE_LIMIT + 10; ++i) {
    streams.publish("event " + std::to_string(i));
    if (i % 100 == 0) live->next(&got, 0);
  }
  std::vector<std::string> late;
  EXPECT_FALSE(slow->next(&late, 0)) << "a stream that fell behind is closed";
  EXPECT_TRUE(slow->fell_behind());
  EXPECT_TRUE(live->next(&got, 0));
  EXPECT_EQ(got.size(), EventStreams::QUEUE_LIMIT + 10);
  EXPECT_EQ(got.back(), "event " + std::to_string(EventStreams::QUEUE_LIMIT + 9));

  // Its place is free again, up to the limit of streams open at once.
  std::vector<std::shared_ptr<EventStream>> more;
  while (auto stream = streams.open({})) more.push_back(stream);
  EXPECT_EQ(more.size(), EventStreams::STREAM_LIMIT - 1);
  streams.close_all();
  EXPECT_FALSE(live->next(&got, 0));
}

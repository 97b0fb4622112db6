// What a script sees of a run: the lines printed for each notice, the
// progress line, and the exit status the run's result leads to.
#include <gtest/gtest.h>

#include <sstream>

#include "app/cli/cli_options.h"
#include "app/cli/progress_line.h"
#include "app/cli/progress_meter.h"
#include "app/runs/notice_lines.h"
#include "app/runs/port_outcome.h"
#include "upgrade/worker.h"

TEST(NoticeLines, EveryCrLfEndsOneLineAndALastLineIsEnded) {
  EXPECT_EQ(notice_lines("Erase address 00004000h 16384 bytes"),
            "Erase address 00004000h 16384 bytes\n");
  EXPECT_EQ(notice_lines("serial port timeout during transmission, error!\r\n"),
            "serial port timeout during transmission, error!\n");
  EXPECT_EQ(notice_lines("ORVA had an internal error(7)!\r\nMessage id 12/5, type erase: offset "
                         "address 0x00004000 size 16384 bytes\r\n"),
            "ORVA had an internal error(7)!\nMessage id 12/5, type erase: offset address "
            "0x00004000 size 16384 bytes\n");
  // A device error on a one-byte erase ends after "type ": the trailing blank stays.
  EXPECT_EQ(notice_lines("ORVA had an internal error(3)!\r\nMessage id 4/4, type "),
            "ORVA had an internal error(3)!\nMessage id 4/4, type \n");
  EXPECT_EQ(notice_lines(""), "");
  EXPECT_EQ(notice_lines(nullptr), "");
  EXPECT_EQ(notice_lines("a\nb"), "a\nb\n");
  EXPECT_EQ(notice_lines("a\rb"), "a\rb\n");
}

TEST(PortOutcome, SuccessNeedsTheEndNoticeAndARunThatReturnedZero) {
  // How the worker judges its run, and what the loop makes of it.
  const auto outcome = [](int32_t result, bool cancelled, bool posted, bool seen) {
    RunReport report;
    report.ending = upgrade_run_ending(result, cancelled, posted);
    return port_outcome("COM5", report, seen, "last", 1.0);
  };
  EXPECT_EQ(outcome(0, false, true, true).result, PortResult::ok);
  EXPECT_EQ(outcome(0, false, true, true).exit_code, 0);
  // No end notice: not posted, or posted but never received.
  for (const PortOutcome& lost :
       {outcome(0, false, false, false), outcome(0, false, true, false)}) {
    EXPECT_EQ(lost.result, PortResult::failed);
    EXPECT_EQ(lost.exit_code, 1);
    EXPECT_EQ(lost.last_text, LOST_RUN_TEXT);
  }
  // A failed run (a refused or garbled jump, the link finishing early), and
  // a run that never started.
  for (int32_t result : {1, -1, UPGRADE_NO_RUN}) {
    EXPECT_EQ(outcome(result, false, true, true).result, PortResult::failed) << result;
    EXPECT_EQ(outcome(result, false, true, true).exit_code, 1) << result;
  }
  EXPECT_EQ(outcome(1, true, true, true).result, PortResult::cancelled);
  EXPECT_EQ(outcome(1, true, true, true).exit_code, 1);
}

TEST(ProgressMeter, BytesWrittenFollowTheProgressOfProgramming) {
  ProgressMeter meter(180036);
  for (int block = 0; block < 12; ++block) meter.on_progress(19 + 10 * block, 0.0);
  EXPECT_EQ(meter.written(), 0u) << "the last erase block's 129 is no program progress";
  EXPECT_NE(meter.render(0.0, 79).find("erasing"), std::string::npos);

  meter.on_programming(1.0);
  EXPECT_EQ(meter.written(), 0u) << "not acknowledged yet";
  meter.on_progress(122, 2.0);
  EXPECT_EQ(meter.written(), 204u) << "within one step of the scale of the chunk's 256 bytes";
  meter.on_progress(1000, 3.0);
  EXPECT_EQ(meter.written(), 180036u);
  // Whatever value arrives, the line stays within its scale.
  meter.on_progress(5000, 3.0);
  EXPECT_EQ(meter.written(), 180036u);
  EXPECT_NE(meter.render(3.0, 79).find("100.0% 180036/180036 bytes"), std::string::npos);
  meter.on_progress(-7, 3.0);
  EXPECT_NE(meter.render(3.0, 79).find("  0.0%"), std::string::npos);
}

TEST(ProgressMeter, LineShowsPercentBytesRateAndTimeLeft) {
  ProgressMeter meter(1758);
  meter.on_programming(10.0);
  meter.on_progress(560, 11.0);
  std::string line = meter.render(11.0, 79);
  EXPECT_EQ(line, "[#############...........]  56.0% 878/1758 bytes 0.9 KiB/s 0:01 left");
  EXPECT_EQ(meter.render(11.0, 20).size(), 20u);
  // A run that fails there keeps its rate but has no time left.
  meter.on_end(11.0);
  EXPECT_EQ(meter.render(40.0, 79), "[#############...........]  56.0% 878/1758 bytes 0.9 KiB/s");
}

namespace {

// The exit status the command line ends with, -1 when it asks for a command;
// `err` gets what goes to standard error.
int parse(std::initializer_list<const char*> args, CliOptions& options, std::string* out = nullptr,
          std::string* err = nullptr) {
  std::vector<const char*> argv{"orvaload-cli"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::ostringstream out_stream;
  std::ostringstream err_stream;
  const std::optional<CliEnding> ending =
      parse_command_line(static_cast<int>(argv.size()), argv.data(), options, out_stream,
                         err_stream);
  if (out) *out = out_stream.str();
  if (err) *err = err_stream.str() + (ending ? ending->reason : "");
  return ending ? cli_exit_status(ending->status) : -1;
}

} // namespace

TEST(CommandLine, CommandsVersionHelpAndUsageErrors) {
  CliOptions options;
  EXPECT_EQ(parse({"--port", "COM5"}, options), -1);
  EXPECT_EQ(options.ports, std::vector<std::string>{"COM5"});
  EXPECT_FALSE(options.json);
  EXPECT_EQ(options.log_path, "");

  CliOptions several;
  EXPECT_EQ(parse({"--port", "COM5", "-p", "/dev/ttyUSB0", "--json", "--log", "station.jsonl"},
                  several),
            -1);
  EXPECT_EQ(several.ports, (std::vector<std::string>{"COM5", "/dev/ttyUSB0"}));
  EXPECT_TRUE(several.json);
  EXPECT_EQ(several.log_path, "station.jsonl");

  CliOptions listing;
  EXPECT_EQ(parse({"--list"}, listing), -1);
  EXPECT_TRUE(listing.list);

  CliOptions file;
  EXPECT_EQ(parse({"--image", "fw.bin", "--address", "0x08000000", "--port", "COM5"}, file), -1);
  EXPECT_EQ(file.image, "fw.bin");
  EXPECT_TRUE(file.address_given);
  EXPECT_EQ(file.address, 0x08000000u);
  CliOptions info;
  EXPECT_EQ(parse({"--info", "--image", "fw.bin", "--address", "16384"}, info), -1);
  EXPECT_TRUE(info.info);
  EXPECT_EQ(info.address, 16384u);
  CliOptions builtin_info;
  EXPECT_EQ(parse({"--info"}, builtin_info), -1);
  EXPECT_FALSE(builtin_info.address_given);

  std::string out;
  std::string err;
  CliOptions other;
  EXPECT_EQ(parse({"--version"}, other, &out), 0);
  EXPECT_EQ(out, "2.00\n");
  EXPECT_EQ(parse({"--help"}, other, &out), 0);
  EXPECT_NE(out.find("Exit status"), std::string::npos);
  EXPECT_NE(out.find("--port"), std::string::npos);

  for (auto args :
       {std::initializer_list<const char*>{}, std::initializer_list<const char*>{"--port"},
        std::initializer_list<const char*>{"--port", "COM5", "--list"},
        std::initializer_list<const char*>{"--bogus"},
        std::initializer_list<const char*>{"--port", "COM5", "COM6"},
        std::initializer_list<const char*>{"--port", "COM5", "--log"},
        std::initializer_list<const char*>{"COM5"},
        std::initializer_list<const char*>{"--address", "0x4000", "--port", "COM5"},
        std::initializer_list<const char*>{"--image", "f", "--address", "0x100000000", "--port",
                                           "C"},
        std::initializer_list<const char*>{"--image", "f", "--address", "16k", "--port", "COM5"},
        std::initializer_list<const char*>{"--image", "f", "--address", "0x", "--port", "COM5"},
        std::initializer_list<const char*>{"--info", "--port", "COM5"},
        std::initializer_list<const char*>{"--list", "--image", "f"}}) {
    CliOptions bad;
    EXPECT_EQ(parse(args, bad, nullptr, &err), cli_exit_status(CliStatus::usage));
    EXPECT_FALSE(err.empty());
  }
}

TEST(ProgressMeter, AFinishedRunShowsHowLongItTook) {
  ProgressMeter meter(512);
  meter.on_programming(0.0);
  meter.on_progress(560, 1.0);
  meter.on_progress(1000, 2.0);
  EXPECT_EQ(meter.render(75.0, 79),
            "[########################] 100.0% 512/512 bytes 0.0 KiB/s in 1:15");
}

// The progress line on a terminal follows the display's own rate: a burst of
// progress values and texts between two looks is one redraw at the next
// look, with the newest value; a run that fails, or starts programming, is
// drawn at once; a line that would not change is not drawn again.
TEST(ProgressLine, ABurstIsOneRedrawWithTheNewestValue) {
  std::vector<std::string> drawn;
  ProgressLine line(true, [&](const std::string& out) {
    if (out.rfind("\r", 0) == 0 && out.find_first_not_of(" \r") != std::string::npos) {
      drawn.push_back(out);
    }
  });
  ProgressLineSink sink(line, 180036);
  sink.started(0);
  sink.programming(0, 0.0);
  ASSERT_EQ(drawn.size(), 1u) << "a new part of the run is shown at once";
  for (int i = 1; i <= 40; ++i) {
    sink.progress(0, 10 * i, 0.05 + i * 0.001);
    sink.text(0, "Program address 00004000h 256 bytes", 0, 0.05 + i * 0.001);
  }
  EXPECT_EQ(drawn.size(), 1u) << "values within one period wait for the next look";
  sink.tick(0.101);
  ASSERT_EQ(drawn.size(), 2u);
  EXPECT_NE(drawn.back().find("40.0%"), std::string::npos) << drawn.back();
  sink.tick(0.15);
  EXPECT_EQ(drawn.size(), 2u) << "at most one redraw per period";
  sink.text(0, "ORVA had an internal error(7)!", 7, 0.16);
  EXPECT_EQ(drawn.size(), 3u) << "a failure is never held back";
}

// What a script sees of a run: the lines printed for each notice and the
// exit status the notices lead to.
#include <gtest/gtest.h>

#include <sstream>

#include "app/cli/cli_options.h"
#include "app/cli/notice_lines.h"
#include "app/cli/progress_meter.h"
#include "app/cli/run_verdict.h"

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

TEST(RunVerdict, SuccessNeedsTheFinalTextTheEndAndNoFailure) {
  RunVerdict clean;
  clean.on_text("Erase address 00004000h 16384 bytes", 0);
  clean.on_text("Program address 0002ff00h 68 bytes", 0);
  clean.on_text(CLI_SUCCESS_TEXT, 0);
  EXPECT_EQ(clean.exit_code(), CLI_EXIT_FAILED) << "no end notice yet";
  clean.on_done();
  EXPECT_EQ(clean.exit_code(), CLI_EXIT_OK);

  // A failed jump exchange is still followed by the success text.
  RunVerdict jump_timeout;
  jump_timeout.on_text("serial port timeout during transmission, error!\r\n", 1);
  jump_timeout.on_text(CLI_SUCCESS_TEXT, 0);
  jump_timeout.on_done();
  EXPECT_EQ(jump_timeout.exit_code(), CLI_EXIT_FAILED);

  RunVerdict cut_short;
  cut_short.on_text("Erase address 00004000h 16384 bytes", 0);
  cut_short.on_done();
  EXPECT_EQ(cut_short.exit_code(), CLI_EXIT_FAILED);

  // The link finishing early reports "success" with code -1: part of the image never went out.
  RunVerdict finished_early;
  finished_early.on_text("transmission done, success!\r\n", -1);
  finished_early.on_text(CLI_SUCCESS_TEXT, 0);
  finished_early.on_done();
  EXPECT_EQ(finished_early.exit_code(), CLI_EXIT_FAILED);
}

TEST(RunVerdict, FailureTextsCountEvenWithoutACode) {
  for (const char* text : {"user canceled transmission, upgrade not complete!\r\n",
                           "retransmission failed after multiple retries, error!\r\n",
                           "unknown message format error(4)!\r\n", "other error (9)!!!\r\n",
                           "ORVA had an internal error(7)!\r\nMessage id 12/5, type ",
                           "transmission done, success!\r\n", "serial port read error!\r\n"}) {
    EXPECT_TRUE(is_failure_text(text)) << text;
    RunVerdict verdict;
    verdict.on_text(text, 0);
    verdict.on_text(CLI_SUCCESS_TEXT, 0);
    verdict.on_done();
    EXPECT_EQ(verdict.exit_code(), CLI_EXIT_FAILED) << text;
  }
  EXPECT_FALSE(is_failure_text("Program address 00004000h 256 bytes"));
  EXPECT_FALSE(is_failure_text(CLI_SUCCESS_TEXT));
}

TEST(ProgressMeter, CountsAChunkOnceItsProgressArrives) {
  ProgressMeter meter(180036);
  meter.on_progress(19, 0.0);
  EXPECT_EQ(meter.written(), 0u);
  EXPECT_NE(meter.render(0.0, 79).find("erasing"), std::string::npos);

  meter.on_text("Program address 00004000h 256 bytes", 1.0);
  EXPECT_EQ(meter.written(), 0u) << "not acknowledged yet";
  meter.on_progress(122, 2.0);
  EXPECT_EQ(meter.written(), 256u);
  meter.on_text("Program address 00004100h 256 bytes", 2.0);
  meter.on_text("user canceled transmission, upgrade not complete!\r\n", 2.0);
  EXPECT_EQ(meter.written(), 256u) << "a failed chunk is not written";
}

TEST(ProgressMeter, LineShowsPercentBytesRateAndTimeLeft) {
  ProgressMeter meter(2048);
  meter.on_text("Program address 00004000h 1024 bytes", 10.0);
  meter.on_progress(500, 11.0);
  std::string line = meter.render(11.0, 79);
  EXPECT_EQ(line, "[############............]  50.0% 1024/2048 bytes 1.0 KiB/s 0:01 left");
  EXPECT_EQ(meter.render(11.0, 20).size(), 20u);
}

namespace {

int parse(std::initializer_list<const char*> args, CliOptions& options, std::string* out = nullptr,
          std::string* err = nullptr) {
  std::vector<const char*> argv{"orvaload-cli"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::ostringstream out_stream;
  std::ostringstream err_stream;
  int status = parse_command_line(static_cast<int>(argv.size()), argv.data(), options, out_stream,
                                  err_stream);
  if (out) *out = out_stream.str();
  if (err) *err = err_stream.str();
  return status;
}

} // namespace

TEST(CommandLine, CommandsVersionHelpAndUsageErrors) {
  CliOptions options;
  EXPECT_EQ(parse({"--port", "COM5"}, options), -1);
  EXPECT_EQ(options.port, "COM5");

  CliOptions listing;
  EXPECT_EQ(parse({"--list"}, listing), -1);
  EXPECT_TRUE(listing.list);

  std::string out;
  std::string err;
  CliOptions other;
  EXPECT_EQ(parse({"--version"}, other, &out), 0);
  EXPECT_EQ(out, "2.00\n");
  EXPECT_EQ(parse({"--help"}, other, &out), 0);
  EXPECT_NE(out.find("Exit status"), std::string::npos);
  EXPECT_NE(out.find("--port"), std::string::npos);

  for (auto args : {std::initializer_list<const char*>{},
                    std::initializer_list<const char*>{"--port"},
                    std::initializer_list<const char*>{"--port", "COM5", "--list"},
                    std::initializer_list<const char*>{"--bogus"},
                    std::initializer_list<const char*>{"COM5"}}) {
    CliOptions bad;
    EXPECT_EQ(parse(args, bad, nullptr, &err), CLI_EXIT_USAGE);
    EXPECT_FALSE(err.empty());
  }
}

TEST(ProgressMeter, AFinishedRunShowsHowLongItTook) {
  ProgressMeter meter(512);
  meter.on_text("Program address 00004000h 256 bytes", 0.0);
  meter.on_progress(500, 1.0);
  meter.on_text("Program address 00004100h 256 bytes", 1.0);
  meter.on_progress(1000, 2.0);
  EXPECT_EQ(meter.render(75.0, 79),
            "[########################] 100.0% 512/512 bytes 0.0 KiB/s in 1:15");
}

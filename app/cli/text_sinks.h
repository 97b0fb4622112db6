// The runs' texts as lines: as they are with one port, behind their port's
// name with several; and the program's own lines about the runs (a port not
// opened, a run without its final report, a cancel) on standard error.
#pragma once

#include <string>
#include <vector>

#include "app/cli/progress_line.h"
#include "app/runs/run_sink.h"

// Every line of `text` after "PORT: ".
std::string prefixed(const std::string& port, const std::string& text);

// One port: every text on standard output as the dialog shows it, after
// wiping the progress line that shares the terminal.
class PlainTexts final : public RunSink {
public:
  PlainTexts(WriteText out, ProgressLine& line) : out_(std::move(out)), line_(line) {}
  void text(size_t run, const char* text, int32_t code, double now_s) override;

private:
  WriteText out_;
  ProgressLine& line_;
};

// Several ports: each text line behind its port's name.
class PrefixedTexts final : public RunSink {
public:
  PrefixedTexts(WriteText out, std::vector<std::string> ports)
      : out_(std::move(out)), ports_(std::move(ports)) {}
  void text(size_t run, const char* text, int32_t code, double now_s) override;

private:
  WriteText out_;
  std::vector<std::string> ports_;
};

// The program's lines about the runs, on standard error: with several ports
// behind the port's name, and, while the progress board holds the terminal,
// only those that are not on the board.
class RunNotes final : public RunSink {
public:
  RunNotes(WriteText err, std::vector<std::string> ports, ProgressLine& line, bool board_shown)
      : err_(std::move(err)), ports_(std::move(ports)), line_(line), board_shown_(board_shown) {}
  void not_opened(size_t run, const std::string& failure) override;
  void cancelling() override;
  void lost(size_t run) override;
  // A controller that never answered gets the hint of what to check.
  void ended(size_t run, const PortOutcome& outcome, double now_s) override;

private:
  std::string named(size_t run, const std::string& text) const;

  WriteText err_;
  std::vector<std::string> ports_;
  ProgressLine& line_;
  bool board_shown_;
};

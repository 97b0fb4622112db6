// Where the command-line upgrader's output goes. The program writes to its
// standard streams; the tests collect the text.
#pragma once

#include <functional>
#include <string>

struct RunOutput {
  std::function<void(const std::string&)> out; // standard output
  std::function<void(const std::string&)> err; // standard error
  // Writes what `out` gathered; empty when `out` writes each text at once.
  // Called once per pass of the run loop, at most ten times a second, and at
  // the end; `err` writes what was gathered before its own text.
  std::function<void()> flush;
  bool out_is_terminal = false;
  bool err_is_terminal = false;  // the progress display needs one
  bool err_moves_cursor = false; // it also takes cursor-up and erase-line sequences
  int columns = 80;              // of the terminal on standard error
};

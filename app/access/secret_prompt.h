// How a command on the machine's console takes a person's secret: on a
// terminal it asks twice, without echo, and the two must match; otherwise
// it reads one line from standard input (a script's pipe).
#pragma once

#include <string>

struct SecretPrompt {
  bool ok = false;
  std::string secret;
  std::string problem; // one line when not ok
};

SecretPrompt secret_prompt(const std::string& who);

// Platform part (secret_prompt_<platform>.cpp).
bool secret_prompt_is_terminal();
// One line from standard input, echo off when it is a terminal; false at its
// end.
bool secret_prompt_read_line(const std::string& prompt, std::string* line);

#include <windows.h>

#include <io.h>
#include <stdio.h>

#include <iostream>

#include "app/access/secret_prompt.h"

bool secret_prompt_is_terminal() {
  return _isatty(_fileno(stdin)) != 0;
}

bool secret_prompt_read_line(const std::string& prompt, std::string* line) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD before = 0;
  const bool console = GetConsoleMode(input, &before) != 0;
  if (console) {
    std::cerr << prompt << std::flush;
    SetConsoleMode(input, before & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  }
  const bool read = static_cast<bool>(std::getline(std::cin, *line));
  if (console) {
    SetConsoleMode(input, before);
    std::cerr << "\n";
  }
  return read;
}

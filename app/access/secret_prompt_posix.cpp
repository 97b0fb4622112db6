#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "app/access/secret_prompt.h"

bool secret_prompt_is_terminal() {
  return isatty(STDIN_FILENO) == 1;
}

bool secret_prompt_read_line(const std::string& prompt, std::string* line) {
  termios before{};
  const bool terminal = tcgetattr(STDIN_FILENO, &before) == 0;
  if (terminal) {
    std::cerr << prompt << std::flush;
    termios quiet = before;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool read = static_cast<bool>(std::getline(std::cin, *line));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    std::cerr << "\n";
  }
  return read;
}

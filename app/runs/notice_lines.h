// How the command-line upgrader prints a notice's text: the same words the
// dialog shows in its status box, one output line per line of the text.
#pragma once

#include <string>

// Every "\r\n" of the text ends a line ("\n" on output), and a last line
// without one is ended too. Nothing else is added or changed. An empty text
// gives no line.
std::string notice_lines(const char* text);

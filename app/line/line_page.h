// The line's page, built into the program from line.html.
#pragma once

#include <cstddef>

extern const unsigned char LINE_PAGE[];
extern const size_t LINE_PAGE_SIZE;

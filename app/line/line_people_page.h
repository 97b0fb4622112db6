// The line's page of people and the audit trail, built into the program
// from line_people.html.
#pragma once

#include <cstddef>

extern const unsigned char LINE_PEOPLE_PAGE[];
extern const size_t LINE_PEOPLE_PAGE_SIZE;

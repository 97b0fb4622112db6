// The station's web page (station.html), built into the program; it loads
// nothing from anywhere else.
#pragma once

#include <cstddef>

extern const unsigned char STATION_PAGE[];
extern const size_t STATION_PAGE_SIZE;

// The link's clock seam: the seconds field of the local wall-clock time.
// Tests install a fake clock so that time-outs run without waiting.
#pragma once

#include <cstdint>

using LinkClock = uint8_t (*)();

// Seconds field (0..59, 60 in a leap second) of the local time.
uint8_t current_second();

// Installs `clock` (nullptr restores the wall clock) and returns the one it replaces.
LinkClock link_set_clock(LinkClock clock);

// FTDI adapters hold short answers back for their latency timer (16 ms unless
// set otherwise) before they pass them on, and every answer an upgrade waits
// for pays it. Linux lowers the timer for the run (the low-latency flag);
// Windows keeps what Device Manager says, so the user is told where to
// change it. Nothing here changes the setting.
#pragma once

#include <cstdint>
#include <string>

#include "serial/port_list.h"

// The timer above which the hint is given.
constexpr int LATENCY_HINT_ABOVE_MS = 2;

// One line for a port whose adapter is FTDI's (USB vendor 0403) and whose
// latency timer is known to be above LATENCY_HINT_ABOVE_MS: how much longer
// an upgrade waiting for `answers` answers may take, and where to set 1 ms.
// Empty for every other port.
std::string latency_hint(const PortEntry& port, uint32_t answers);

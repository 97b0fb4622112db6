// The table that ends a run on several ports: port, result, seconds, last text.
#pragma once

#include <string>
#include <vector>

#include "app/cli/port_outcome.h"

// A heading and one line per port, columns aligned; the last text on one line.
std::string summary_table(const std::vector<PortOutcome>& outcomes);

// What a paced exchange costs on this machine's pseudo-terminals with no
// upgrader at all: one process writes a request and blocks for the answer,
// the other reads the request, waits out the wire time of both frames as the
// simulated controller does, and answers. The time beyond the wire time is
// the kernel's (two trips through the terminal and the wake-ups on each
// side), a floor under the paced figures that no host can go below.
#pragma once

#include <string>
#include <vector>

// The microseconds beyond the wire time of each of `exchanges` exchanges of
// a request of `request_bytes` and an answer of `answer_bytes` at `baud`;
// empty when the terminal could not be set up. *host_cpu_us: the host side's
// CPU time (user and system) for each exchange, on average: what a host that
// blocks for each answer spends however little it does.
std::vector<double> pty_floor_us(int exchanges, int request_bytes, int answer_bytes, double baud,
                                 double* host_cpu_us);

// The same exchanges with the host's side played by `probe`
// (com_floor_probe.cpp, a Windows program) under Wine, on the terminal mapped
// as COM`com` with `scripts`/wine-map-com: what Wine's serial calls add.
std::vector<double> wine_floor_us(const std::string& scripts, const std::string& probe, int com,
                                  int exchanges, int request_bytes, int answer_bytes, double baud);

// How one port's run ended, as the summary, the JSON events and the station
// record tell it.
#pragma once

#include <cstdint>
#include <string>

enum class PortResult : uint8_t { ok, failed, cancelled, not_opened };

// "ok", "failed", "cancelled", "not-opened": the words of the summary and the
// JSON fields; scripts rely on them.
const char* port_result_name(PortResult result);

struct PortOutcome {
  std::string port;
  PortResult result = PortResult::failed;
  int exit_code = 1;
  // The run's last text as printed, lines joined by "\n", no final line end.
  std::string last_text;
  double seconds = 0;
  uint32_t frames_sent = 0;
  uint32_t retransmissions = 0;
};

// A notice text as one printed block: every "\r\n" becomes "\n" and the
// final line end goes.
std::string text_block(const char* text);

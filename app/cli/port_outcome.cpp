#include "app/cli/port_outcome.h"

#include "app/cli/notice_lines.h"

const char* port_result_name(PortResult result) {
  switch (result) {
  case PortResult::ok:
    return "ok";
  case PortResult::failed:
    return "failed";
  case PortResult::cancelled:
    return "cancelled";
  case PortResult::not_opened:
    return "not-opened";
  }
  return "failed";
}

std::string text_block(const char* text) {
  std::string lines = notice_lines(text);
  if (!lines.empty()) lines.pop_back();
  return lines;
}

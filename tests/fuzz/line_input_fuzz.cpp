// Feeds arbitrary bodies to what the line server reads from its stations:
// a batch of rows, a station's live state, and a records query (or, with
// 0x20 in the first byte, the period of the line's figures); and to the
// bounded JSON reader that every body of the line and the station (and a
// station's reading of its line's answers) goes through first. Input
// layout: one byte choosing the reader (0 rows, 1 state, 2 query, 3 the
// bounded reader with small bounds taken from the same byte), then the
// body. Each row or state meets a new line on an SQLite database in memory.
// Checks that every answer is 200 or a JSON error of 400 or 409
// (AddressSanitizer and UBSan watch the rest), that a batch taken says how
// far the station's rows are held, that a state taken shows on the line,
// that a period taken ends after it begins, spans no more than a period may
// and is cut into at most STATS_SLICES_MAX slices that cover it, and that
// the reader takes exactly the JSON within its bounds. A first byte with
// its two high bits set chooses instead a station's ask for units of a
// release of at most 5: a line never grants more than its limit.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/line/firmware_catalogue.h"
#include "app/line/line.h"
#include "app/line/line_stats.h"
#include "app/runs/json_read.h"
#include "app/runs/record_json.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void check_reply(const LineReply& reply) {
  if (reply.status == 200) return;
  check(reply.status == 400 || reply.status == 409);
  check(reply.body.is_object() && reply.body.contains("error") && reply.body["error"].is_string());
}

// How deep `value` nests and how many values it holds (itself counted);
// every text and key at most `text` bytes.
void measure(const nlohmann::ordered_json& value, size_t depth, size_t text, size_t* deepest,
             size_t* count) {
  ++*count;
  if (value.is_string()) check(value.get_ref<const std::string&>().size() <= text);
  if (!value.is_structured()) return;
  *deepest = std::max(*deepest, depth + 1);
  for (const auto& item : value.items()) {
    if (value.is_object()) check(item.key().size() <= text);
    measure(item.value(), depth + 1, text, deepest, count);
  }
}

void check_bounded_read(const std::string& body, uint8_t choice) {
  JsonBounds bounds;
  bounds.depth = 1 + (choice >> 2) % 20;
  bounds.values = 1 + (choice >> 4) * 8;
  bounds.text = 16;
  nlohmann::ordered_json read;
  const std::string problem = json_read(body, &read, bounds);
  const bool json = nlohmann::ordered_json::accept(body);
  if (problem == "the body is not JSON") check(!json);
  if (!problem.empty()) {
    check(read.is_null());
    return;
  }
  // Built as it was counted: the same document the library's own parse gives,
  // member order and a key met twice included.
  check(json && read == nlohmann::ordered_json::parse(body));
  size_t deepest = 0;
  size_t count = 0;
  measure(read, 0, bounds.text, &deepest, &count);
  check(deepest <= bounds.depth && count <= bounds.values);
}

void check_allowance(const std::string& body) {
  LineDb db(sql_link_sqlite(":memory:"));
  check(db.start().ok());
  FirmwareCatalogue catalogue(
      db, FirmwareRules{},
      [](const std::string&, const std::string&, const std::string&,
         const nlohmann::ordered_json&) {},
      [] { return std::string("2026-12-10T00:00:00.000Z"); });
  const LineReply added =
      catalogue.add("eve", {"ctl-a", "1.0", "", "", 0x4000}, "S1054000AABB55\nS9030000FC\n");
  check(added.status == 201);
  check(catalogue.release("eve", 1, 5).status == 200);
  const LineReply reply = catalogue.allowance("st-a", body);
  if (reply.status != 200) {
    // A malformed ask is 400; one for a release the line never made (any but
    // the one above) 404.
    check(reply.body.contains("error"));
    const std::string error = reply.body.value("error", "");
    check(reply.status == 400 ||
          (reply.status == 404 && error.rfind("no released image ", 0) == 0 &&
           error != "no released image 1"));
    return;
  }
  check(reply.body["limited"] == true);
  check(reply.body["granted"].get<int64_t>() + reply.body["left"].get<int64_t>() >= 0);
  check(reply.body["left"].get<int64_t>() <= 5 && reply.body["left"].get<int64_t>() >= 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 0xC0) == 0xC0) {
    check_allowance(body);
    return 0;
  }
  switch (data[0] % 4) {
  case 0:
  case 1: {
    LineDb db(sql_link_sqlite(":memory:"));
    check(db.start().ok());
    Line line("L1", db, LINE_OFFLINE_MS);
    const bool rows = data[0] % 4 == 0;
    const LineReply reply =
        rows ? line.receive_rows("st-a", body) : line.receive_state("st-a", body);
    check_reply(reply);
    if (reply.status == 200 && rows) check(reply.body.value("have_through", int64_t{-1}) >= 0);
    if (reply.status == 200) {
      const auto state = nlohmann::ordered_json::parse(line.state().text);
      check(state["stations"].size() == 1 && state["stations"][0]["online"] == true);
    }
    line.finish();
    break;
  }
  case 3:
    check_bounded_read(body, data[0]);
    break;
  default: {
    if (data[0] & 0x20) {
      StatsPeriod period;
      if (!stats_period_parse(body, int64_t{1796860800000}, &period).empty()) break;
      const int64_t span = period.until_ms - period.since_ms;
      check(span > 0 && span <= STATS_SPAN_MAX_MS && period.slice_ms > 0);
      check(period.slices >= 1 && period.slices <= STATS_SLICES_MAX);
      check(static_cast<int64_t>(period.slices) * period.slice_ms >= span);
      break;
    }
    RecordQuery query;
    const std::string problem = record_query_parse(body, data[0] & 0x08, data[0] & 0x10, &query);
    if (problem.empty()) check(query.filter.limit >= 1);
    break;
  }
  }
  return 0;
}

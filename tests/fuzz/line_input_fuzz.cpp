// Feeds arbitrary bodies to what the line server reads from its stations:
// a batch of rows, a station's live state, and a records query. Input
// layout: one byte choosing the reader (0 rows, 1 state, 2 query), then the
// body. Each input meets a new line on an SQLite database in memory. Checks
// that every answer is 200 or a JSON error of 400 or 409 (AddressSanitizer
// and UBSan watch the rest), that a batch taken says how far the station's
// rows are held, and that a state taken shows on the line.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/line/line.h"
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
  case 0:
  case 1: {
    LineDb db(sql_link_sqlite(":memory:"));
    check(db.start().ok());
    Line line("L1", db, LINE_OFFLINE_MS);
    const bool rows = data[0] % 3 == 0;
    const LineReply reply =
        rows ? line.receive_rows("st-a", body) : line.receive_state("st-a", body);
    check_reply(reply);
    if (reply.status == 200 && rows) check(reply.body.value("have_through", int64_t{-1}) >= 0);
    if (reply.status == 200) {
      const LineReply state = line.state();
      check(state.body["stations"].size() == 1 && state.body["stations"][0]["online"] == true);
    }
    line.finish();
    break;
  }
  default: {
    RecordQuery query;
    const std::string problem = record_query_parse(body, data[0] & 0x08, data[0] & 0x10, &query);
    if (problem.empty()) check(query.filter.limit >= 1);
    break;
  }
  }
  return 0;
}

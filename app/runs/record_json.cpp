#include "app/runs/record_json.h"

#include <cmath>
#include <vector>

#include "app/runs/unit_tag.h"
#include "records/record_csv.h"

namespace {

using Json = nlohmann::ordered_json;

const char RESULT_RULE[] =
    "result is one of running, ok, failed, cancelled, not-opened, interrupted";
// A number in a query: a few digits, so that none overflows.
constexpr size_t NUMBER_DIGITS_MAX = 6;

// 1 to `most`; 0 for anything else.
size_t small_number(const std::string& text, size_t most) {
  if (text.empty() || text.size() > NUMBER_DIGITS_MAX) return 0;
  size_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<size_t>(c - '0');
  }
  return n >= 1 && n <= most ? n : 0;
}

// Where each column of RECORD_COLUMNS goes in a row.
struct Cell {
  std::string* text = nullptr;
  int64_t* number = nullptr;
};

std::vector<Cell> cells_of(RunRow* r) {
  return {{&r->run_id, nullptr},
          {nullptr, &r->station_seq},
          {&r->station, nullptr},
          {nullptr, &r->slot},
          {&r->port, nullptr},
          {&r->usb_location, nullptr},
          {&r->usb_serial, nullptr},
          {&r->tag, nullptr},
          {&r->image_sha256, nullptr},
          {nullptr, &r->image_size},
          {nullptr, &r->load_address},
          {&r->image_source, nullptr},
          {&r->program_version, nullptr},
          {&r->started_at, nullptr},
          {&r->ended_at, nullptr},
          {&r->result, nullptr},
          {&r->step, nullptr},
          {&r->last_text, nullptr},
          {nullptr, &r->frames},
          {nullptr, &r->retransmissions},
          {&r->operator_name, nullptr},
          {&r->product, nullptr},
          {&r->release_version, nullptr}};
}

} // namespace

static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string url_encoded(const std::string& text) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += HEX[u >> 4];
      out += HEX[u & 15];
    }
  }
  return out;
}

bool url_decoded(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      *out += ' ';
    } else if (text[i] != '%') {
      *out += text[i];
    } else {
      if (i + 2 >= text.size()) return false;
      const int high = hex_value(text[i + 1]);
      const int low = hex_value(text[i + 2]);
      if (high < 0 || low < 0) return false;
      *out += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  return true;
}

std::string query_pairs(
    const std::string& query,
    const std::function<std::string(const std::string& name, const std::string& value)>& take) {
  size_t at = 0;
  while (at < query.size()) {
    size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(at, end - at);
    at = end + 1;
    if (pair.empty()) continue;
    const size_t equals = pair.find('=');
    const std::string name = pair.substr(0, equals);
    std::string value;
    if (equals == std::string::npos || !url_decoded(pair.substr(equals + 1), &value)) {
      return "give " + name + " as NAME=VALUE, its value URL-encoded";
    }
    const std::string problem = take(name, value);
    if (!problem.empty()) return problem;
  }
  return "";
}

Json record_columns_json(const RunRow& row) {
  Json out = Json::object();
  const std::vector<std::string> cells = record_cells(row);
  for (size_t i = 0; i < RECORD_COLUMN_COUNT; ++i) {
    if (cells[i].empty() && record_column_is_null_when_empty(i)) {
      out[RECORD_COLUMNS[i]] = nullptr;
    } else {
      out[RECORD_COLUMNS[i]] =
          record_column_is_number(i) ? Json(std::stoll(cells[i])) : Json(cells[i]);
    }
  }
  return out;
}

Json record_json(const RunRow& row) {
  const Json columns = record_columns_json(row);
  Json out = Json::object();
  for (auto column = columns.begin(); column != columns.end(); ++column) {
    if (!column->is_null()) out[column.key()] = *column;
  }
  const double seconds = record_seconds(row);
  if (seconds >= 0) out["seconds"] = std::round(seconds * 1000.0) / 1000.0;
  return out;
}

std::string record_from_json(const Json& object, RunRow* row) {
  if (!object.is_object()) return "a row is a JSON object of the record's columns";
  // A station of an earlier version names no operator, nor a release.
  const auto given = [&object](const std::string& name) {
    return !record_column_is_optional(name) || object.contains(name);
  };
  size_t expected = 0;
  for (size_t i = 0; i < RECORD_COLUMN_COUNT; ++i) expected += given(RECORD_COLUMNS[i]);
  if (object.size() != expected) {
    for (const auto& item : object.items()) {
      bool known = false;
      for (size_t i = 0; i < RECORD_COLUMN_COUNT; ++i)
        known = known || item.key() == RECORD_COLUMNS[i];
      if (!known) return "unknown column '" + item.key() + "'";
    }
    return "a row has the " + std::to_string(RECORD_COLUMN_COUNT) + " columns of the record";
  }
  *row = RunRow{};
  const std::vector<Cell> cells = cells_of(row);
  for (size_t i = 0; i < RECORD_COLUMN_COUNT; ++i) {
    const std::string name = RECORD_COLUMNS[i];
    if (!given(name)) continue;
    const auto found = object.find(name);
    if (found == object.end()) return "missing column '" + name + "'";
    const Json& value = *found;
    if (value.is_null() && record_column_is_null_when_empty(i)) continue;
    if (cells[i].number != nullptr) {
      const int64_t low = name == "station_seq" ? 1 : 0;
      const int64_t high = name == "station_seq" ? RECORD_SEQ_MAX : INT64_MAX;
      // A number past int64_t comes as unsigned: never read as a negative.
      if (!value.is_number_integer() ||
          (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(high)) ||
          value.get<int64_t>() < low || value.get<int64_t>() > high) {
        return name + " is a whole number from " + std::to_string(low) + " to " +
               std::to_string(high);
      }
      *cells[i].number = value.get<int64_t>();
    } else {
      if (!value.is_string()) return name + " is a text";
      const std::string& text = value.get_ref<const std::string&>();
      if (text.empty() && !record_column_is_null_when_empty(i)) return name + " is not empty";
      // A NUL would end the text early in a C string, and PostgreSQL
      // keeps none.
      if (text.size() > RECORD_TEXT_MAX || text.find('\0') != std::string::npos) {
        return name + " is a text of at most " + std::to_string(RECORD_TEXT_MAX) +
               " bytes, without NUL";
      }
      *cells[i].text = text;
    }
  }
  if (!row->tag.empty() && !unit_tag_is_valid(row->tag)) {
    return "tag is printable ASCII of 1 to " + std::to_string(UNIT_TAG_MAX) + " characters";
  }
  if (!record_result_is_known(row->result)) {
    return std::string(RESULT_RULE) + ", not '" + record_text_cut(row->result, 40) + "'";
  }
  // The store's own form: what it writes, and what a plant reads back.
  const auto utc = [](const std::string& time) {
    return time.size() == RECORD_UTC_TEXT_SIZE && record_utc_is_valid(time);
  };
  if (!utc(row->started_at)) return "started_at is a UTC time such as 2026-12-09T14:06:41.123Z";
  if (!row->ended_at.empty() && !utc(row->ended_at)) {
    return "ended_at is a UTC time such as 2026-12-09T14:06:44.456Z, or null";
  }
  return "";
}

void record_fit(RunRow* row) {
  for (const Cell& cell : cells_of(row)) {
    if (cell.text != nullptr) *cell.text = record_text_cut(*cell.text, RECORD_TEXT_MAX);
  }
}

std::string record_text_cut(const std::string& text, size_t most) {
  if (text.size() <= most) return text;
  size_t cut = most;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

bool record_result_is_known(const std::string& result) {
  for (const std::string& known : record_results()) {
    if (result == known) return true;
  }
  return false;
}

const std::vector<std::string>& record_results() {
  static const std::vector<std::string> RESULTS = {"running",   "ok",         "failed",
                                                   "cancelled", "not-opened", "interrupted"};
  return RESULTS;
}

std::string record_cursor_text(const RecordCursor& cursor) {
  return cursor.started_at + "," + std::to_string(cursor.station_seq) + "," + cursor.station;
}

namespace {

// "TIME,SEQ,STATION" as record_cursor_text() gives it; false for anything
// else. The station comes last: a name of an earlier line may hold a comma.
bool cursor_parse(const std::string& text, RecordCursor* cursor) {
  const size_t first = text.find(',');
  const size_t second = first == std::string::npos ? first : text.find(',', first + 1);
  if (second == std::string::npos) return false;
  cursor->started_at = text.substr(0, first);
  const std::string seq = text.substr(first + 1, second - first - 1);
  cursor->station = text.substr(second + 1);
  if (!record_utc_is_valid(cursor->started_at) || seq.empty() || seq.size() > 18 ||
      seq.find_first_not_of("0123456789") != std::string::npos || cursor->station.empty() ||
      cursor->station.size() > RECORD_TEXT_MAX) {
    return false;
  }
  cursor->station_seq = std::stoll(seq);
  return true;
}

} // namespace

std::string record_query_parse(const std::string& query, bool csv, bool by_station,
                               RecordQuery* out) {
  const size_t most = csv ? RECORD_QUERY_MAX : RECORDS_MAX;
  *out = RecordQuery{};
  RecordFilter& filter = out->filter;
  filter.limit = csv ? RECORDS_CSV_DEFAULT : RECORDS_DEFAULT;
  return query_pairs(query, [&](const std::string& name, const std::string& value) -> std::string {
    if (name == "limit") {
      filter.limit = small_number(value, most);
      if (filter.limit == 0) return "limit is a number from 1 to " + std::to_string(most);
    } else if (name == "tag") {
      if (!unit_tag_is_valid(value)) {
        return "tag: a tag is printable ASCII text of 1 to " + std::to_string(UNIT_TAG_MAX) +
               " characters";
      }
      filter.tag = value;
    } else if (name == "result") {
      if (!record_result_is_known(value)) {
        return RESULT_RULE;
      }
      filter.result = value;
    } else if (name == "since") {
      if (!record_utc_is_valid(value)) {
        return "since is a UTC time such as 2026-12-09 or 2026-12-09T14:06:41Z";
      }
      filter.since = value;
    } else if (name == "after" && by_station) {
      if (!cursor_parse(value, &out->after)) {
        return "after is where a page of records ended, as its next link gives it";
      }
      out->paged = true;
    } else if (name == "station" && by_station) {
      if (!unit_tag_is_valid(value) || value.find('/') != std::string::npos) {
        return "station: a station's name is printable ASCII without '/', 1 to 64 characters";
      }
      filter.station = value;
    } else {
      return "unknown parameter '" + name + "': the records take limit, tag, result" +
             (by_station ? ", since, station and after" : " and since");
    }
    return "";
  });
}

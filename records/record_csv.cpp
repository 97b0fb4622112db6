#include "records/record_csv.h"

#include <cstdint>

namespace {

// Columns by their place in RECORD_COLUMNS.
const bool NUMBER_COLUMNS[] = {false, true,  false, true,  false, false, false, false,
                               false, true,  true,  false, false, false, false, false,
                               false, false, true,  true,  false, false, false};
const bool NULLABLE_COLUMNS[] = {false, false, false, true,  false, true,  true, true,
                                 false, false, false, false, false, false, true, false,
                                 true,  true,  false, false, true,  true,  true};
static_assert(sizeof NUMBER_COLUMNS == 23 && sizeof NULLABLE_COLUMNS == 23,
              "one entry per column of the runs table");

// Milliseconds since the epoch of a row's time, "YYYY-MM-DDTHH:MM:SS.mmmZ"
// only; -1 for anything else.
int64_t utc_ms(const std::string& text) {
  return text.size() == RECORD_UTC_TEXT_SIZE ? record_utc_ms(text) : -1;
}

// A spreadsheet takes a cell that begins with one of these for a formula
// (a TAB or CR first is skipped by some, and the formula still runs); the
// texts are anyone's, so such a cell gets a leading apostrophe.
bool looks_like_formula(const std::string& cell) {
  return !cell.empty() && std::string("=+-@\t\r").find(cell[0]) != std::string::npos;
}

std::string csv_field(std::string cell, bool number) {
  if (!number && looks_like_formula(cell)) cell.insert(0, "'");
  // A spreadsheet of a country that writes 1,5 splits a line on ';'.
  if (cell.find_first_of(",;\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (const char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

} // namespace

int64_t record_utc_ms(const std::string& text) {
  if (!record_utc_is_valid(text)) return -1;
  // The parts a shorter form leaves out are 0.
  const auto at = [&](size_t from, size_t count) {
    int64_t value = 0;
    for (size_t i = from; i < from + count && i < text.size(); ++i)
      value = value * 10 + (text[i] - '0');
    return value;
  };
  int64_t year = at(0, 4);
  const int64_t month = at(5, 2);
  const int64_t day = at(8, 2);
  // Days since 1970-01-01 of a civil date (proleptic Gregorian calendar).
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yoe = year - era * 400;
  const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468;
  const int64_t ms = text.size() == RECORD_UTC_TEXT_SIZE ? at(20, 3) : 0;
  return ((days * 24 + at(11, 2)) * 60 + at(14, 2)) * 60000 + at(17, 2) * 1000 + ms;
}

bool record_column_is_number(size_t i) {
  return i < RECORD_COLUMN_COUNT && NUMBER_COLUMNS[i];
}

bool record_column_is_null_when_empty(size_t i) {
  return i < RECORD_COLUMN_COUNT && NULLABLE_COLUMNS[i];
}

bool record_column_is_optional(const std::string& name) {
  return name == "operator" || name == "product" || name == "release_version";
}

std::vector<std::string> record_cells(const RunRow& row) {
  return {row.run_id,
          std::to_string(row.station_seq),
          row.station,
          row.slot == 0 ? "" : std::to_string(row.slot),
          row.port,
          row.usb_location,
          row.usb_serial,
          row.tag,
          row.image_sha256,
          std::to_string(row.image_size),
          std::to_string(row.load_address),
          row.image_source,
          row.program_version,
          row.started_at,
          row.ended_at,
          row.result,
          row.step,
          row.last_text,
          std::to_string(row.frames),
          std::to_string(row.retransmissions),
          row.operator_name,
          row.product,
          row.release_version};
}

double record_seconds(const RunRow& row) {
  const int64_t start = utc_ms(row.started_at);
  const int64_t end = utc_ms(row.ended_at);
  if (start < 0 || end < start) return -1;
  return static_cast<double>(end - start) / 1000.0;
}

std::string record_csv_cell(const std::string& cell, bool number) {
  return csv_field(cell, number);
}

std::string record_csv_header() {
  std::string csv;
  for (size_t i = 0; i < RECORD_COLUMN_COUNT; ++i) {
    csv += (i ? "," : "") + std::string(RECORD_COLUMNS[i]);
  }
  return csv + "\r\n";
}

std::string record_csv_rows(const std::vector<RunRow>& rows) {
  std::string csv;
  for (const RunRow& row : rows) {
    const std::vector<std::string> cells = record_cells(row);
    for (size_t i = 0; i < cells.size(); ++i) {
      csv += (i ? "," : "") + csv_field(cells[i], record_column_is_number(i));
    }
    csv += "\r\n";
  }
  return csv;
}

std::string record_csv(const std::vector<RunRow>& rows) {
  return record_csv_header() + record_csv_rows(rows);
}

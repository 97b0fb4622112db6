// The records as the HTTP APIs show and take them: a row as a JSON object
// (its columns, NULLs left out, and how long the run took), a row read back
// from such an object, and the filters of a records query string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "records/record_store.h"

// Rows of one JSON answer, and of one CSV file.
constexpr size_t RECORDS_DEFAULT = 20;
constexpr size_t RECORDS_MAX = 1000;
constexpr size_t RECORDS_CSV_DEFAULT = 1000;

// What a row's columns may hold, the same wherever a row is made or taken:
// a text at most RECORD_TEXT_MAX bytes, and station_seq at most
// RECORD_SEQ_MAX (a JSON number carries it whole); the other numbers are
// never negative.
constexpr size_t RECORD_TEXT_MAX = 1024;
constexpr int64_t RECORD_SEQ_MAX = int64_t{1} << 53;

nlohmann::ordered_json record_json(const RunRow& row);
// Every column, null where the store has NULL: a row as a line server takes it.
nlohmann::ordered_json record_columns_json(const RunRow& row);

// A row from an object with exactly the columns of RECORD_COLUMNS, null
// where the store has NULL, each within its limit (a tag as the station
// takes it, times in the store's form); the problem in one line, naming the
// column, when it is not one.
std::string record_from_json(const nlohmann::ordered_json& object, RunRow* row);

// A row the station makes, cut to the columns' limits (a text at a
// character's start), so that its line takes it as it is.
void record_fit(RunRow* row);
// At most `most` bytes of `text`, cut at a character's start.
std::string record_text_cut(const std::string& text, size_t most);

// Whether `result` is one of the results a row may have; all of them.
bool record_result_is_known(const std::string& result);
const std::vector<std::string>& record_results();

// A query value or a path segment percent-decoded, '+' as a space; false for
// a broken escape.
bool url_decoded(const std::string& text, std::string* out);
// The NAME=VALUE pairs of a query string in order, each value
// percent-decoded, handed to `take` (empty pairs skipped): the first
// problem, `take`'s or a malformed pair's, in one line; empty when every
// pair was taken.
std::string query_pairs(
    const std::string& query,
    const std::function<std::string(const std::string& name, const std::string& value)>& take);
// A query value or a path segment percent-encoded: every byte but letters,
// digits and "-_.~".
std::string url_encoded(const std::string& text);

// Where a page of rows ended, newest first: the next page begins just past
// this row.
struct RecordCursor {
  std::string started_at;
  int64_t station_seq = 0;
  std::string station;
};

struct RecordQuery {
  RecordFilter filter;
  bool paged = false; // the rows from just past `after` on
  RecordCursor after;
};

// The cursor as a query value ("TIME,SEQ,STATION", before URL encoding).
std::string record_cursor_text(const RecordCursor& cursor);

// limit, tag, result and since (and station when `by_station`) from a query
// string, each checked; the problem in one line, or empty.
std::string record_query_parse(const std::string& query, bool csv, bool by_station,
                               RecordQuery* out);

// The records as the HTTP APIs show and take them: a row as a JSON object
// (its columns, NULLs left out, and how long the run took), a row read back
// from such an object, and the filters of a records query string.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "records/record_store.h"

// Rows of one JSON answer, and of one CSV file.
constexpr size_t RECORDS_DEFAULT = 20;
constexpr size_t RECORDS_MAX = 1000;
constexpr size_t RECORDS_CSV_DEFAULT = 1000;

nlohmann::ordered_json record_json(const RunRow& row);
// Every column, null where the store has NULL: a row as a line server takes it.
nlohmann::ordered_json record_columns_json(const RunRow& row);

// A row from an object with exactly the columns of RECORD_COLUMNS, null
// where the store has NULL; the problem in one line when it is not one.
std::string record_from_json(const nlohmann::ordered_json& object, RunRow* row);

// Whether `result` is one of the results a row may have.
bool record_result_is_known(const std::string& result);

// A query value or a path segment percent-decoded, '+' as a space; false for
// a broken escape.
bool url_decoded(const std::string& text, std::string* out);

struct RecordQuery {
  RecordFilter filter;
};

// limit, tag, result and since (and station when `by_station`) from a query
// string, each checked; the problem in one line, or empty.
std::string record_query_parse(const std::string& query, bool csv, bool by_station,
                               RecordQuery* out);

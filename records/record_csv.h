// Rows of the record store as text: the cells of each column, and a CSV
// file (a header row, RFC 4180 quoting, CRLF line ends, UTC times) that a
// spreadsheet opens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "records/record_store.h"

// One text per column of RECORD_COLUMNS, in order; a NULL is empty.
std::vector<std::string> record_cells(const RunRow& row);
// Whether column `i` holds a number, and whether it is NULL when empty.
bool record_column_is_number(size_t i);
bool record_column_is_null_when_empty(size_t i);
// Milliseconds since the epoch of a time as filters take it (see
// record_utc_is_valid: a date alone is its midnight); -1 for anything else.
int64_t record_utc_ms(const std::string& text);
// Whether a row from a station of an earlier version may leave the column
// out (the operator, the release): it is then empty.
bool record_column_is_optional(const std::string& name);
// Seconds from the run's start to its end; -1 while it has none.
double record_seconds(const RunRow& row);
// The whole file; or its header line, and the lines of rows, for a file
// made a page of rows at a time.
std::string record_csv(const std::vector<RunRow>& rows);
std::string record_csv_header();
// One cell as the file holds it: quoted where it must be, a text that a
// spreadsheet would take for a formula behind an apostrophe.
std::string record_csv_cell(const std::string& cell, bool number);
std::string record_csv_rows(const std::vector<RunRow>& rows);

// JSON bodies from the network read within bounds: how deep values nest,
// how many there are and how long a text may be are checked as the one pass
// over the bytes builds the document, which stops at the first bound passed,
// so that no body, however made, costs more than its bounds in memory or
// stack (a document nested 100,000 deep, say, is refused instead of copied).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// Arrays and objects within one another, values in one body (objects,
// arrays, and each text, number, true, false and null), and the bytes of one
// text or key.
constexpr size_t JSON_DEPTH_MAX = 16;
constexpr size_t JSON_VALUES_MAX = 10000;
constexpr size_t JSON_TEXT_MAX = 1024;

struct JsonBounds {
  size_t depth = JSON_DEPTH_MAX;
  size_t values = JSON_VALUES_MAX;
  size_t text = JSON_TEXT_MAX;
};

// The body as a document in *out; the problem in one line ("the body is not
// JSON", "the body nests deeper than 16"...), or empty. *out is null unless
// the body was taken.
std::string json_read(const std::string& body, nlohmann::ordered_json* out,
                      const JsonBounds& bounds = {});

// The member `name` of `object`, or null when it has none: a reference into
// the document, never a copy.
const nlohmann::ordered_json& json_member(const nlohmann::ordered_json& object, const char* name);

// The member `name` of `object` as a whole number from 0 to `most`; -1 when
// it is missing or anything else.
int64_t json_whole(const nlohmann::ordered_json& object, const char* name, int64_t most);

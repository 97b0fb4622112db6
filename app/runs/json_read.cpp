#include "app/runs/json_read.h"

#include <utility>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

// Builds the document as the parser meets each value, counting as it goes,
// and stops the parse at the first bound passed: the bytes are read once and
// the document never holds more than the bounds let in.
class Bounded : public nlohmann::json_sax<Json> {
public:
  Bounded(const JsonBounds& bounds, Json* root) : bounds_(bounds), root_(root) {}

  bool null() override { return value() && put(nullptr); }
  bool boolean(bool yes) override { return value() && put(yes); }
  bool number_integer(number_integer_t n) override { return value() && put(n); }
  bool number_unsigned(number_unsigned_t n) override { return value() && put(n); }
  bool number_float(number_float_t x, const string_t&) override { return value() && put(x); }
  bool string(string_t& text) override {
    const bool member = !open_.empty() && open_.back()->is_object();
    return value() && short_text(text, member ? key_ : "") && put(std::move(text));
  }
  // JSON text holds none.
  bool binary(binary_t&) override { return value(); }
  bool start_object(std::size_t) override { return value() && deeper(Json::object()); }
  bool key(string_t& text) override {
    if (!short_text(text, "")) return false;
    key_ = text;
    // A key met twice keeps its first place and takes the later value.
    member_ = &(*open_.back())[text];
    return true;
  }
  bool end_object() override { return shallower(); }
  bool start_array(std::size_t) override { return value() && deeper(Json::array()); }
  bool end_array() override { return shallower(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    problem_ = "the body is not JSON";
    return false;
  }

  const std::string& problem() const { return problem_; }

private:
  bool value() {
    if (++values_ <= bounds_.values) return true;
    problem_ = "the body holds more than " + std::to_string(bounds_.values) + " values";
    return false;
  }
  // Where the value goes: the whole document, the end of the open array or
  // the open object's member just named. An open container is not moved
  // while values go into it, so the places held stay good.
  Json* place(Json&& value) {
    if (open_.empty()) {
      *root_ = std::move(value);
      return root_;
    }
    Json& in = *open_.back();
    if (in.is_array()) {
      in.push_back(std::move(value));
      return &in.back();
    }
    *member_ = std::move(value);
    return member_;
  }
  bool put(Json&& value) {
    place(std::move(value));
    return true;
  }
  bool deeper(Json&& container) {
    if (open_.size() == bounds_.depth) {
      problem_ = "the body nests deeper than " + std::to_string(bounds_.depth);
      return false;
    }
    open_.push_back(place(std::move(container)));
    return true;
  }
  bool shallower() {
    open_.pop_back();
    return true;
  }
  // A text too long is named by its key, when it has one: the column of a
  // row, say.
  bool short_text(const string_t& text, const std::string& key) {
    if (text.size() <= bounds_.text) return true;
    problem_ = (key.empty() ? "the body holds a text" : key + " is a text") + " of more than " +
               std::to_string(bounds_.text) + " bytes";
    return false;
  }

  const JsonBounds bounds_;
  Json* const root_;
  size_t values_ = 0;
  std::vector<Json*> open_; // the arrays and objects not yet closed
  Json* member_ = nullptr;  // the member the last key named
  std::string key_;         // the last key met
  std::string problem_;
};

} // namespace

std::string json_read(const std::string& body, Json* out, const JsonBounds& bounds) {
  *out = nullptr;
  Bounded read(bounds, out);
  if (Json::sax_parse(body, &read)) return "";
  *out = nullptr;
  return read.problem().empty() ? "the body is not JSON" : read.problem();
}

const Json& json_member(const Json& object, const char* name) {
  static const Json NONE;
  if (!object.is_object()) return NONE;
  const auto found = object.find(name);
  return found == object.end() ? NONE : *found;
}

int64_t json_whole(const Json& object, const char* name, int64_t most) {
  const Json& value = json_member(object, name);
  if (!value.is_number_integer()) return -1;
  // A number past int64_t comes as unsigned: never read as a negative.
  if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(most)) return -1;
  const int64_t n = value.get<int64_t>();
  return n >= 0 && n <= most ? n : -1;
}

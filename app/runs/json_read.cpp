#include "app/runs/json_read.h"

#include <vector>

namespace {

using Json = nlohmann::ordered_json;

// Counts what a body holds as the parser meets it, and stops the parse at
// the first bound passed; the document is built only afterwards.
class Bounded : public nlohmann::json_sax<Json> {
public:
  explicit Bounded(const JsonBounds& bounds) : bounds_(bounds) {}

  bool null() override { return value(); }
  bool boolean(bool) override { return value(); }
  bool number_integer(number_integer_t) override { return value(); }
  bool number_unsigned(number_unsigned_t) override { return value(); }
  bool number_float(number_float_t, const string_t&) override { return value(); }
  bool string(string_t& text) override {
    return value() && short_text(text, in_object_.empty() || !in_object_.back() ? "" : key_);
  }
  bool binary(binary_t&) override { return value(); }
  bool start_object(std::size_t) override { return value() && deeper(true); }
  bool key(string_t& text) override {
    if (!short_text(text, "")) return false;
    key_ = text;
    return true;
  }
  bool end_object() override { return shallower(); }
  bool start_array(std::size_t) override { return value() && deeper(false); }
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
  bool deeper(bool object) {
    if (in_object_.size() == bounds_.depth) {
      problem_ = "the body nests deeper than " + std::to_string(bounds_.depth);
      return false;
    }
    in_object_.push_back(object);
    return true;
  }
  bool shallower() {
    in_object_.pop_back();
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
  size_t values_ = 0;
  std::vector<bool> in_object_; // per level: an object, or an array
  std::string key_;             // the last key met
  std::string problem_;
};

} // namespace

std::string json_read(const std::string& body, Json* out, const JsonBounds& bounds) {
  *out = nullptr;
  Bounded counted(bounds);
  if (!Json::sax_parse(body, &counted)) {
    return counted.problem().empty() ? "the body is not JSON" : counted.problem();
  }
  *out = Json::parse(body, nullptr, false);
  if (out->is_discarded()) {
    *out = nullptr;
    return "the body is not JSON";
  }
  return "";
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

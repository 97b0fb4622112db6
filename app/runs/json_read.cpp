#include "app/runs/json_read.h"

#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

// Builds the document as the parser meets each value, counting as it goes,
// and stops the parse at the first bound passed: the bytes are read once and
// the document never holds more than the bounds let in.
//
// An object's members are gathered apart and the object made once it closes,
// with room for all of them: members added one by one to the object itself
// would copy every member before them, nested documents whole, each time the
// object grew (its members cannot be moved, their keys being constant).
class Bounded : public nlohmann::json_sax<Json> {
public:
  Bounded(const JsonBounds& bounds, Json* root) : bounds_(bounds), root_(root) {}

  bool null() override { return value() && put(nullptr); }
  bool boolean(bool yes) override { return value() && put(yes); }
  bool number_integer(number_integer_t n) override { return value() && put(n); }
  bool number_unsigned(number_unsigned_t n) override { return value() && put(n); }
  bool number_float(number_float_t x, const string_t&) override { return value() && put(x); }
  bool string(string_t& text) override {
    const bool member = depth_ > 0 && open().value.is_object();
    // Copied, not moved: the copy is as long as the text, and the parser
    // keeps its buffer for the next one instead of growing a new one.
    return value() && short_text(text, member ? open().key : "") && put(string_t(text));
  }
  // JSON text holds none.
  bool binary(binary_t&) override { return value(); }
  bool start_object(std::size_t) override { return value() && deeper(Json::object()); }
  bool key(string_t& text) override {
    if (!short_text(text, "")) return false;
    open().key = text;
    return true;
  }
  bool end_object() override {
    Open& closing = open();
    make_object(&closing.members, &closing.value);
    return shallower();
  }
  bool start_array(std::size_t) override { return value() && deeper(Json::array()); }
  bool end_array() override { return shallower(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    problem_ = "the body is not JSON";
    return false;
  }

  const std::string& problem() const { return problem_; }

private:
  using Members = std::vector<std::pair<std::string, Json>>;

  // An array or object not yet closed. Kept for the next container as deep
  // once closed, so that gathering members costs no allocation after the
  // first few.
  struct Open {
    Json value;      // the array as it fills; an object stays empty till it closes
    Members members; // an object's members in the order met
    std::string key; // the key last met in an object
  };

  Open& open() { return opened_[depth_ - 1]; }

  bool value() {
    if (++values_ <= bounds_.values) return true;
    problem_ = "the body holds more than " + std::to_string(bounds_.values) + " values";
    return false;
  }
  // The value goes to the whole document, the end of the open array or the
  // open object's member just named.
  bool put(Json&& value) {
    if (depth_ == 0) {
      *root_ = std::move(value);
    } else if (Open& in = open(); in.value.is_array()) {
      in.value.push_back(std::move(value));
    } else {
      in.members.emplace_back(std::move(in.key), std::move(value));
    }
    return true;
  }
  bool deeper(Json&& container) {
    if (depth_ == bounds_.depth) {
      problem_ = "the body nests deeper than " + std::to_string(bounds_.depth);
      return false;
    }
    if (depth_ == opened_.size()) opened_.emplace_back();
    ++depth_;
    open().value = std::move(container);
    open().members.clear();
    return true;
  }
  bool shallower() {
    Json closed = std::move(open().value);
    --depth_;
    return put(std::move(closed));
  }
  // A key met twice keeps its first place and takes the later value.
  static void make_object(Members* members, Json* object) {
    auto& map = object->get_ref<Json::object_t&>();
    map.reserve(members->size());
    const bool indexed = members->size() > LOOKED_THROUGH;
    std::unordered_map<std::string_view, size_t> at;
    if (indexed) at.reserve(members->size());
    for (auto& member : *members) {
      const size_t place = indexed ? place_indexed(at, member.first) : place_of(map, member.first);
      if (place < map.size()) {
        (map.begin() + static_cast<std::ptrdiff_t>(place))->second = std::move(member.second);
        continue;
      }
      map.emplace_back(std::move(member.first), std::move(member.second));
      // The map's keys do not move again: the object has room for all.
      if (indexed) at.emplace(map.back().first, map.size() - 1);
    }
    members->clear();
  }
  // Where `key` is in the object so far: its size when it is not.
  static size_t place_of(const Json::object_t& map, const std::string& key) {
    return static_cast<size_t>(map.find(key) - map.begin());
  }
  // The same through the index, which holds every member put in so far.
  static size_t place_indexed(const std::unordered_map<std::string_view, size_t>& at,
                              const std::string& key) {
    const auto found = at.find(key);
    return found == at.end() ? at.size() : found->second;
  }
  // A text too long is named by its key, when it has one: the column of a
  // row, say.
  bool short_text(const string_t& text, const std::string& key) {
    if (text.size() <= bounds_.text) return true;
    problem_ = (key.empty() ? "the body holds a text" : key + " is a text") + " of more than " +
               std::to_string(bounds_.text) + " bytes";
    return false;
  }

  // Objects with more members than this find a key met twice through an
  // index rather than by looking through those before.
  static constexpr size_t LOOKED_THROUGH = 32;

  const JsonBounds bounds_;
  Json* const root_;
  size_t values_ = 0;
  std::vector<Open> opened_; // by depth, the first `depth_` open
  size_t depth_ = 0;
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

#include "app/station/release_follower.h"

#include <algorithm>

#include "app/runs/event_json.h"
#include "app/runs/json_read.h"
#include "app/runs/record_json.h"
#include "app/runs/unit_tag.h"
#include "image/hex_text.h"
#include "image/image_load.h"
#include "image/sha256.h"

namespace {

using Json = nlohmann::ordered_json;

bool is_sha256(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string sha256_of(const std::string& bytes) {
  return sha256_hex(sha256(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

// A text member within `most` bytes, or empty.
std::string text_of(const Json& object, const char* name, size_t most) {
  const Json& value = json_member(object, name);
  if (!value.is_string()) return "";
  const std::string& text = value.get_ref<const std::string&>();
  return text.size() <= most ? text : "";
}

// {"N": P}: each slot number within bounds and each product a valid
// name, or the slot is left out.
std::map<int64_t, std::string> slot_products_of(const Json& given) {
  std::map<int64_t, std::string> slots;
  if (!given.is_object()) return slots;
  for (const auto& [key, product] : given.items()) {
    if (slots.size() == RELEASE_SLOTS_MAX) break;
    if (key.empty() || key.size() > 4 || key.find_first_not_of("0123456789") != std::string::npos ||
        !product.is_string() || !firmware_product_is_valid(product.get<std::string>())) {
      continue;
    }
    const int64_t slot = std::stoll(key);
    if (slot >= 1) slots[slot] = product.get<std::string>();
  }
  return slots;
}

const char KEPT_SLOTS[] = "release-slots";

} // namespace

ReleaseFollower::ReleaseFollower(RecordStore& store, ReleaseSetup setup)
    : store_(store), setup_(std::move(setup)) {
  none_ = "no release of " + setup_.product + " from the line yet";
}

// A release as the line describes it and as the store keeps it; each
// field within its bounds or empty (a number -1).
ReleaseFollower::Release ReleaseFollower::release_of(const Json& object) {
  Release release;
  release.id = json_whole(object, "id", INT64_MAX);
  release.version = text_of(object, "version", 64);
  release.state = text_of(object, "state", 16);
  release.reason = text_of(object, "withdraw_reason", 1024);
  release.image_sha256 = text_of(object, "image_sha256", 64);
  release.file_sha256 = text_of(object, "file_sha256", 64);
  release.signature = text_of(object, "signature", 128);
  release.load_address = json_whole(object, "load_address", 0xFFFFFFFF);
  release.max_units = std::max<int64_t>(0, json_whole(object, "max_units", INT64_MAX / 2));
  return release;
}

std::string ReleaseFollower::adopt(const Release& release, const std::string& file,
                                   std::shared_ptr<const RunFirmware>* firmware) const {
  const std::string name = "release " + release.version + " of " + setup_.product;
  if (sha256_of(file) != release.file_sha256) {
    return "the file of " + name + " does not match its SHA-256";
  }
  if (setup_.key) {
    std::string signature;
    if (release.signature.empty() || !hex_bytes(release.signature, &signature)) {
      return name + " is not signed: with --release-key only a signed release is flashed";
    }
    const std::string wrong =
        setup_.key->check(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                          std::vector<uint8_t>(signature.begin(), signature.end()));
    if (!wrong.empty()) return name + ": " + wrong;
  }
  LoadedImage loaded;
  const ImageCheck check =
      image_load(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                 static_cast<uint32_t>(release.load_address), IMAGE_MAX_SPAN, &loaded);
  if (!check.ok()) return name + ": " + check.reason;
  auto run = std::make_shared<RunFirmware>();
  run->bytes = std::move(loaded.bytes);
  run->sha256 = sha256_hex(sha256(run->bytes.data(), run->bytes.size()));
  if (run->sha256 != release.image_sha256 || loaded.load_address != release.load_address) {
    return "the image made of " + name + "'s file is not the one the line names";
  }
  run->image = FirmwareImage{run->bytes.data(), static_cast<uint32_t>(run->bytes.size()),
                             loaded.load_address};
  run->product = setup_.product;
  run->release_version = release.version;
  run->source =
      setup_.product + " " + release.version + " (release " + std::to_string(release.id) + ")";
  *firmware = std::move(run);
  return "";
}

void ReleaseFollower::keep(const Release& release, const std::string* file) {
  const Json meta{{"id", release.id},
                  {"version", release.version},
                  {"state", release.state},
                  {"withdraw_reason", release.reason},
                  {"image_sha256", release.image_sha256},
                  {"file_sha256", release.file_sha256},
                  {"signature", release.signature},
                  {"load_address", release.load_address},
                  {"confirmed_ms", release.confirmed_ms},
                  {"max_units", release.max_units},
                  {"granted", release.granted}};
  if (file != nullptr) store_.keep("release-file:" + setup_.product, hex_text(*file));
  store_.keep("release:" + setup_.product, meta.dump());
}

std::string ReleaseFollower::load_kept() {
  std::string meta_text, hex;
  bool found_meta = false, found_file = false;
  if (!store_.kept("release:" + setup_.product, &meta_text, &found_meta).ok() || !found_meta ||
      !store_.kept("release-file:" + setup_.product, &hex, &found_file).ok() || !found_file) {
    return "";
  }
  Json meta;
  std::string file;
  Release kept;
  if (json_read(meta_text, &meta).empty() && meta.is_object() && hex_bytes(hex, &file)) {
    kept = release_of(meta);
    kept.confirmed_ms = json_whole(meta, "confirmed_ms", INT64_MAX);
    kept.granted = std::max<int64_t>(0, json_whole(meta, "granted", INT64_MAX / 2));
  }
  std::shared_ptr<const RunFirmware> image;
  const std::string wrong = kept.id > 0 ? adopt(kept, file, &image) : "it cannot be read";
  std::lock_guard<std::mutex> lock(mutex_);
  if (!wrong.empty()) {
    none_ = "the release kept in the store is refused (" + wrong + "): it is fetched again";
    return none_;
  }
  current_ = kept;
  image_ = std::move(image);
  count_spent_locked();
  return "";
}

void ReleaseFollower::count_spent_locked() {
  int64_t runs = 0;
  // A store that cannot count: every unit held counts as spent.
  if (!store_.release_runs(setup_.station, setup_.product, current_.version, &runs).ok()) {
    runs = current_.granted;
  }
  spent_ = runs;
}

std::string ReleaseFollower::ask_allowance(const LinePost& post) {
  int64_t want = 0, spent = 0, id = 0, granted = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_.id == 0 || current_.max_units == 0 || current_.state != "released") return "";
    const int64_t left = current_.granted - spent_;
    if (left >= RELEASE_ALLOWANCE / 2) return "";
    want = RELEASE_ALLOWANCE - std::max<int64_t>(0, left);
    spent = spent_;
    id = current_.id;
    granted = current_.granted;
  }
  const LineAnswer answer =
      post("/api/stations/" + url_encoded(setup_.station) + "/allowance",
           json_line(Json{{"release", id}, {"spent", spent}, {"want", want}}));
  Json body;
  const bool read = answer.status == 200 && json_read(answer.body, &body).empty();
  const int64_t now = read ? json_whole(body, "granted", INT64_MAX / 2) : -1;
  const int64_t left = read ? json_whole(body, "left", INT64_MAX / 2) : -1;
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_.id != id) return "";
  // Never more than was asked for: a line's answer is checked, not taken.
  if (now < 0 || left < 0 || now > granted + want) {
    allowance_away_ = true;
    return "the line gives no allowance of release " + current_.version + ": " +
           (answer.status == 0 ? answer.error : "HTTP " + std::to_string(answer.status));
  }
  allowance_away_ = false;
  exhausted_ = left == 0 && now - std::max(granted, spent) < want;
  current_.granted = std::max(current_.granted, now);
  keep(current_, nullptr);
  return "";
}

std::string ReleaseFollower::give_back(const LinePost& post) {
  int64_t id = 0, spent = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_.id == 0 || current_.max_units == 0 || current_.granted <= spent_) return "";
    id = current_.id;
    spent = spent_;
  }
  const LineAnswer answer =
      post("/api/stations/" + url_encoded(setup_.station) + "/allowance",
           json_line(Json{{"release", id}, {"spent", spent}, {"want", 0}, {"give_back", true}}));
  if (answer.status != 200) {
    return "the unspent units of release " + current_.version + " stay with this station: " +
           (answer.status == 0 ? answer.error : "HTTP " + std::to_string(answer.status));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_.id == id) {
    current_.granted = spent;
    keep(current_, nullptr);
  }
  return "";
}

std::string ReleaseFollower::refresh(const LinePost& post, const LinePost& fetch,
                                     std::optional<std::map<int64_t, std::string>>* slots) {
  const std::string base = "/api/stations/" + url_encoded(setup_.station);
  const LineAnswer answer = post(base + "/release", json_line(Json{{"product", setup_.product}}));
  const auto trouble = [this](const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    problem_ = why;
    return why;
  };
  if (answer.status != 200) {
    return trouble("the line gives no release: " +
                   (answer.status == 0 ? answer.error : "HTTP " + std::to_string(answer.status)));
  }
  Json body;
  if (!json_read(answer.body, &body).empty() || !body.is_object() || !body.contains("release")) {
    return trouble("the line's answer on releases is not one");
  }
  if (slots != nullptr) *slots = slot_products_of(json_member(body, "slot_products"));
  const Json& given = json_member(body, "release");
  if (given.is_null()) {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = Release{};
    image_.reset();
    none_ = "the line has no release of " + setup_.product;
    problem_.clear();
    return "";
  }
  Release release;
  if (given.is_object()) release = release_of(given);
  if (release.id <= 0 || release.version.empty() ||
      (release.state != "released" && release.state != "withdrawn") ||
      !is_sha256(release.image_sha256) || !is_sha256(release.file_sha256) ||
      release.load_address < 0) {
    return trouble("the line's release of " + setup_.product + " is not one");
  }
  release.confirmed_ms = setup_.now_ms();
  bool same = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The one it has: what may have changed is its state.
    same = release.id == current_.id && release.image_sha256 == current_.image_sha256 &&
           release.file_sha256 == current_.file_sha256;
    if (same) {
      const bool changed =
          release.state != current_.state || release.max_units != current_.max_units;
      current_.state = release.state;
      current_.reason = release.reason;
      current_.max_units = release.max_units;
      current_.confirmed_ms = release.confirmed_ms;
      problem_.clear();
      if (changed || release.confirmed_ms - kept_ms_ >= RELEASE_KEEP_MS) {
        kept_ms_ = release.confirmed_ms;
        keep(current_, nullptr);
      }
    }
  }
  if (same) return trouble(ask_allowance(post));
  const LineAnswer file = fetch(base + "/release-file", json_line(Json{{"id", release.id}}));
  if (file.status != 200) {
    return trouble("the file of release " + release.version + " does not come: " +
                   (file.status == 0 ? file.error : "HTTP " + std::to_string(file.status)));
  }
  std::shared_ptr<const RunFirmware> image;
  const std::string wrong = adopt(release, file.body, &image);
  if (!wrong.empty()) return trouble(wrong);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = release;
    image_ = std::move(image);
    problem_.clear();
    kept_ms_ = release.confirmed_ms;
    exhausted_ = false;
    allowance_away_ = true;
    count_spent_locked();
    keep(current_, &file.body);
  }
  return trouble(ask_allowance(post));
}

std::string ReleaseFollower::refusal_locked() const {
  if (current_.id == 0) return none_;
  const std::string name = "release " + current_.version + " of " + setup_.product;
  if (current_.state == "withdrawn") return name + " was withdrawn: " + current_.reason;
  if (setup_.now_ms() - current_.confirmed_ms > setup_.grace_ms) {
    return name + " is not confirmed: the line has not answered for more than " +
           std::to_string(setup_.grace_ms / 3600000) + " h";
  }
  if (current_.max_units > 0 && current_.granted - spent_ <= 0) {
    return exhausted_ ? "the unit limit of release " + current_.version + " is reached"
                      : std::string("no allowance: the line is away");
  }
  return "";
}

std::string ReleaseFollower::image_for_run(std::shared_ptr<const RunFirmware>* firmware) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string refusal = refusal_locked();
  if (!refusal.empty()) return refusal;
  *firmware = image_;
  // Spent as the run starts: a run cut short by a crash counts too.
  if (current_.max_units > 0) ++spent_;
  return "";
}

int64_t ReleaseFollower::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_.max_units > 0 ? std::max<int64_t>(0, current_.granted - spent_) : 0;
}

void ReleaseFollower::forget() {
  store_.forget("release:" + setup_.product);
  store_.forget("release-file:" + setup_.product);
}

Json ReleaseFollower::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Json release;
  if (current_.id > 0) {
    release = Json{{"id", current_.id},
                   {"version", current_.version},
                   {"state", current_.state},
                   {"image_sha256", current_.image_sha256},
                   {"size", image_ ? image_->image.size : 0},
                   {"load_address", current_.load_address},
                   {"confirmed_at", record_utc_text(current_.confirmed_ms)}};
  }
  const std::string refusal = refusal_locked();
  return Json{{"product", setup_.product},
              {"source", image_ ? Json(image_->source) : Json()},
              {"release", release},
              {"units", current_.max_units > 0
                            ? Json{{"max", current_.max_units},
                                   {"held", std::max<int64_t>(0, current_.granted - spent_)},
                                   {"spent", spent_}}
                            : Json()},
              {"confirmed",
               current_.id > 0 && setup_.now_ms() - current_.confirmed_ms <= setup_.grace_ms},
              {"refusal", refusal.empty() ? Json() : Json(refusal)},
              {"problem", problem_.empty() ? Json() : Json(problem_)}};
}

SlotReleases::SlotReleases(RecordStore& store, ReleaseSetup setup)
    : store_(store), setup_(std::move(setup)) {
  followers_[setup_.product] = std::make_shared<ReleaseFollower>(store_, setup_);
}

SlotReleases::Follower SlotReleases::follower_locked(const std::string& product) {
  Follower& made = followers_[product];
  if (!made && followers_.size() <= RELEASE_PRODUCTS_MAX) {
    ReleaseSetup setup = setup_;
    setup.product = product;
    made = std::make_shared<ReleaseFollower>(store_, setup);
    made->load_kept();
  }
  if (!made) followers_.erase(product);
  return made;
}

SlotReleases::Follower SlotReleases::own() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return followers_.at(setup_.product);
}

std::vector<SlotReleases::Follower> SlotReleases::others_locked() const {
  std::vector<Follower> others;
  for (const auto& [product, follower] : followers_) {
    bool used = false;
    for (const auto& [slot, given] : slots_) used = used || given == product;
    if (used && product != setup_.product) others.push_back(follower);
  }
  return others;
}

std::string SlotReleases::load_kept() {
  std::string text;
  bool found = false;
  Json kept;
  const std::string own_problem = own()->load_kept();
  std::lock_guard<std::mutex> lock(mutex_);
  if (store_.kept(KEPT_SLOTS, &text, &found).ok() && found && json_read(text, &kept).empty()) {
    slots_ = slot_products_of(kept);
  }
  for (const auto& [slot, product] : slots_) follower_locked(product);
  return own_problem;
}

std::string SlotReleases::refresh(const LinePost& post, const LinePost& fetch) {
  std::optional<std::map<int64_t, std::string>> slots;
  const std::string trouble = own()->refresh(post, fetch, &slots);
  std::vector<Follower> others;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The line said nothing of slots when it did not answer: they stay.
    if (slots && *slots != slots_) {
      slots_ = *slots;
      Json kept = Json::object();
      for (const auto& [slot, product] : slots_) kept[std::to_string(slot)] = product;
      store_.keep(KEPT_SLOTS, kept.dump());
    }
    // A product no slot flashes any more is forgotten once it holds no units.
    for (auto it = followers_.begin(); it != followers_.end();) {
      bool used = it->first == setup_.product;
      for (const auto& [slot, given] : slots_) used = used || given == it->first;
      if (!used && it->second->held() == 0) {
        it->second->forget();
        it = followers_.erase(it);
      } else {
        ++it;
      }
    }
    for (const auto& [slot, product] : slots_) follower_locked(product);
    others = others_locked();
  }
  std::string first = trouble;
  for (const Follower& other : others) {
    const std::string wrong = other->refresh(post, fetch);
    if (first.empty()) first = wrong;
  }
  return first;
}

std::string SlotReleases::image_for_run(int64_t slot,
                                        std::shared_ptr<const RunFirmware>* firmware) {
  Follower follower;
  std::string product = setup_.product;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto given = slots_.find(slot);
    if (given != slots_.end()) product = given->second;
    const auto found = followers_.find(product);
    if (found != followers_.end()) follower = found->second;
  }
  if (!follower) {
    return "slot " + std::to_string(slot) + ": a station follows at most " +
           std::to_string(RELEASE_PRODUCTS_MAX) + " products, and " + product + " is not one";
  }
  return follower->image_for_run(firmware);
}

Json SlotReleases::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Json status = followers_.at(setup_.product)->status();
  Json slots = Json::object(), others = Json::array();
  for (const auto& [slot, product] : slots_) slots[std::to_string(slot)] = product;
  for (const Follower& other : others_locked()) others.push_back(other->status());
  status["slots"] = slots;
  status["others"] = others;
  return status;
}

std::string SlotReleases::give_back(const LinePost& post) {
  std::vector<Follower> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [product, follower] : followers_) all.push_back(follower);
  }
  std::string first;
  for (const Follower& follower : all) {
    const std::string wrong = follower->give_back(post);
    if (first.empty()) first = wrong;
  }
  return first;
}

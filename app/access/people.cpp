#include "app/access/people.h"

#include "app/access/secrets.h"

namespace {

const char* const ROLE_NAMES[] = {"operator", "supervisor", "engineer", "admin"};
const PersonRole ROLES[] = {PersonRole::machine_operator, PersonRole::supervisor,
                            PersonRole::engineer, PersonRole::admin};

} // namespace

const char* const PERSON_NAME_RULE =
    "a person's name is 1 to 64 printable ASCII characters, with no space at either end";

const char* person_role_name(PersonRole role) {
  return ROLE_NAMES[static_cast<int>(role)];
}

std::optional<PersonRole> person_role_from_name(const std::string& name) {
  for (size_t i = 0; i < sizeof ROLES / sizeof ROLES[0]; ++i) {
    if (name == ROLE_NAMES[i]) return ROLES[i];
  }
  return std::nullopt;
}

bool person_name_is_valid(const std::string& name) {
  if (name.empty() || name.size() > PERSON_NAME_MAX || name.front() == ' ' || name.back() == ' ') {
    return false;
  }
  for (const char c : name) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

SignInResult SignInGuard::check(const std::string& name, const Person* found,
                                const std::string& secret, int64_t now_ms) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto known = tries_.find(name);
    if (known != tries_.end() && known->second.locked_until_ms > now_ms) {
      const int64_t left_ms = known->second.locked_until_ms - now_ms;
      return {SignInStatus::locked, PersonRole::machine_operator,
              static_cast<int>((left_ms + 999) / 1000)};
    }
  }
  // The costly part runs without the lock: other names sign in meanwhile.
  bool right = false;
  if (found == nullptr) {
    secret_check_nothing(secret);
  } else {
    right = secret_matches(secret, found->secret_hash);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (right) {
    tries_.erase(name);
    if (!found->disabled_at.empty()) return {SignInStatus::disabled, found->role, 0};
    return {SignInStatus::ok, found->role, 0};
  }
  if (tries_.size() >= NAMES_MAX && tries_.count(name) == 0) {
    auto oldest = tries_.begin();
    for (auto it = tries_.begin(); it != tries_.end(); ++it) {
      if (it->second.last_ms < oldest->second.last_ms) oldest = it;
    }
    tries_.erase(oldest);
  }
  Tries& tries = tries_[name];
  tries.last_ms = now_ms;
  if (++tries.wrong >= SIGN_IN_TRIES) {
    tries.wrong = 0;
    tries.locked_until_ms = now_ms + SIGN_IN_LOCK_MS;
  }
  return {SignInStatus::wrong, PersonRole::machine_operator, 0};
}

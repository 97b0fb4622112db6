// People who sign in, each with a name, a role and a secret (see
// secrets.h), and what a sign-in may do. The roles go up in steps, each
// allowed what the ones below it are:
//
//   operator    starts, cancels and tags runs
//   supervisor  also clears failures and reads the audit trail
//   engineer    also firmware releases
//   admin       also people and credentials
//
// A name that gets its secret wrong five times is locked for a minute.
// Every call is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

enum class PersonRole { machine_operator, supervisor, engineer, admin };

// "operator", "supervisor", "engineer", "admin".
const char* person_role_name(PersonRole role);
std::optional<PersonRole> person_role_from_name(const std::string& name);
// Whether `role` is allowed what `needed` is.
inline bool person_role_allows(PersonRole role, PersonRole needed) {
  return static_cast<int>(role) >= static_cast<int>(needed);
}

// A person's name, as a badge reader types it: 1 to 64 printable ASCII
// characters, no space at either end.
constexpr size_t PERSON_NAME_MAX = 64;
bool person_name_is_valid(const std::string& name);
extern const char* const PERSON_NAME_RULE;

struct Person {
  std::string name;
  PersonRole role = PersonRole::machine_operator;
  std::string secret_hash;
  std::string created_at;
  std::string disabled_at; // empty while the person may sign in
};

constexpr int SIGN_IN_TRIES = 5;
constexpr int64_t SIGN_IN_LOCK_MS = 60000;

enum class SignInStatus { ok, wrong, locked, disabled };

struct SignInResult {
  SignInStatus status = SignInStatus::wrong;
  PersonRole role = PersonRole::machine_operator;
  int retry_s = 0; // with locked: when it may be tried again
};

// Wrong tries per name, kept for a while; a bounded number of names (the
// oldest forgotten first), so that tries of made-up names cost nothing.
class SignInGuard {
public:
  // The check of `secret` for `found` (nullptr: no such person, checked all
  // the same so that the time taken tells nothing), counted against the
  // name's tries.
  SignInResult check(const std::string& name, const Person* found, const std::string& secret,
                     int64_t now_ms);

private:
  static constexpr size_t NAMES_MAX = 4096;
  struct Tries {
    int wrong = 0;
    int64_t last_ms = 0;
    int64_t locked_until_ms = 0;
  };
  std::mutex mutex_;
  std::map<std::string, Tries> tries_;
};

// Who is signed in: a session is a random 128-bit id that the browser keeps
// in a cookie (HttpOnly, SameSite=Strict, Secure under HTTPS) and sends
// with each request. It ends on sign-out, after its longest life, or after
// a while without a request. Every call is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "app/access/people.h"

constexpr int64_t SESSION_LIFE_MS = 8LL * 3600 * 1000;
constexpr int64_t SESSION_IDLE_MS = 15LL * 60 * 1000;
constexpr char SESSION_COOKIE[] = "orva_session";

struct SessionLimits {
  int64_t life_ms = SESSION_LIFE_MS;
  int64_t idle_ms = SESSION_IDLE_MS;
};

struct SessionPerson {
  std::string name;
  PersonRole role = PersonRole::machine_operator;
};

class Sessions {
public:
  explicit Sessions(SessionLimits limits = {}) : limits_(limits) {}

  // A new session of `person`; its id.
  std::string open(const SessionPerson& person, int64_t now_ms);
  // The person of session `id` while it lasts (and it lasts on: a request
  // counts as activity); nothing once it ended.
  std::optional<SessionPerson> find(const std::string& id, int64_t now_ms);
  void end(const std::string& id);
  // Every session of `name` ends (the person was disabled or changed).
  void end_all_of(const std::string& name);

private:
  // Sessions at once; beyond, the one idle longest ends.
  static constexpr size_t SESSIONS_MAX = 1024;
  struct Session {
    SessionPerson person;
    int64_t opened_ms = 0;
    int64_t seen_ms = 0;
  };
  const SessionLimits limits_;
  std::mutex mutex_;
  std::map<std::string, Session> sessions_;
};

// The Set-Cookie value that gives session `id`, or with an empty id takes
// it away.
std::string session_cookie(const std::string& id, bool secure);
// The session id a Cookie header carries, or empty.
std::string session_of_cookies(const std::string& cookies);

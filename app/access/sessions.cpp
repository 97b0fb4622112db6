#include "app/access/sessions.h"

#include <openssl/rand.h>

#include <cstdlib>

namespace {

std::string new_id() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) std::abort();
  static const char HEX[] = "0123456789abcdef";
  std::string id;
  for (const unsigned char b : bytes) {
    id += HEX[b >> 4];
    id += HEX[b & 15];
  }
  return id;
}

} // namespace

std::string Sessions::open(const SessionPerson& person, int64_t now_ms) {
  const std::string id = new_id();
  std::lock_guard<std::mutex> lock(mutex_);
  if (sessions_.size() >= SESSIONS_MAX) {
    auto idlest = sessions_.begin();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      if (it->second.seen_ms < idlest->second.seen_ms) idlest = it;
    }
    sessions_.erase(idlest);
  }
  sessions_[id] = Session{person, now_ms, now_ms};
  return id;
}

std::optional<SessionPerson> Sessions::find(const std::string& id, int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = sessions_.find(id);
  if (found == sessions_.end()) return std::nullopt;
  Session& session = found->second;
  if (now_ms - session.opened_ms >= limits_.life_ms ||
      now_ms - session.seen_ms >= limits_.idle_ms) {
    sessions_.erase(found);
    return std::nullopt;
  }
  session.seen_ms = now_ms;
  return session.person;
}

void Sessions::end(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(id);
}

void Sessions::end_all_of(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = it->second.person.name == name ? sessions_.erase(it) : std::next(it);
  }
}

std::string session_cookie(const std::string& id, bool secure) {
  std::string cookie =
      std::string(SESSION_COOKIE) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict";
  if (id.empty()) cookie += "; Max-Age=0";
  if (secure) cookie += "; Secure";
  return cookie;
}

std::string session_of_cookies(const std::string& cookies) {
  const std::string want = std::string(SESSION_COOKIE) + "=";
  for (size_t at = 0; at < cookies.size();) {
    while (at < cookies.size() && (cookies[at] == ' ' || cookies[at] == ';')) ++at;
    const size_t end = std::min(cookies.find(';', at), cookies.size());
    if (cookies.compare(at, want.size(), want) == 0) {
      const std::string id = cookies.substr(at + want.size(), end - at - want.size());
      // 32 hex digits or nothing.
      if (id.size() != 32) return "";
      for (const char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "";
      }
      return id;
    }
    at = end + 1;
  }
  return "";
}

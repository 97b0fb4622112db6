// The line's people: sign-in on its pages (a session cookie), the check of
// a station's sign-ins and the people it gives its stations (hashes only,
// for when it is away), people added, disabled and given a new secret, and
// the audit trails: the line's own and each station's, as the stations send
// them. Every call is safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/access/people.h"
#include "app/access/sessions.h"
#include "app/line/line.h"
#include "app/line/line_db.h"

// Audit entries in one batch from a station, and in one answer.
constexpr size_t LINE_AUDIT_BATCH_MAX = 500;
constexpr size_t LINE_AUDIT_ANSWER_MAX = 1000;

struct LinePeopleOptions {
  bool people_required = false;
  bool secure = false; // served over HTTPS: cookies are Secure
  SessionLimits sessions;
  std::function<int64_t()> now_ms;
};

class LinePeople {
public:
  LinePeople(LineDb& db, LinePeopleOptions options);

  bool people_required() const { return options_.people_required; }
  // The person of the session a request's cookies name, while it lasts.
  std::optional<SessionPerson> person_of(const std::string& cookies);

  // POST /api/session: {"name", "secret"}; with 200 *cookie is set.
  LineReply sign_in(const std::string& body, std::string* cookie);
  // DELETE /api/session.
  LineReply sign_out(const std::string& cookies, std::string* cookie);
  LineReply session(const std::optional<SessionPerson>& person) const;

  // POST /api/people/check: a station's sign-in, checked here (counted
  // against the name's tries as one on the page would be).
  LineReply check(const std::string& station, const std::string& body);
  // POST /api/stations/NAME/people: every person with the hash of their
  // secret, for the station to check against while the line is away.
  LineReply people_for_station();
  // GET /api/people: names, roles and states, never a secret.
  LineReply people_list();
  // POST /api/people (add: name, role, secret), /api/people/NAME/disable,
  // /api/people/NAME/reset (secret): in `who`'s name.
  LineReply people_change(const std::string& who, const std::string& name, const std::string& verb,
                          const std::string& body);

  // POST /api/stations/NAME/audit: {"entries": [...]}.
  LineReply audit_receive(const std::string& station, const std::string& body);
  // GET /api/audit(.csv)?who=&origin=&action=&since=&until=&limit=.
  LineReply audit_query(const std::string& query, bool csv, std::string* file);

  // An entry of the line's own audit trail.
  void audit(const std::string& who, const std::string& action, const std::string& subject,
             const nlohmann::ordered_json& details);

private:
  std::string now() const;
  LineReply people_json(bool with_hashes);
  std::optional<LineReply> tried(const std::string& body, std::string* name, SignInResult* result);

  LineDb& db_;
  const LinePeopleOptions options_;
  Sessions sessions_;
  SignInGuard guard_;
};

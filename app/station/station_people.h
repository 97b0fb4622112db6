// Who acts on a station. With people (--people-required) starting,
// cancelling and clearing need a person signed in with the right role; the
// sign-in is checked against the station's own people (a station without a
// line: they are kept in its record store) or by its line, and while the
// line does not answer against the people it last gave (hashes only). Each
// sign-in and each action that changes something is an entry of the
// station's audit trail.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/access/people.h"
#include "app/access/sessions.h"
#include "app/station/line_reporter.h"
#include "records/record_store.h"

struct SignInOutcome {
  SignInStatus status = SignInStatus::wrong;
  PersonRole role = PersonRole::machine_operator;
  int retry_s = 0;
  std::string via; // how it was checked: "store", "line", "line away: the people it last gave"
};

// Where a sign-in is checked. Safe from any thread.
class PeopleCheck {
public:
  virtual ~PeopleCheck() = default;
  virtual SignInOutcome check(const std::string& name, const std::string& secret,
                              int64_t now_ms) = 0;
};

// The station's own people, kept in `store`.
std::unique_ptr<PeopleCheck> people_of_store(RecordStore& store);
// The line's: asked over `post` (POST /api/people/check with the station's
// credential); when no answer comes, the people the line last gave, kept
// in `store`.
std::unique_ptr<PeopleCheck> people_of_line(RecordStore& store, LinePost post);

// The line's people, as it gives them to a station (POST
// /api/stations/NAME/people), kept in the store for when it is away; false
// when the answer is no list of people.
bool keep_line_people(RecordStore& store, const std::string& answer);

// What the station's routes need to know who asks.
struct StationAccess {
  bool people_required = false;
  Sessions* sessions = nullptr; // nullptr: no sign-in here
  PeopleCheck* people = nullptr;
  bool secure = false;             // served over HTTPS: cookies are Secure
  std::function<int64_t()> now_ms; // the wall clock
  // One entry of the station's audit trail: who did what to what.
  std::function<void(const std::string& who, const std::string& action, const std::string& subject,
                     const std::string& details)>
      audit;
};

#include "app/station/station_people.h"

#include <nlohmann/json.hpp>

#include "app/access/secrets.h"
#include "app/runs/json_read.h"
#include "app/runs/run_record.h"

namespace {

using Json = nlohmann::ordered_json;

Person person_of(const PersonRow& row) {
  return Person{row.name, person_role_from_name(row.role).value_or(PersonRole::machine_operator),
                row.secret_hash, row.created_at, row.disabled_at};
}

// People of one source in the store, each sign-in counted against its name.
class StorePeople : public PeopleCheck {
public:
  StorePeople(RecordStore& store, std::string source, std::string via)
      : store_(store), source_(std::move(source)), via_(std::move(via)) {}

  SignInOutcome check(const std::string& name, const std::string& secret, int64_t now_ms) override {
    PersonRow row;
    bool found = false;
    store_.person(source_, name, &row, &found);
    const Person person = person_of(row);
    const SignInResult result = guard_.check(name, found ? &person : nullptr, secret, now_ms);
    return {result.status, result.role, result.retry_s, via_};
  }

private:
  RecordStore& store_;
  const std::string source_;
  const std::string via_;
  SignInGuard guard_;
};

// The line decides; the store's copy of its people when it does not answer.
class LinePeople : public PeopleCheck {
public:
  LinePeople(RecordStore& store, LinePost post)
      : post_(std::move(post)), away_(store, PEOPLE_LINE, "line away: the people it last gave") {}

  SignInOutcome check(const std::string& name, const std::string& secret, int64_t now_ms) override {
    const LineAnswer answer =
        post_("/api/people/check", Json{{"name", name}, {"secret", secret}}.dump());
    Json body;
    json_read(answer.body, &body);
    switch (answer.status) {
    case 200: {
      const std::optional<PersonRole> role =
          body.is_object() && body.contains("role") && body["role"].is_string()
              ? person_role_from_name(body["role"].get<std::string>())
              : std::nullopt;
      if (role) return {SignInStatus::ok, *role, 0, "line"};
      return {SignInStatus::wrong, PersonRole::machine_operator, 0, "line"};
    }
    case 401:
      return {SignInStatus::wrong, PersonRole::machine_operator, 0, "line"};
    case 403:
      return {SignInStatus::disabled, PersonRole::machine_operator, 0, "line"};
    case 429: {
      const int retry =
          body.is_object() && body.contains("retry_s") && body["retry_s"].is_number_integer()
              ? static_cast<int>(
                    std::min<int64_t>(std::max<int64_t>(body["retry_s"].get<int64_t>(), 1), 3600))
              : 60;
      return {SignInStatus::locked, PersonRole::machine_operator, retry, "line"};
    }
    default:
      return away_.check(name, secret, now_ms);
    }
  }

private:
  LinePost post_;
  StorePeople away_;
};

} // namespace

std::unique_ptr<PeopleCheck> people_of_store(RecordStore& store) {
  return std::make_unique<StorePeople>(store, PEOPLE_LOCAL, "store");
}

std::unique_ptr<PeopleCheck> people_of_line(RecordStore& store, LinePost post) {
  return std::make_unique<LinePeople>(store, std::move(post));
}

bool keep_line_people(RecordStore& store, const std::string& answer) {
  Json body;
  if (!json_read(answer, &body).empty()) return false;
  if (!body.is_object() || !body.contains("people") || !body["people"].is_array()) return false;
  std::vector<PersonRow> rows;
  for (const Json& person : body["people"]) {
    if (!person.is_object()) return false;
    PersonRow row;
    row.source = PEOPLE_LINE;
    const auto text = [&person](const char* key, std::string* out) {
      if (!person.contains(key)) return true;
      if (person[key].is_null()) return true;
      if (!person[key].is_string()) return false;
      *out = person[key].get<std::string>();
      return true;
    };
    if (!text("name", &row.name) || !text("role", &row.role) ||
        !text("secret_hash", &row.secret_hash) || !text("disabled_at", &row.disabled_at) ||
        !text("created_at", &row.created_at) || !person_name_is_valid(row.name) ||
        !person_role_from_name(row.role)) {
      return false;
    }
    // A line that does not say when someone was added: when the station learnt of them.
    if (row.created_at.empty()) row.created_at = run_record_utc_now();
    rows.push_back(std::move(row));
  }
  return store.replace_line_people(rows).ok();
}

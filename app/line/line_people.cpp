#include "app/line/line_people.h"

#include "app/access/secrets.h"
#include "app/runs/json_read.h"
#include "app/runs/record_json.h"
#include "records/record_csv.h"

namespace {

using Json = nlohmann::ordered_json;

Person person_of_row(const PersonRow& row) {
  return Person{row.name, person_role_from_name(row.role).value_or(PersonRole::machine_operator),
                row.secret_hash, row.created_at, row.disabled_at};
}

// {"name": N, "secret": S}, each checked; the problem in one line, or empty.
std::string name_and_secret(const std::string& body, std::string* name, std::string* secret) {
  Json doc;
  const std::string unread = json_read(body, &doc);
  if (!unread.empty()) return unread;
  const Json& n = json_member(doc, "name");
  const Json& s = json_member(doc, "secret");
  if (!doc.is_object() || doc.size() != 2 || !n.is_string() || !s.is_string()) {
    return "send {\"name\": NAME, \"secret\": SECRET}";
  }
  *name = n.get<std::string>();
  *secret = s.get<std::string>();
  if (!person_name_is_valid(*name)) return PERSON_NAME_RULE;
  return secret_problem(*secret);
}

Json entry_json(const AuditEntry& e) {
  return Json{{"origin", e.origin},   {"seq", e.seq},
              {"at", e.at},           {"who", e.who},
              {"action", e.action},   {"subject", e.subject},
              {"details", e.details}, {"prev_hash", e.prev_hash},
              {"hash", e.hash}};
}

std::string entry_problem(const Json& e, AuditEntry* entry) {
  if (!e.is_object() || e.size() != 9) return "an entry is an object of its 9 fields";
  const auto text = [&e](const char* key, std::string* out) {
    const Json& v = json_member(e, key);
    if (!v.is_string() || v.get_ref<const std::string&>().size() > RECORD_TEXT_MAX) return false;
    *out = v.get<std::string>();
    return true;
  };
  const Json& seq = json_member(e, "seq");
  if (!seq.is_number_integer() || seq.get<int64_t>() < 1 || seq.get<int64_t>() > RECORD_SEQ_MAX) {
    return "seq is a whole number from 1";
  }
  entry->seq = seq.get<int64_t>();
  if (!text("origin", &entry->origin) || !text("at", &entry->at) || !text("who", &entry->who) ||
      !text("action", &entry->action) || !text("subject", &entry->subject) ||
      !text("details", &entry->details) || !text("prev_hash", &entry->prev_hash) ||
      !text("hash", &entry->hash)) {
    return "each field of an entry but seq is a text of at most " +
           std::to_string(RECORD_TEXT_MAX) + " bytes";
  }
  if (!record_utc_is_valid(entry->at)) return "at is a UTC time such as 2026-12-09T14:06:41.123Z";
  return "";
}

} // namespace

LinePeople::LinePeople(LineDb& db, LinePeopleOptions options)
    : db_(db), options_(std::move(options)), sessions_(options_.sessions) {}

std::string LinePeople::now() const {
  return record_utc_text(options_.now_ms());
}

std::optional<SessionPerson> LinePeople::person_of(const std::string& cookies) {
  const std::string id = session_of_cookies(cookies);
  if (id.empty()) return std::nullopt;
  return sessions_.find(id, options_.now_ms());
}

void LinePeople::audit(const std::string& who, const std::string& action,
                       const std::string& subject, const Json& details) {
  db_.audit_append(LINE_AUDIT_ORIGIN, now(), who, action, subject, details.dump());
}

LineReply LinePeople::session(const std::optional<SessionPerson>& person) const {
  Json who;
  if (person) who = {{"name", person->name}, {"role", person_role_name(person->role)}};
  return {200, Json{{"person", who}, {"people_required", options_.people_required}}};
}

// {"name", "secret"} checked against the person the line holds, counted
// against the name's tries; a refusal when the body or the database fails.
std::optional<LineReply> LinePeople::tried(const std::string& body, std::string* name,
                                           SignInResult* result) {
  std::string secret;
  const std::string problem = name_and_secret(body, name, &secret);
  if (!problem.empty()) return line_error(400, problem);
  PersonRow row;
  bool found = false;
  const LineDbResult read = db_.person(*name, &row, &found);
  if (!read.ok()) return line_db_failure(read);
  const Person person = person_of_row(row);
  *result = guard_.check(*name, found ? &person : nullptr, secret, options_.now_ms());
  return std::nullopt;
}

LineReply LinePeople::sign_in(const std::string& body, std::string* cookie) {
  std::string name;
  SignInResult result;
  if (std::optional<LineReply> refused = tried(body, &name, &result)) return *refused;
  switch (result.status) {
  case SignInStatus::ok:
    break;
  case SignInStatus::locked: {
    audit(name, "session.sign_in_failed", name, {{"why", "locked"}});
    LineReply locked = line_error(429, "too many wrong tries: '" + name + "' is locked for " +
                                           std::to_string(result.retry_s) + " s");
    locked.retry_after_s = result.retry_s;
    return locked;
  }
  case SignInStatus::disabled:
    audit(name, "session.sign_in_failed", name, {{"why", "disabled"}});
    return line_error(403, "'" + name + "' may not sign in any more (disabled)");
  case SignInStatus::wrong:
    audit(name, "session.sign_in_failed", name, {{"why", "wrong name or secret"}});
    return line_error(401, "no such name, or a wrong secret");
  }
  const SessionPerson signed_in{name, result.role};
  *cookie = session_cookie(sessions_.open(signed_in, options_.now_ms()), options_.secure);
  audit(name, "session.sign_in", name, {{"role", person_role_name(result.role)}});
  return session(signed_in);
}

LineReply LinePeople::sign_out(const std::string& cookies, std::string* cookie) {
  const std::optional<SessionPerson> person = person_of(cookies);
  if (person) audit(person->name, "session.sign_out", person->name, Json::object());
  const std::string id = session_of_cookies(cookies);
  if (!id.empty()) sessions_.end(id);
  *cookie = session_cookie("", options_.secure);
  return session(std::nullopt);
}

LineReply LinePeople::check(const std::string& station, const std::string& body) {
  std::string name;
  SignInResult result;
  if (std::optional<LineReply> refused = tried(body, &name, &result)) return *refused;
  switch (result.status) {
  case SignInStatus::ok:
    return {200, Json{{"name", name}, {"role", person_role_name(result.role)}}};
  case SignInStatus::locked: {
    LineReply locked =
        line_error(429, "'" + name + "' is locked for " + std::to_string(result.retry_s) + " s");
    locked.body["retry_s"] = result.retry_s;
    locked.retry_after_s = result.retry_s;
    return locked;
  }
  case SignInStatus::disabled:
    return line_error(403, "'" + name + "' is disabled");
  case SignInStatus::wrong:
    break;
  }
  (void)station;
  return line_error(401, "no such name, or a wrong secret");
}

// Every person; a station's copy carries the secrets' hashes too.
LineReply LinePeople::people_json(bool with_hashes) {
  std::vector<PersonRow> rows;
  const LineDbResult read = db_.people(&rows);
  if (!read.ok()) return line_db_failure(read);
  Json people = Json::array();
  for (const PersonRow& row : rows) {
    Json person{{"name", row.name}, {"role", row.role}};
    if (with_hashes) person["secret_hash"] = row.secret_hash;
    person["created_at"] = row.created_at;
    person["disabled_at"] = row.disabled_at.empty() ? Json() : Json(row.disabled_at);
    people.push_back(std::move(person));
  }
  return {200, Json{{"people", people}}};
}

LineReply LinePeople::people_for_station() {
  return people_json(true);
}

LineReply LinePeople::people_list() {
  return people_json(false);
}

LineReply LinePeople::people_change(const std::string& who, const std::string& name,
                                    const std::string& verb, const std::string& body) {
  Json doc = Json::object();
  if (!body.empty()) {
    const std::string unread = json_read(body, &doc);
    if (!unread.empty() || !doc.is_object())
      return line_error(400, "the body is not a JSON object");
  }
  const auto text = [&doc](const char* key) {
    const Json& v = json_member(doc, key);
    return v.is_string() ? v.get<std::string>() : std::string();
  };
  if (verb == "add") {
    const std::string added = text("name");
    const std::string role = text("role");
    const std::string secret = text("secret");
    if (!person_name_is_valid(added)) return line_error(400, PERSON_NAME_RULE);
    if (!person_role_from_name(role)) {
      return line_error(400, "role is operator, supervisor, engineer or admin");
    }
    const std::string weak = secret_problem(secret);
    if (!weak.empty()) return line_error(400, weak);
    const LineDbResult made =
        db_.person_add({PEOPLE_LINE, added, role, secret_hash(secret), now(), ""});
    if (!made.ok()) return line_db_failure(made);
    audit(who, "person.add", added, {{"after", {{"role", role}}}});
    return {201, Json{{"name", added}, {"role", role}}};
  }
  PersonRow row;
  bool found = false;
  const LineDbResult read = db_.person(name, &row, &found);
  if (!read.ok()) return line_db_failure(read);
  if (!found) return line_error(404, "no one called '" + name + "' is on the line");
  const PersonRow before = row;
  if (verb == "disable") {
    if (!row.disabled_at.empty()) return line_error(409, "'" + name + "' is disabled already");
    row.disabled_at = now();
  } else {
    const std::string weak = secret_problem(text("secret"));
    if (!weak.empty()) return line_error(400, weak);
    row.secret_hash = secret_hash(text("secret"));
  }
  const LineDbResult changed = db_.person_change(row);
  if (!changed.ok()) return line_db_failure(changed);
  // Signed in elsewhere: those sessions end with the change.
  sessions_.end_all_of(name);
  audit(who, verb == "disable" ? "person.disable" : "person.reset", name,
        {{"before", {{"disabled_at", before.disabled_at}}},
         {"after", {{"disabled_at", row.disabled_at}}}});
  return {200, Json{{"name", name}}};
}

LineReply LinePeople::audit_receive(const std::string& station, const std::string& body) {
  Json doc;
  const std::string unread = json_read(body, &doc);
  if (!unread.empty()) return line_error(400, unread);
  const Json& given = json_member(doc, "entries");
  if (!doc.is_object() || doc.size() != 1 || !given.is_array()) {
    return line_error(400, "send {\"entries\": [...]}, the station's audit entries");
  }
  if (given.size() > LINE_AUDIT_BATCH_MAX) {
    return line_error(400,
                      "a batch has at most " + std::to_string(LINE_AUDIT_BATCH_MAX) + " entries");
  }
  std::vector<AuditEntry> entries;
  for (size_t i = 0; i < given.size(); ++i) {
    AuditEntry entry;
    const std::string problem = entry_problem(given[i], &entry);
    if (!problem.empty()) {
      return line_error(400,
                        "entry " + std::to_string(i + 1) + ": " + problem + "; nothing stored");
    }
    if (!entries.empty() && entry.seq != entries.back().seq + 1) {
      return line_error(400, "entries come in seq order, one after another; nothing stored");
    }
    entries.push_back(std::move(entry));
  }
  int64_t through = 0;
  const LineDbResult stored = db_.audit_store(station, entries, now(), &through);
  if (!stored.ok()) return line_db_failure(stored);
  return {200, Json{{"have_through", through}}};
}

LineReply LinePeople::audit_query(const std::string& query, bool csv, std::string* file) {
  AuditFilter filter;
  filter.limit = csv ? 10000 : 100;
  const std::string problem =
      query_pairs(query, [&](const std::string& key, const std::string& value) -> std::string {
        if (value.size() > 256) return "give " + key + " as NAME=VALUE, its value URL-encoded";
        if (key == "who") filter.who = value;
        else if (key == "origin") filter.origin = value;
        else if (key == "action") filter.action = value;
        else if ((key == "since" || key == "until") && record_utc_is_valid(value)) {
          (key == "since" ? filter.since : filter.until) = value;
        } else if (key == "limit" && !value.empty() && value.size() <= 5 &&
                   value.find_first_not_of("0123456789") == std::string::npos &&
                   std::stoul(value) >= 1 &&
                   std::stoul(value) <= (csv ? 10000u : LINE_AUDIT_ANSWER_MAX)) {
          filter.limit = std::stoul(value);
        } else {
          return "the audit takes who, origin, action, since, until (UTC times) and limit; not '" +
                 record_text_cut(key + "=" + value, 40) + "'";
        }
        return "";
      });
  if (!problem.empty()) return line_error(400, problem);
  std::vector<AuditEntry> entries;
  const LineDbResult read = db_.audit_query(filter, &entries);
  if (!read.ok()) return line_db_failure(read);
  if (!csv) {
    Json list = Json::array();
    for (const AuditEntry& e : entries) list.push_back(entry_json(e));
    return {200, Json{{"entries", list}}};
  }
  *file = "origin,seq,at,who,action,subject,details,prev_hash,hash\r\n";
  for (const AuditEntry& e : entries) {
    std::vector<std::string> cells{e.origin,  std::to_string(e.seq),
                                   e.at,      e.who,
                                   e.action,  e.subject,
                                   e.details, e.prev_hash,
                                   e.hash};
    for (size_t i = 0; i < cells.size(); ++i) {
      *file += (i ? "," : "") + record_csv_cell(cells[i], i == 1);
    }
    *file += "\r\n";
  }
  return {200, Json()};
}

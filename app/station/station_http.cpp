#include "app/station/station_http.h"

#include <map>
#include <regex>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/access/secrets.h"
#include "app/http/event_streams.h"
#include "app/http/http_face.h"
#include "app/http/metrics.h"
#include "app/runs/event_json.h"
#include "app/runs/json_read.h"
#include "app/runs/record_json.h"
#include "app/runs/unit_tag.h"
#include "app/station/station.h"
#include "app/station/station_page.h"
#include "app/station/station_people.h"

namespace {

using json = nlohmann::ordered_json;

// Slot numbers in a path: a few digits, so that none overflows.
constexpr size_t SLOT_DIGITS_MAX = 6;
// Run numbers in a cancel's body.
constexpr long RUN_MAX = 1000000000;

enum class Method { get, post, del };

enum class Action {
  page,
  station,
  events,
  records,
  records_csv,
  run_all,
  run_slot,
  cancel_slot,
  clear_slot,
  session,
  sign_in,
  sign_out,
  metrics
};

// A change needs, with people, a person signed in with `role` at least.
struct Route {
  const char* path; // a regular expression over the whole path
  Method method;
  bool needs_token;
  Action action;
  bool changes;
  PersonRole role;
  const char* what; // the route's class, as the count of answers names it
};

constexpr PersonRole OPERATOR = PersonRole::machine_operator;

const Route ROUTES[] = {
    // The page asks for the token itself.
    {"/", Method::get, false, Action::page, false, OPERATOR, "page"},
    {"/api/station", Method::get, true, Action::station, false, OPERATOR, "station"},
    {"/api/events", Method::get, true, Action::events, false, OPERATOR, "events"},
    {"/api/records", Method::get, true, Action::records, false, OPERATOR, "records"},
    {"/api/records\\.csv", Method::get, true, Action::records_csv, false, OPERATOR, "records"},
    {"/api/run", Method::post, true, Action::run_all, true, OPERATOR, "run"},
    {"/api/slots/([^/]+)/run", Method::post, true, Action::run_slot, true, OPERATOR, "run"},
    {"/api/slots/([^/]+)/cancel", Method::post, true, Action::cancel_slot, true, OPERATOR, "run"},
    {"/api/slots/([^/]+)/clear", Method::post, true, Action::clear_slot, true,
     PersonRole::supervisor, "run"},
    {"/api/session", Method::get, true, Action::session, false, OPERATOR, "session"},
    {"/api/session", Method::post, true, Action::sign_in, false, OPERATOR, "session"},
    {"/api/session", Method::del, true, Action::sign_out, false, OPERATOR, "session"},
    {"/metrics", Method::get, true, Action::metrics, false, OPERATOR, "metrics"},
};

const char* method_name(Method method) {
  return method == Method::get ? "GET, HEAD" : method == Method::post ? "POST" : "DELETE";
}

// The route of a path and method, and what its one group matched; with a
// path served under other methods only, those methods.
struct Found {
  const Route* route = nullptr;
  std::string part;
  std::string allowed;
};

// The patterns of ROUTES, in their order.
const std::vector<std::regex>& route_patterns() {
  static const std::vector<std::regex> patterns = [] {
    std::vector<std::regex> compiled;
    for (const Route& route : ROUTES) compiled.emplace_back(route.path);
    return compiled;
  }();
  return patterns;
}

Found route_of(const std::string& path, const std::string& method_text) {
  const std::vector<std::regex>& patterns = route_patterns();
  // A method served nowhere matches no route (only its Allow list).
  const bool known = method_text == "GET" || method_text == "POST" || method_text == "DELETE";
  const Method method = method_text == "GET"    ? Method::get
                        : method_text == "POST" ? Method::post
                                                : Method::del;
  Found found;
  std::smatch match;
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (!std::regex_match(path, match, patterns[i])) continue;
    if (known && ROUTES[i].method == method) {
      return {&ROUTES[i], match.size() > 1 ? match[1].str() : "", ""};
    }
    found.allowed +=
        (found.allowed.empty() ? "" : ", ") + std::string(method_name(ROUTES[i].method));
  }
  return found;
}

// The class of a path's routes (whatever the method), as the count of
// answers names it.
const char* route_class(const std::string& path) {
  const std::vector<std::regex>& patterns = route_patterns();
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (std::regex_match(path, patterns[i])) return ROUTES[i].what;
  }
  return "other";
}

HttpAnswer reply(const StationReply& r) {
  HttpAnswer answer;
  answer.status = r.status;
  answer.headers.emplace_back("Cache-Control", "no-store");
  answer.body = json_line(r.body);
  return answer;
}

HttpAnswer refuse(int status, const std::string& text) {
  return reply(station_error(status, text));
}

// The body of a request that changes state: a JSON object, or nothing. The
// face has refused any other Content-Type.
struct Body {
  bool ok = false;
  json value = json::object();
  std::string problem;
};

Body body_of(const HttpRequest& req) {
  Body body;
  if (req.body.empty()) {
    body.ok = true;
    return body;
  }
  body.problem = json_read(req.body, &body.value);
  if (!body.problem.empty()) return body;
  if (!body.value.is_object()) {
    body.problem = "the body is not a JSON object";
    return body;
  }
  body.ok = true;
  return body;
}

// The one field a body may hold besides none; a problem for any other.
std::string unknown_fields(const json& body, const char* allowed) {
  for (const auto& field : body.items()) {
    if (field.key() != allowed) return "unknown field '" + field.key() + "'";
  }
  return "";
}

std::string tag_problem(const json& tag) {
  if (!tag.is_string() || !unit_tag_is_valid(tag.get<std::string>())) {
    return "a tag is printable ASCII text of 1 to " + std::to_string(UNIT_TAG_MAX) + " characters";
  }
  return "";
}

// "3" of /api/slots/3/run as a slot of the station; 0 when it names none.
size_t slot_number(const std::string& text, size_t slots) {
  if (text.empty() || text.size() > SLOT_DIGITS_MAX) return 0;
  size_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<size_t>(c - '0');
  }
  return n >= 1 && n <= slots ? n : 0;
}

std::string no_slot_text(const std::string& text, size_t slots) {
  return "no slot '" + text + "': the station has slots 1 to " + std::to_string(slots);
}

// Who asks: the person of a session, else the token's holder, else
// whoever reaches a station without one ("local").
struct Asker {
  std::optional<SessionPerson> person;
  std::string name;
};

// The routes, behind the face's own checks.
class StationSite {
public:
  StationSite(Station& station, std::string token, StationAccess access)
      : station_(station), token_(std::move(token)), access_(std::move(access)) {}

  std::optional<HttpAnswer> check(const HttpRequest& head) const;
  HttpAnswer answer(const HttpRequest& req);

  // Every answer the face gave, by route class and status.
  HttpAnswerCounts answers;

private:
  HttpAnswer run_slot(const HttpRequest& req, const std::string& text, const Asker& who);
  HttpAnswer run_all(const HttpRequest& req, const Asker& who);
  HttpAnswer cancel_slot(const HttpRequest& req, const std::string& text, const Asker& who);
  HttpAnswer clear_slot(const std::string& text, const Asker& who);
  HttpAnswer events();
  HttpAnswer records(const HttpRequest& req, bool csv);
  HttpAnswer session(const Asker& who) const;
  HttpAnswer sign_in(const HttpRequest& req);
  HttpAnswer sign_out(const HttpRequest& req, const Asker& who);

  Asker asker(const HttpRequest& req) const;
  std::optional<HttpAnswer> refused_change(const Route& route, const Asker& who) const;
  void audit(const Asker& who, const std::string& action, const std::string& subject,
             const json& details) const;

  Station& station_;
  const std::string token_;
  const StationAccess access_;
};

std::optional<HttpAnswer> StationSite::check(const HttpRequest& head) const {
  const Found found = route_of(head.path, head.method);
  const bool needs_token = found.route == nullptr || found.route->needs_token;
  if (!token_.empty() && needs_token &&
      !http_bearer_matches(head.header("Authorization"), token_)) {
    HttpAnswer refusal = refuse(401, "this station needs its token: Authorization: Bearer TOKEN");
    refusal.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"orvaload station\"");
    return refusal;
  }
  if (found.route == nullptr && found.allowed.empty()) {
    return refuse(404, "no such path: " + head.path);
  }
  if (found.route == nullptr) {
    HttpAnswer refusal = refuse(405, head.method + " is not served at " + head.path);
    refusal.headers.emplace_back("Allow", found.allowed);
    return refusal;
  }
  return std::nullopt;
}

Asker StationSite::asker(const HttpRequest& req) const {
  if (access_.sessions != nullptr) {
    const std::string id = session_of_cookies(req.header("Cookie"));
    if (!id.empty()) {
      if (std::optional<SessionPerson> person = access_.sessions->find(id, access_.now_ms())) {
        return {person, person->name};
      }
    }
  }
  return {std::nullopt, token_.empty() ? "local" : "token"};
}

// With people, a change needs a person signed in whose role allows it.
std::optional<HttpAnswer> StationSite::refused_change(const Route& route, const Asker& who) const {
  if (!access_.people_required || !route.changes) return std::nullopt;
  if (!who.person) {
    return refuse(401, "sign in first: this station takes changes from a person signed in "
                       "(POST /api/session)");
  }
  if (!person_role_allows(who.person->role, route.role)) {
    return refuse(403, who.person->name + " is " + person_role_name(who.person->role) +
                           ": this takes " + person_role_name(route.role) + " or above");
  }
  return std::nullopt;
}

void StationSite::audit(const Asker& who, const std::string& action, const std::string& subject,
                        const json& details) const {
  if (access_.audit) access_.audit(who.name, action, subject, details.dump());
}

HttpAnswer StationSite::answer(const HttpRequest& req) {
  const Found found = route_of(req.path, req.method);
  const Asker who = asker(req);
  if (std::optional<HttpAnswer> refusal = refused_change(*found.route, who)) return *refusal;
  switch (found.route->action) {
  case Action::page:
    return http_page(STATION_PAGE, STATION_PAGE_SIZE);
  case Action::station:
    return reply(station_.state());
  case Action::events:
    return events();
  case Action::records:
    return records(req, false);
  case Action::records_csv:
    return records(req, true);
  case Action::run_all:
    return run_all(req, who);
  case Action::run_slot:
    return run_slot(req, found.part, who);
  case Action::cancel_slot:
    return cancel_slot(req, found.part, who);
  case Action::clear_slot:
    return clear_slot(found.part, who);
  case Action::session:
    return session(who);
  case Action::sign_in:
    return sign_in(req);
  case Action::sign_out:
    return sign_out(req, who);
  case Action::metrics: {
    MetricsText text;
    station_.metrics(&text);
    answers.write(&text);
    return http_metrics(text.text());
  }
  }
  return refuse(404, "no such path: " + req.path);
}

HttpAnswer StationSite::run_slot(const HttpRequest& req, const std::string& text,
                                 const Asker& who) {
  const Body body = body_of(req);
  if (!body.ok) return refuse(400, body.problem);
  const std::string fields = unknown_fields(body.value, "tag");
  if (!fields.empty()) return refuse(400, fields);
  std::string tag;
  if (body.value.contains("tag")) {
    const std::string problem = tag_problem(body.value["tag"]);
    if (!problem.empty()) return refuse(400, problem);
    tag = body.value["tag"].get<std::string>();
  }
  const size_t slot = slot_number(text, station_.slots());
  if (slot == 0) return refuse(404, no_slot_text(text, station_.slots()));
  const StationReply started = station_.start(slot, tag, who.name);
  if (started.status == 202) {
    audit(who, "run.start", "slot " + std::to_string(slot),
          {{"run", started.body["run"]}, {"tag", tag.empty() ? json() : json(tag)}});
  }
  return reply(started);
}

HttpAnswer StationSite::run_all(const HttpRequest& req, const Asker& who) {
  const Body body = body_of(req);
  if (!body.ok) return refuse(400, body.problem);
  const std::string fields = unknown_fields(body.value, "tags");
  if (!fields.empty()) return refuse(400, fields);
  std::map<size_t, std::string> tags;
  if (body.value.contains("tags")) {
    const json& given = body.value["tags"];
    if (!given.is_object()) return refuse(400, "tags is an object of slot numbers and tags");
    for (const auto& item : given.items()) {
      const size_t slot = slot_number(item.key(), station_.slots());
      if (slot == 0) return refuse(400, "tags: " + no_slot_text(item.key(), station_.slots()));
      const std::string problem = tag_problem(item.value());
      if (!problem.empty()) return refuse(400, "tags: " + problem);
      tags[slot] = item.value().get<std::string>();
    }
  }
  const StationReply started = station_.start_all(tags, who.name);
  for (const json& run : started.body.value("runs", json::array())) {
    const size_t slot = run.value("slot", size_t{0});
    const auto tag = tags.find(slot);
    audit(who, "run.start", "slot " + std::to_string(slot),
          {{"run", run["run"]}, {"tag", tag == tags.end() ? json() : json(tag->second)}});
  }
  return reply(started);
}

HttpAnswer StationSite::cancel_slot(const HttpRequest& req, const std::string& text,
                                    const Asker& who) {
  const Body body = body_of(req);
  if (!body.ok) return refuse(400, body.problem);
  const std::string fields = unknown_fields(body.value, "run");
  if (!fields.empty()) return refuse(400, fields);
  long run = 0;
  if (body.value.contains("run")) {
    const json& given = body.value["run"];
    if (!given.is_number_integer() || given.get<long long>() < 1 ||
        given.get<long long>() > RUN_MAX) {
      return refuse(400, "run is the number of the slot's run, from 1");
    }
    run = given.get<long>();
  }
  const size_t slot = slot_number(text, station_.slots());
  if (slot == 0) return refuse(404, no_slot_text(text, station_.slots()));
  const StationReply cancelled = station_.cancel(slot, run);
  if (cancelled.status == 202) {
    audit(who, "run.cancel", "slot " + std::to_string(slot), {{"run", cancelled.body["run"]}});
  }
  return reply(cancelled);
}

HttpAnswer StationSite::clear_slot(const std::string& text, const Asker& who) {
  const size_t slot = slot_number(text, station_.slots());
  if (slot == 0) return refuse(404, no_slot_text(text, station_.slots()));
  const StationReply cleared = station_.clear(slot);
  if (cleared.status == 200)
    audit(who, "slot.clear", "slot " + std::to_string(slot), json::object());
  return reply(cleared);
}

HttpAnswer StationSite::session(const Asker& who) const {
  json person;
  if (who.person) {
    person = {{"name", who.person->name}, {"role", person_role_name(who.person->role)}};
  }
  return reply({200, json{{"person", person}, {"people_required", access_.people_required}}});
}

HttpAnswer StationSite::sign_in(const HttpRequest& req) {
  const Body body = body_of(req);
  if (!body.ok) return refuse(400, body.problem);
  const json& name = body.value.contains("name") ? body.value["name"] : json();
  const json& secret = body.value.contains("secret") ? body.value["secret"] : json();
  if (body.value.size() != 2 || !name.is_string() || !secret.is_string() ||
      !person_name_is_valid(name.get<std::string>()) ||
      !secret_problem(secret.get<std::string>()).empty()) {
    return refuse(400, "send {\"name\": NAME, \"secret\": SECRET}");
  }
  if (access_.sessions == nullptr || access_.people == nullptr) {
    return refuse(404, "no one signs in at this station: it has no people");
  }
  const std::string& who = name.get_ref<const std::string&>();
  const SignInOutcome outcome =
      access_.people->check(who, secret.get_ref<const std::string&>(), access_.now_ms());
  const Asker trying{std::nullopt, who};
  switch (outcome.status) {
  case SignInStatus::ok:
    break;
  case SignInStatus::locked: {
    audit(trying, "session.sign_in_failed", who, {{"why", "locked"}, {"via", outcome.via}});
    HttpAnswer refusal = refuse(429, "too many wrong tries: '" + who + "' is locked for " +
                                         std::to_string(outcome.retry_s) + " s");
    refusal.headers.emplace_back("Retry-After", std::to_string(outcome.retry_s));
    return refusal;
  }
  case SignInStatus::disabled:
    audit(trying, "session.sign_in_failed", who, {{"why", "disabled"}, {"via", outcome.via}});
    return refuse(403, "'" + who + "' may not sign in any more (disabled)");
  case SignInStatus::wrong:
    audit(trying, "session.sign_in_failed", who,
          {{"why", "wrong name or secret"}, {"via", outcome.via}});
    return refuse(401, "no such name, or a wrong secret");
  }
  const SessionPerson person{who, outcome.role};
  const std::string id = access_.sessions->open(person, access_.now_ms());
  audit(trying, "session.sign_in", who,
        {{"role", person_role_name(outcome.role)}, {"via", outcome.via}});
  HttpAnswer answer =
      reply({200, json{{"person", {{"name", who}, {"role", person_role_name(outcome.role)}}},
                       {"people_required", access_.people_required}}});
  answer.headers.emplace_back("Set-Cookie", session_cookie(id, access_.secure));
  return answer;
}

HttpAnswer StationSite::sign_out(const HttpRequest& req, const Asker& who) {
  if (access_.sessions != nullptr) {
    const std::string id = session_of_cookies(req.header("Cookie"));
    if (who.person) audit(who, "session.sign_out", who.name, json::object());
    if (!id.empty()) access_.sessions->end(id);
  }
  HttpAnswer answer =
      reply({200, json{{"person", json()}, {"people_required", access_.people_required}}});
  answer.headers.emplace_back("Set-Cookie", session_cookie("", access_.secure));
  return answer;
}

// The records' filters, each checked: limit, tag, result and since, and no
// other.
HttpAnswer StationSite::records(const HttpRequest& req, bool csv) {
  RecordQuery query;
  const std::string problem = record_query_parse(req.query, csv, false, &query);
  if (!problem.empty()) return refuse(400, problem);
  const RecordFilter& filter = query.filter;
  if (!csv) return reply(station_.records(filter));
  std::string file;
  const StationReply read = station_.records_csv(filter, &file);
  if (read.status != 200) return reply(read);
  return http_csv(std::move(file), "records.csv");
}

// Server-Sent Events: each event one "data:" line. The stream begins with
// every slot's state; it ends when the station does, or when its reader fell
// so far behind that its queue filled (it reconnects and begins afresh).
HttpAnswer StationSite::events() {
  return event_stream_answer(station_.streams(), station_.open_stream());
}

} // namespace

HttpSite station_site(Station& station, std::string token, StationAccess access) {
  auto routes = std::make_shared<StationSite>(station, token, std::move(access));
  HttpSite site;
  site.name = "station";
  site.check = [routes](const HttpRequest& head) { return routes->check(head); };
  site.answer = [routes](const HttpRequest& req) { return routes->answer(req); };
  site.credentialed = [token](const HttpRequest& head) {
    return token.empty() || http_bearer_matches(head.header("Authorization"), token);
  };
  site.answered = [routes](const std::string& path, int status) {
    routes->answers.count(route_class(path), status);
  };
  return site;
}

#include "app/line/line_http.h"

#include <memory>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>

#include "app/http/event_streams.h"
#include "app/http/metrics.h"
#include "app/line/line_page.h"
#include "app/line/line_people_page.h"
#include "app/runs/event_json.h"
#include "app/runs/json_read.h"
#include "app/runs/record_json.h"

namespace {

using Json = nlohmann::ordered_json;

enum class Action {
  none,
  page,
  people_page,
  line,
  events,
  records,
  records_csv,
  stats,
  metrics,
  station_rows,
  station_state,
  station_people,
  station_audit,
  station_release,
  station_release_file,
  station_allowance,
  session,
  sign_in,
  sign_out,
  people_check,
  people_list,
  people_add,
  person_change,
  audit,
  audit_csv,
  firmware_list,
  firmware_add,
  firmware_current,
  firmware_describe,
  firmware_file,
  firmware_release,
  firmware_withdraw,
  firmware_slots,
  station_slot_product
};

// Who may call a route:
//   open        anyone (a page, which asks for what it needs itself)
//   read        a viewer's credential or the admin's
//   station     the credential of the station the path names, or the admin's
//   check       a station's credential, or the admin's
//   supervisor  a person signed in, supervisor or above (or, without
//               --people-required, the admin's credential)
//   engineer    a person signed in, engineer or above (or, without
//               --people-required, the admin's credential)
//   admin       a person signed in as admin (or, without
//               --people-required, the admin's credential)
//   fetch       a station's or a viewer's credential, or the admin's
// A line without an admin token (on 127.0.0.1) takes a request that names no
// credential as the admin's, as it always did.
enum class Gate { open, read, station, check, supervisor, engineer, admin, fetch };

struct Route {
  Action action = Action::none;
  Gate gate = Gate::open;
  std::string station; // of /api/stations/NAME/...
  std::string person;  // of /api/people/NAME/...
  std::string verb;    // of /api/people/NAME/VERB
  std::string allowed; // for a path served under other methods only
  int64_t image = 0;   // of /api/firmware/ID/...
};

const char STATIONS[] = "/api/stations/";
const char PEOPLE[] = "/api/people/";
const char FIRMWARE[] = "/api/firmware/";

struct Path {
  const char* path;
  const char* method;
  Action action;
  Gate gate;
};

const Path PATHS[] = {
    {"/", "GET", Action::page, Gate::open},
    {"/people", "GET", Action::people_page, Gate::open},
    {"/api/line", "GET", Action::line, Gate::read},
    {"/api/events", "GET", Action::events, Gate::read},
    {"/api/records", "GET", Action::records, Gate::read},
    {"/api/records.csv", "GET", Action::records_csv, Gate::read},
    {"/api/stats", "GET", Action::stats, Gate::read},
    {"/metrics", "GET", Action::metrics, Gate::read},
    {"/api/session", "GET", Action::session, Gate::read},
    {"/api/session", "POST", Action::sign_in, Gate::read},
    {"/api/session", "DELETE", Action::sign_out, Gate::read},
    {"/api/people/check", "POST", Action::people_check, Gate::check},
    {"/api/people", "GET", Action::people_list, Gate::admin},
    {"/api/people", "POST", Action::people_add, Gate::admin},
    {"/api/audit", "GET", Action::audit, Gate::supervisor},
    {"/api/audit.csv", "GET", Action::audit_csv, Gate::supervisor},
    {"/api/firmware", "GET", Action::firmware_list, Gate::read},
    {"/api/firmware", "POST", Action::firmware_add, Gate::engineer},
    {"/api/firmware/current", "GET", Action::firmware_current, Gate::fetch},
    {"/api/firmware/slots", "GET", Action::firmware_slots, Gate::read},
};

// /api/firmware/ID, /api/firmware/ID/file, /api/firmware/ID/release and
// /api/firmware/ID/withdraw.
Route firmware_route(const std::string& path, const std::string& method) {
  const size_t from = std::char_traits<char>::length(FIRMWARE);
  const size_t slash = path.find('/', from);
  const std::string digits = path.substr(from, slash == std::string::npos ? slash : slash - from);
  if (digits.empty() || digits.size() > 15 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return {};
  }
  const std::string what = slash == std::string::npos ? "" : path.substr(slash + 1);
  Route route;
  route.image = std::stoll(digits);
  const bool get = what.empty() || what == "file";
  if (!get && what != "release" && what != "withdraw") return {};
  if (method != (get ? "GET" : "POST")) {
    route.allowed = get ? "GET, HEAD" : "POST";
    return route;
  }
  route.action = what.empty()        ? Action::firmware_describe
                 : what == "file"    ? Action::firmware_file
                 : what == "release" ? Action::firmware_release
                                     : Action::firmware_withdraw;
  route.gate = what.empty() ? Gate::read : what == "file" ? Gate::fetch : Gate::engineer;
  return route;
}

Route route_of(const std::string& path, const std::string& method) {
  Route route;
  for (const Path& p : PATHS) {
    if (path != p.path) continue;
    if (method == p.method) return {p.action, p.gate, "", "", "", ""};
    route.allowed += (route.allowed.empty() ? "" : ", ") +
                     std::string(std::string(p.method) == "GET" ? "GET, HEAD" : p.method);
  }
  if (!route.allowed.empty()) return route;
  if (path.rfind(FIRMWARE, 0) == 0) return firmware_route(path, method);
  // /api/stations/NAME/WHAT and /api/people/NAME/VERB, the name
  // percent-encoded as a path segment must be.
  for (const char* prefix : {STATIONS, PEOPLE}) {
    if (path.rfind(prefix, 0) != 0) continue;
    const size_t from = std::char_traits<char>::length(prefix);
    const size_t slash = path.find('/', from);
    if (slash == std::string::npos) return {};
    std::string name;
    if (!url_decoded(path.substr(from, slash - from), &name)) return {};
    const std::string what = path.substr(slash + 1);
    if (method != "POST") return Route{Action::none, Gate::open, "", "", "", "POST"};
    if (prefix == STATIONS) {
      route = {Action::none, Gate::station, name, "", "", ""};
      if (what == "records") route.action = Action::station_rows;
      else if (what == "state") route.action = Action::station_state;
      else if (what == "people") route.action = Action::station_people;
      else if (what == "audit") route.action = Action::station_audit;
      else if (what == "release") route.action = Action::station_release;
      else if (what == "release-file") route.action = Action::station_release_file;
      else if (what == "allowance") route.action = Action::station_allowance;
      else if (what == "slot-product") {
        route.action = Action::station_slot_product;
        route.gate = Gate::engineer;
      }
      return route;
    }
    if (what == "disable" || what == "reset")
      return {Action::person_change, Gate::admin, "", name, what, ""};
  }
  return {};
}

// The class of a path's routes (whatever the method), as the count of
// answers names it.
const char* route_class(const std::string& path) {
  for (const char* method : {"GET", "POST", "DELETE"}) {
    switch (route_of(path, method).action) {
    case Action::page:
    case Action::people_page:
      return "page";
    case Action::line:
      return "line";
    case Action::events:
      return "events";
    case Action::records:
    case Action::records_csv:
      return "records";
    case Action::stats:
      return "stats";
    case Action::metrics:
      return "metrics";
    case Action::station_rows:
    case Action::station_state:
    case Action::station_people:
    case Action::station_audit:
    case Action::station_release:
    case Action::station_release_file:
    case Action::station_allowance:
      return "station";
    case Action::session:
    case Action::sign_in:
    case Action::sign_out:
      return "session";
    case Action::people_check:
    case Action::people_list:
    case Action::people_add:
    case Action::person_change:
      return "people";
    case Action::audit:
    case Action::audit_csv:
      return "audit";
    case Action::firmware_list:
    case Action::firmware_add:
    case Action::firmware_current:
    case Action::firmware_describe:
    case Action::firmware_file:
    case Action::firmware_release:
    case Action::firmware_withdraw:
    case Action::firmware_slots:
    case Action::station_slot_product:
      return "firmware";
    case Action::none:
      break;
    }
  }
  return "other";
}

HttpAnswer reply(const LineReply& r) {
  if (r.status >= 400) {
    HttpAnswer refusal = http_error(r.status, r.body.value("error", ""));
    if (r.retry_after_s > 0)
      refusal.headers.emplace_back("Retry-After", std::to_string(r.retry_after_s));
    return refusal;
  }
  HttpAnswer answer;
  answer.status = r.status;
  answer.headers.emplace_back("Cache-Control", "no-store");
  answer.body = r.text.empty() ? json_line(r.body) : r.text;
  return answer;
}

// Who asks: the credential, and the person of a session.
struct Asker {
  AuthResult credential;
  bool as_admin = false; // the admin's credential, or none on an open line
  std::optional<SessionPerson> person;
  std::string name() const {
    if (person) return person->name;
    if (credential.status == AuthStatus::ok) return credential.who.name;
    return "local";
  }
};

// The answers, on the face's handler threads.
class LineRoutes {
public:
  LineRoutes(Line& l, const Credentials& c, LinePeople& p, FirmwareCatalogue& f)
      : line(l), credentials(c), people(p), firmware(f) {}

  // Every answer the face gave, by route class and status.
  HttpAnswerCounts answers;

  std::optional<HttpAnswer> check(const HttpRequest& head) const;
  std::optional<HttpAnswer> answer_at_once(const HttpRequest& req);
  HttpAnswer answer(const HttpRequest& req);

private:
  HttpAnswer records(const HttpRequest& req, bool csv);
  HttpAnswer firmware_file(int64_t id);
  Asker asker(const HttpRequest& head) const;
  std::optional<HttpAnswer> refused_access(const Route& route, const Asker& who) const;
  std::optional<HttpAnswer> refused_station(const Route& route, const Asker& who) const;

  Line& line;
  const Credentials& credentials;
  LinePeople& people;
  FirmwareCatalogue& firmware;
};

Asker LineRoutes::asker(const HttpRequest& head) const {
  Asker who;
  who.credential = credentials.identify(head.header("Authorization"));
  who.as_admin =
      (who.credential.status == AuthStatus::ok && who.credential.who.role == Role::admin) ||
      (who.credential.status == AuthStatus::none && !credentials.has_admin());
  who.person = people.person_of(head.header("Cookie"));
  return who;
}

std::optional<HttpAnswer> LineRoutes::refused_access(const Route& route, const Asker& who) const {
  if (route.gate == Gate::open) return std::nullopt;
  if (who.credential.status != AuthStatus::ok && !who.as_admin) {
    HttpAnswer refusal =
        http_error(401,
                   who.credential.status == AuthStatus::none
                       ? "this line needs a credential: Authorization: Bearer TOKEN"
                       : "this line knows no such credential (revoked, or never made): ask the "
                         "line's admin for one (orvaload-line credential add)");
    refusal.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"orvaload line\"");
    return refusal;
  }
  const Identity& id = who.credential.who;
  const std::string credential =
      "the " + std::string(role_name(id.role)) + " credential '" + id.name + "'";
  switch (route.gate) {
  case Gate::open:
    break;
  case Gate::read:
    if (who.as_admin || id.role == Role::viewer) return std::nullopt;
    return http_error(403, credential + " may not read the line: a viewer credential may");
  case Gate::check:
    if (who.as_admin || id.role == Role::station) return std::nullopt;
    return http_error(403, credential + " checks no sign-ins: a station's credential does");
  case Gate::station:
    if (who.as_admin) return std::nullopt;
    if (id.role != Role::station)
      return http_error(403, credential + " may not report for a station");
    if (route.station != id.name) {
      return http_error(403, "the credential of station '" + id.name +
                                 "' reports for that station only, not for '" + route.station +
                                 "'");
    }
    return std::nullopt;
  case Gate::fetch:
    if (who.as_admin || id.role == Role::station || id.role == Role::viewer) return std::nullopt;
    return http_error(403, credential + " may not fetch firmware");
  case Gate::supervisor:
  case Gate::engineer:
  case Gate::admin: {
    const PersonRole needed = route.gate == Gate::admin      ? PersonRole::admin
                              : route.gate == Gate::engineer ? PersonRole::engineer
                                                             : PersonRole::supervisor;
    if (!who.as_admin && id.role != Role::viewer) {
      return http_error(403, credential + " may not: sign in on the line's page");
    }
    if (who.person && person_role_allows(who.person->role, needed)) return std::nullopt;
    if (!who.person && who.as_admin && !people.people_required()) return std::nullopt;
    if (!who.person) {
      return http_error(401, std::string("sign in first: this takes a person signed in as ") +
                                 person_role_name(needed) + " or above (POST /api/session)");
    }
    return http_error(403, who.person->name + " is " + person_role_name(who.person->role) +
                               ": this takes " + person_role_name(needed) + " or above");
  }
  }
  return std::nullopt;
}

// A station without a credential of its own reports while the line has room.
std::optional<HttpAnswer> LineRoutes::refused_station(const Route& route, const Asker& who) const {
  if (route.gate != Gate::station) return std::nullopt;
  if (!credential_name_is_valid(route.station)) {
    return http_error(404, std::string("a station's name on the line is ") + CREDENTIAL_NAME_RULE);
  }
  const bool own =
      who.credential.status == AuthStatus::ok && who.credential.who.role == Role::station;
  std::string why;
  if (line.may_report(route.station, own, &why)) return std::nullopt;
  return http_error(403, why);
}

std::optional<HttpAnswer> LineRoutes::check(const HttpRequest& head) const {
  const Route route = route_of(head.path, head.method);
  const Asker who = asker(head);
  if (route.action == Action::none && route.allowed.empty()) {
    if (std::optional<HttpAnswer> refusal =
            refused_access({Action::none, Gate::read, "", "", "", ""}, who)) {
      return refusal;
    }
    return http_error(404, "no such path: " + head.path);
  }
  if (route.action == Action::none) {
    HttpAnswer refusal = http_error(405, head.method + " is not served at " + head.path);
    refusal.headers.emplace_back("Allow", route.allowed);
    return refusal;
  }
  if (std::optional<HttpAnswer> refusal = refused_access(route, who)) return refusal;
  if (std::optional<HttpAnswer> refusal = refused_station(route, who)) return refusal;
  return std::nullopt;
}

HttpAnswer with_cookie(HttpAnswer answer, const std::string& cookie) {
  if (!cookie.empty()) answer.headers.emplace_back("Set-Cookie", cookie);
  return answer;
}

std::optional<HttpAnswer> LineRoutes::answer_at_once(const HttpRequest& req) {
  // A station's state, sent twice a second while it works, is most of what
  // the line is asked.
  const Route route = route_of(req.path, req.method);
  if (route.action != Action::station_state) return std::nullopt;
  const std::optional<LineReply> taken = line.receive_state_at_once(route.station, req.body);
  if (!taken) return std::nullopt;
  return reply(*taken);
}

HttpAnswer LineRoutes::answer(const HttpRequest& req) {
  const Route route = route_of(req.path, req.method);
  const Asker who = asker(req);
  std::string cookie;
  switch (route.action) {
  case Action::page:
    return http_page(LINE_PAGE, LINE_PAGE_SIZE);
  case Action::people_page:
    return http_page(LINE_PEOPLE_PAGE, LINE_PEOPLE_PAGE_SIZE);
  case Action::line:
    return reply(line.state());
  case Action::events:
    return event_stream_answer(line.streams(), line.open_stream());
  case Action::records:
    return records(req, false);
  case Action::records_csv:
    return records(req, true);
  case Action::stats:
    return reply(line.stats(req.query));
  case Action::metrics: {
    MetricsText text;
    line.metrics(&text);
    answers.write(&text);
    return http_metrics(text.text());
  }
  case Action::station_rows:
    return reply(line.receive_rows(route.station, req.body));
  case Action::station_state:
    return reply(line.receive_state(route.station, req.body));
  case Action::station_people:
    return reply(people.people_for_station());
  case Action::station_audit:
    return reply(people.audit_receive(route.station, req.body));
  case Action::session:
    return reply(people.session(who.person));
  case Action::sign_in: {
    const LineReply signed_in = people.sign_in(req.body, &cookie);
    return with_cookie(reply(signed_in), cookie);
  }
  case Action::sign_out: {
    const LineReply signed_out = people.sign_out(req.header("Cookie"), &cookie);
    return with_cookie(reply(signed_out), cookie);
  }
  case Action::people_check:
    return reply(people.check(who.name(), req.body));
  case Action::people_list:
    return reply(people.people_list());
  case Action::people_add:
    return reply(people.people_change(who.name(), "", "add", req.body));
  case Action::person_change:
    return reply(people.people_change(who.name(), route.person, route.verb, req.body));
  case Action::audit:
  case Action::audit_csv: {
    std::string file;
    const LineReply read = people.audit_query(req.query, route.action == Action::audit_csv, &file);
    if (read.status != 200 || route.action == Action::audit) return reply(read);
    return http_csv(std::move(file), "line-audit.csv");
  }
  case Action::firmware_list:
    return reply(firmware.list());
  case Action::firmware_add: {
    FirmwareUpload upload;
    const std::string problem = FirmwareCatalogue::upload_of_query(req, &upload);
    if (!problem.empty()) return http_error(400, problem);
    return reply(firmware.add(who.name(), upload, req.body));
  }
  case Action::firmware_current: {
    std::string product;
    if (!url_decoded(req.param("product"), &product))
      return http_error(400, "product: not well-formed");
    return reply(firmware.current(product));
  }
  case Action::firmware_describe:
    return reply(firmware.describe(route.image));
  case Action::firmware_file:
    return firmware_file(route.image);
  case Action::station_release: {
    // {"product": P}: its current release, or null when it has none.
    Json body;
    const std::string problem = json_read(req.body, &body);
    const Json& product =
        problem.empty() && body.is_object() ? json_member(body, "product") : Json();
    if (!product.is_string()) return http_error(400, "send {\"product\": P}");
    const LineReply current = firmware.current(product.get<std::string>());
    if (current.status != 200 && current.status != 404) return reply(current);
    Json answer{{"release", current.status == 404 ? Json() : current.body}};
    // The slots of the station given another product, as {"N": P}.
    const LineReply given = firmware.slot_products(route.station);
    if (given.status != 200) return reply(given);
    Json slots = Json::object();
    for (const Json& slot : given.body["slots"]) {
      slots[std::to_string(slot["slot"].get<int64_t>())] = slot["product"];
    }
    if (!slots.empty()) answer["slot_products"] = slots;
    return reply({200, answer});
  }
  case Action::firmware_slots:
    return reply(firmware.slot_products(""));
  case Action::station_slot_product:
    return reply(firmware.set_slot_product(who.name(), route.station, req.body));
  case Action::station_allowance:
    return reply(firmware.allowance(route.station, req.body));
  case Action::station_release_file: {
    Json body;
    const std::string problem = json_read(req.body, &body);
    const Json& id = problem.empty() && body.is_object() ? json_member(body, "id") : Json();
    if (!id.is_number_integer()) return http_error(400, "send {\"id\": N}");
    return firmware_file(id.get<int64_t>());
  }
  case Action::firmware_release:
  case Action::firmware_withdraw: {
    Json body;
    const std::string problem = req.body.empty() ? "" : json_read(req.body, &body);
    if (!problem.empty()) return http_error(400, problem);
    if (route.action == Action::firmware_withdraw) {
      const Json& reason = body.is_object() ? json_member(body, "reason") : Json();
      if (!reason.is_string()) return http_error(400, "send {\"reason\": TEXT}");
      return reply(firmware.withdraw(who.name(), route.image, reason.get<std::string>()));
    }
    const Json& most = body.is_object() ? json_member(body, "max_units") : Json();
    if (!most.is_null() && (!most.is_number_integer() || most.get<int64_t>() < 1)) {
      return http_error(400, "max_units: a whole number of units, 1 or more");
    }
    return reply(
        firmware.release(who.name(), route.image, most.is_null() ? 0 : most.get<int64_t>()));
  }
  case Action::none:
    break;
  }
  return http_error(404, "no such path: " + req.path);
}

// A released image's file as it was uploaded.
HttpAnswer LineRoutes::firmware_file(int64_t id) {
  std::string file;
  const LineReply read = firmware.file(id, &file);
  if (read.status != 200) return reply(read);
  HttpAnswer answer;
  answer.content_type = "application/octet-stream";
  answer.headers.emplace_back("Cache-Control", "no-store");
  answer.body = std::move(file);
  return answer;
}

HttpAnswer LineRoutes::records(const HttpRequest& req, bool csv) {
  RecordQuery query;
  const std::string problem = record_query_parse(req.query, csv, true, &query);
  if (!problem.empty()) return http_error(400, problem);
  if (!csv) return reply(line.records(query));
  std::shared_ptr<HttpStreamSource> file;
  const LineReply read = line.records_csv(query, &file);
  if (read.status != 200) return reply(read);
  // Made a page of rows at a time as the reader takes it.
  HttpAnswer answer = http_csv("", "line-records.csv");
  answer.stream = std::move(file);
  return answer;
}

} // namespace

HttpSite line_site(Line& line, const Credentials& credentials, LinePeople& people,
                   FirmwareCatalogue& firmware) {
  auto routes = std::make_shared<LineRoutes>(line, credentials, people, firmware);
  HttpSite site;
  site.name = "line";
  site.check = [routes](const HttpRequest& head) { return routes->check(head); };
  site.answer = [routes](const HttpRequest& req) { return routes->answer(req); };
  site.answer_at_once = [routes](const HttpRequest& req) { return routes->answer_at_once(req); };
  // Without an admin token every request is as good as one with a credential.
  site.credentialed = [&credentials](const HttpRequest& head) {
    return !credentials.has_admin() ||
           credentials.identify(head.header("Authorization")).status == AuthStatus::ok;
  };
  site.body_limit = LINE_BODY_LIMIT;
  site.answered = [routes](const std::string& path, int status) {
    routes->answers.count(route_class(path), status);
  };
  // An image goes up as the body itself, within its own limit.
  site.file_limit = [&firmware](const HttpRequest& head) -> size_t {
    return head.method == "POST" && head.path == "/api/firmware" ? firmware.rules().max_bytes : 0;
  };
  return site;
}

HttpLimits line_http_limits(const std::vector<CredentialRow>& credentials,
                            const std::vector<std::string>& stations_heard) {
  std::set<std::string> stations(stations_heard.begin(), stations_heard.end());
  size_t viewers = 0;
  for (const CredentialRow& row : credentials) {
    if (!row.revoked_at.empty()) continue;
    if (row.role == Role::station) stations.insert(row.name);
    viewers += row.role == Role::viewer;
  }
  const size_t known = stations.size() + viewers;
  HttpLimits limits;
  limits.connections = HTTP_CONNECTIONS_MAX + known;
  limits.credential_places = HTTP_CREDENTIAL_PLACES + known;
  return limits;
}

size_t line_open_files(const HttpLimits& limits) {
  return limits.connections + EventStreams::STREAM_LIMIT + LINE_CSV_STREAMS_MAX + LINE_FILES_SPARE;
}

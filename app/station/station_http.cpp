#include "app/station/station_http.h"

#include <map>
#include <regex>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/http/event_streams.h"
#include "app/http/http_face.h"
#include "app/http/metrics.h"
#include "app/runs/event_json.h"
#include "app/runs/json_read.h"
#include "app/runs/record_json.h"
#include "app/runs/unit_tag.h"
#include "app/station/station.h"
#include "app/station/station_page.h"

namespace {

using json = nlohmann::ordered_json;

// Slot numbers in a path: a few digits, so that none overflows.
constexpr size_t SLOT_DIGITS_MAX = 6;
// Run numbers in a cancel's body.
constexpr long RUN_MAX = 1000000000;

enum class Method { get, post };

enum class Action {
  page,
  station,
  events,
  records,
  records_csv,
  run_all,
  run_slot,
  cancel_slot,
  metrics
};

struct Route {
  const char* path; // a regular expression over the whole path
  Method method;
  bool needs_token;
  Action action;
  const char* what; // the route's class, as the count of answers names it
};

const Route ROUTES[] = {
    {"/", Method::get, false, Action::page, "page"}, // the page asks for the token itself
    {"/api/station", Method::get, true, Action::station, "station"},
    {"/api/events", Method::get, true, Action::events, "events"},
    {"/api/records", Method::get, true, Action::records, "records"},
    {"/api/records\\.csv", Method::get, true, Action::records_csv, "records"},
    {"/api/run", Method::post, true, Action::run_all, "run"},
    {"/api/slots/([^/]+)/run", Method::post, true, Action::run_slot, "run"},
    {"/api/slots/([^/]+)/cancel", Method::post, true, Action::cancel_slot, "run"},
    {"/metrics", Method::get, true, Action::metrics, "metrics"},
};

// The route of a path, and what its one group matched.
struct Found {
  const Route* route = nullptr;
  std::string part;
};

Found route_of(const std::string& path) {
  static const std::vector<std::regex> patterns = [] {
    std::vector<std::regex> compiled;
    for (const Route& route : ROUTES) compiled.emplace_back(route.path);
    return compiled;
  }();
  std::smatch match;
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (std::regex_match(path, match, patterns[i])) {
      return {&ROUTES[i], match.size() > 1 ? match[1].str() : ""};
    }
  }
  return {};
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

// The routes, behind the face's own checks.
class StationSite {
public:
  StationSite(Station& station, std::string token) : station_(station), token_(std::move(token)) {}

  std::optional<HttpAnswer> check(const HttpRequest& head) const;
  HttpAnswer answer(const HttpRequest& req);

  // Every answer the face gave, by route class and status.
  HttpAnswerCounts answers;

private:
  HttpAnswer run_slot(const HttpRequest& req, const std::string& text);
  HttpAnswer run_all(const HttpRequest& req);
  HttpAnswer cancel_slot(const HttpRequest& req, const std::string& text);
  HttpAnswer events();
  HttpAnswer records(const HttpRequest& req, bool csv);

  Station& station_;
  const std::string token_;
};

std::optional<HttpAnswer> StationSite::check(const HttpRequest& head) const {
  const Found found = route_of(head.path);
  const bool needs_token = found.route == nullptr || found.route->needs_token;
  if (!token_.empty() && needs_token &&
      !http_bearer_matches(head.header("Authorization"), token_)) {
    HttpAnswer refusal = refuse(401, "this station needs its token: Authorization: Bearer TOKEN");
    refusal.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"orvaload station\"");
    return refusal;
  }
  if (found.route == nullptr) return refuse(404, "no such path: " + head.path);
  const Method method = head.method == "POST" ? Method::post : Method::get;
  if ((head.method != "GET" && head.method != "POST") || method != found.route->method) {
    HttpAnswer refusal = refuse(405, head.method + " is not served at " + head.path);
    refusal.headers.emplace_back("Allow",
                                 found.route->method == Method::post ? "POST" : "GET, HEAD");
    return refusal;
  }
  return std::nullopt;
}

HttpAnswer StationSite::answer(const HttpRequest& req) {
  const Found found = route_of(req.path);
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
    return run_all(req);
  case Action::run_slot:
    return run_slot(req, found.part);
  case Action::cancel_slot:
    return cancel_slot(req, found.part);
  case Action::metrics: {
    MetricsText text;
    station_.metrics(&text);
    answers.write(&text);
    return http_metrics(text.text());
  }
  }
  return refuse(404, "no such path: " + req.path);
}

HttpAnswer StationSite::run_slot(const HttpRequest& req, const std::string& text) {
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
  return reply(station_.start(slot, tag));
}

HttpAnswer StationSite::run_all(const HttpRequest& req) {
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
  return reply(station_.start_all(tags));
}

HttpAnswer StationSite::cancel_slot(const HttpRequest& req, const std::string& text) {
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
  return reply(station_.cancel(slot, run));
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

HttpSite station_site(Station& station, std::string token) {
  auto routes = std::make_shared<StationSite>(station, token);
  HttpSite site;
  site.name = "station";
  site.check = [routes](const HttpRequest& head) { return routes->check(head); };
  site.answer = [routes](const HttpRequest& req) { return routes->answer(req); };
  site.credentialed = [token](const HttpRequest& head) {
    return token.empty() || http_bearer_matches(head.header("Authorization"), token);
  };
  site.answered = [routes](const std::string& path, int status) {
    const Found found = route_of(path);
    routes->answers.count(found.route != nullptr ? found.route->what : "other", status);
  };
  return site;
}

#include "app/line/line_http.h"

#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "app/http/event_streams.h"
#include "app/http/metrics.h"
#include "app/line/line_page.h"
#include "app/runs/event_json.h"
#include "app/runs/record_json.h"

namespace {

enum class Action {
  none,
  page,
  line,
  events,
  records,
  records_csv,
  stats,
  metrics,
  station_rows,
  station_state
};

struct Route {
  Action action = Action::none;
  bool post = false;
  std::string station; // of /api/stations/NAME/...
};

const char STATIONS[] = "/api/stations/";

Route route_of(const std::string& path) {
  if (path == "/") return {Action::page, false, ""};
  if (path == "/api/line") return {Action::line, false, ""};
  if (path == "/api/events") return {Action::events, false, ""};
  if (path == "/api/records") return {Action::records, false, ""};
  if (path == "/api/records.csv") return {Action::records_csv, false, ""};
  if (path == "/api/stats") return {Action::stats, false, ""};
  if (path == "/metrics") return {Action::metrics, false, ""};
  if (path.rfind(STATIONS, 0) != 0) return {};
  const size_t from = sizeof STATIONS - 1;
  const size_t slash = path.find('/', from);
  if (slash == std::string::npos) return {};
  const std::string what = path.substr(slash + 1);
  // A station's name comes percent-encoded, as a path segment must be.
  Route route{Action::none, true, ""};
  if (!url_decoded(path.substr(from, slash - from), &route.station)) return {};
  if (what == "records") route.action = Action::station_rows;
  else if (what == "state") route.action = Action::station_state;
  return route;
}

// The class of a route, as the count of answers names it.
const char* route_class(const std::string& path) {
  switch (route_of(path).action) {
  case Action::page:
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
    return "report";
  case Action::none:
    break;
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
  answer.headers.emplace_back("Cache-Control", "no-store");
  answer.body = r.text.empty() ? json_line(r.body) : r.text;
  return answer;
}

// Who may: the page is for anyone (it asks for a credential itself); the
// line's state, events, records, figures and metrics for viewers; a
// station's reports for that station's credential.
bool reads(Action action) {
  return action == Action::line || action == Action::events || action == Action::records ||
         action == Action::records_csv || action == Action::stats || action == Action::metrics;
}

// The answers, on the face's handler threads.
class LineRoutes {
public:
  LineRoutes(Line& l, const Credentials& c) : line(l), credentials(c) {}

  // Every answer the face gave, by route class and status.
  HttpAnswerCounts answers;

  std::optional<HttpAnswer> check(const HttpRequest& head) const;
  HttpAnswer answer(const HttpRequest& req);

private:
  HttpAnswer records(const HttpRequest& req, bool csv);
  std::optional<HttpAnswer> refused_access(const Route& route, const HttpRequest& head) const;
  std::optional<HttpAnswer> refused_station(const Route& route, const HttpRequest& head) const;

  Line& line;
  const Credentials& credentials;
};

std::optional<HttpAnswer> LineRoutes::refused_access(const Route& route,
                                                     const HttpRequest& head) const {
  if (route.action == Action::page) return std::nullopt;
  const AuthResult who = credentials.identify(head.header("Authorization"));
  // A line without an admin token (on 127.0.0.1) is open to
  // requests that name no credential, as it always was.
  if (who.status == AuthStatus::none && !credentials.has_admin()) return std::nullopt;
  if (who.status != AuthStatus::ok) {
    HttpAnswer refusal =
        http_error(401,
                   who.status == AuthStatus::none
                       ? "this line needs a credential: Authorization: Bearer TOKEN"
                       : "this line knows no such credential (revoked, or never made): ask the "
                         "line's admin for one (orvaload-line credential add)");
    refusal.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"orvaload line\"");
    return refusal;
  }
  const Identity& id = who.who;
  if (id.role == Role::admin) return std::nullopt;
  if (reads(route.action)) {
    if (id.role == Role::viewer) return std::nullopt;
    return http_error(403, "the " + std::string(role_name(id.role)) + " credential '" + id.name +
                               "' may not read the line: a viewer credential may");
  }
  if (id.role != Role::station) {
    return http_error(403, "the " + std::string(role_name(id.role)) + " credential '" + id.name +
                               "' may not report for a station");
  }
  if (route.station != id.name) {
    return http_error(403, "the credential of station '" + id.name +
                               "' reports for that station only, not for '" + route.station + "'");
  }
  return std::nullopt;
}

// A station without a credential of its own reports while the line has room.
std::optional<HttpAnswer> LineRoutes::refused_station(const Route& route,
                                                      const HttpRequest& head) const {
  if (!route.post) return std::nullopt;
  const AuthResult who = credentials.identify(head.header("Authorization"));
  const bool own = who.status == AuthStatus::ok && who.who.role == Role::station;
  std::string why;
  if (line.may_report(route.station, own, &why)) return std::nullopt;
  return http_error(403, why);
}

std::optional<HttpAnswer> LineRoutes::check(const HttpRequest& head) const {
  const Route route = route_of(head.path);
  if (std::optional<HttpAnswer> refusal = refused_access(route, head)) return refusal;
  if (route.action == Action::none) return http_error(404, "no such path: " + head.path);
  if ((head.method != "GET" && head.method != "POST") || (head.method == "POST") != route.post) {
    HttpAnswer refusal = http_error(405, head.method + " is not served at " + head.path);
    refusal.headers.emplace_back("Allow", route.post ? "POST" : "GET, HEAD");
    return refusal;
  }
  if (route.post && !credential_name_is_valid(route.station)) {
    return http_error(404, std::string("a station's name on the line is ") + CREDENTIAL_NAME_RULE);
  }
  if (std::optional<HttpAnswer> refusal = refused_station(route, head)) return refusal;
  return std::nullopt;
}

HttpAnswer LineRoutes::answer(const HttpRequest& req) {
  const Route route = route_of(req.path);
  switch (route.action) {
  case Action::page:
    return http_page(LINE_PAGE, LINE_PAGE_SIZE);
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
  case Action::none:
    break;
  }
  return http_error(404, "no such path: " + req.path);
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

HttpSite line_site(Line& line, const Credentials& credentials) {
  auto routes = std::make_shared<LineRoutes>(line, credentials);
  HttpSite site;
  site.name = "line";
  site.check = [routes](const HttpRequest& head) { return routes->check(head); };
  site.answer = [routes](const HttpRequest& req) { return routes->answer(req); };
  // Without an admin token every request is as good as one with a credential.
  site.credentialed = [&credentials](const HttpRequest& head) {
    return !credentials.has_admin() ||
           credentials.identify(head.header("Authorization")).status == AuthStatus::ok;
  };
  site.body_limit = LINE_BODY_LIMIT;
  site.answered = [routes](const std::string& path, int status) {
    routes->answers.count(route_class(path), status);
  };
  return site;
}

#include "app/line/line_http.h"

#include <nlohmann/json.hpp>

#include "app/http/event_streams.h"
#include "app/line/line_page.h"
#include "app/runs/event_json.h"
#include "app/runs/record_json.h"

namespace {

enum class Action { none, page, line, events, records, records_csv, station_rows, station_state };

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
  if (path.rfind(STATIONS, 0) != 0) return {};
  const size_t from = sizeof STATIONS - 1;
  const size_t slash = path.find('/', from);
  if (slash == std::string::npos) return {};
  const std::string what = path.substr(slash + 1);
  Route route{Action::none, true, path.substr(from, slash - from)};
  if (what == "records") route.action = Action::station_rows;
  else if (what == "state") route.action = Action::station_state;
  return route;
}

HttpAnswer reply(const LineReply& r) {
  HttpAnswer answer;
  answer.status = r.status;
  answer.headers.emplace_back("Cache-Control", "no-store");
  answer.body = json_line(r.body);
  return answer;
}

HttpAnswer refuse(int status, const std::string& text) {
  return reply(line_error(status, text));
}

} // namespace

struct LineServer::Impl {
  Impl(Line& l, HttpAddress address, std::string t) : line(l), token(std::move(t)) {
    HttpSite site;
    site.name = "line";
    site.check = [this](const HttpRequest& head) { return check(head); };
    site.answer = [this](const HttpRequest& req) { return answer(req); };
    site.body_limit = LINE_BODY_LIMIT;
    server = std::make_unique<HttpServer>(std::move(address), std::move(site));
  }

  std::optional<HttpAnswer> check(const HttpRequest& head) const;
  HttpAnswer answer(const HttpRequest& req);
  HttpAnswer records(const HttpRequest& req, bool csv);
  HttpAnswer events();

  Line& line;
  const std::string token;
  std::unique_ptr<HttpServer> server;
};

std::optional<HttpAnswer> LineServer::Impl::check(const HttpRequest& head) const {
  const Route route = route_of(head.path);
  // The page asks for the token itself.
  if (!token.empty() && route.action != Action::page &&
      !http_bearer_matches(head.header("Authorization"), token)) {
    HttpAnswer refusal = refuse(401, "this line needs its token: Authorization: Bearer TOKEN");
    refusal.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"orvaload line\"");
    return refusal;
  }
  if (route.action == Action::none) return refuse(404, "no such path: " + head.path);
  if ((head.method != "GET" && head.method != "POST") || (head.method == "POST") != route.post) {
    HttpAnswer refusal = refuse(405, head.method + " is not served at " + head.path);
    refusal.headers.emplace_back("Allow", route.post ? "POST" : "GET, HEAD");
    return refusal;
  }
  if (route.post && !line_station_name_is_valid(route.station)) {
    return refuse(404, "a station's name is printable ASCII without '/', 1 to " +
                           std::to_string(LINE_NAME_MAX) + " characters");
  }
  return std::nullopt;
}

HttpAnswer LineServer::Impl::answer(const HttpRequest& req) {
  const Route route = route_of(req.path);
  switch (route.action) {
  case Action::page:
    return http_page(LINE_PAGE, LINE_PAGE_SIZE);
  case Action::line:
    return reply(line.state());
  case Action::events:
    return events();
  case Action::records:
    return records(req, false);
  case Action::records_csv:
    return records(req, true);
  case Action::station_rows:
    return reply(line.receive_rows(route.station, req.body));
  case Action::station_state:
    return reply(line.receive_state(route.station, req.body));
  case Action::none:
    break;
  }
  return refuse(404, "no such path: " + req.path);
}

HttpAnswer LineServer::Impl::records(const HttpRequest& req, bool csv) {
  RecordQuery query;
  const std::string problem = record_query_parse(req.query, csv, true, &query);
  if (!problem.empty()) return refuse(400, problem);
  if (!csv) return reply(line.records(query));
  std::string file;
  const LineReply read = line.records_csv(query, &file);
  if (read.status != 200) return reply(read);
  HttpAnswer answer;
  answer.content_type = "text/csv; charset=utf-8";
  answer.headers = {{"Cache-Control", "no-store"},
                    {"Content-Disposition", "attachment; filename=\"line-records.csv\""}};
  answer.body = std::move(file);
  return answer;
}

// Server-Sent Events: each event one "data:" line, beginning with every
// station and the totals.
HttpAnswer LineServer::Impl::events() {
  std::shared_ptr<EventStream> stream = line.open_stream();
  if (!stream) return refuse(503, "too many event streams are open; close one and try again");
  HttpAnswer answer;
  answer.content_type = "text/event-stream";
  answer.headers = {{"Cache-Control", "no-store"}, {"X-Accel-Buffering", "no"}};
  answer.stream = std::make_shared<EventStreamSource>(line.streams(), std::move(stream));
  return answer;
}

LineServer::LineServer(Line& line, HttpAddress address, std::string token)
    : impl_(std::make_unique<Impl>(line, std::move(address), std::move(token))) {}

LineServer::~LineServer() = default;

HttpListenResult LineServer::bind() {
  return impl_->server->bind();
}

int LineServer::port() const {
  return impl_->server->port();
}

void LineServer::serve() {
  impl_->server->serve();
}

void LineServer::stop() {
  impl_->server->stop();
}

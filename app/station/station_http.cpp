#include "app/station/station_http.h"

#include <map>
#include <regex>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/http/http_face.h"
#include "app/runs/event_json.h"
#include "app/runs/unit_tag.h"
#include "app/station/station.h"
#include "app/station/station_page.h"

namespace {

using json = nlohmann::ordered_json;

constexpr size_t RECORDS_DEFAULT = 20;
constexpr size_t RECORDS_MAX = 1000;
// A CSV file holds up to the store's most rows, the newest by default.
constexpr size_t CSV_DEFAULT = 1000;
const char* const RESULTS[] = {"running", "ok", "failed", "cancelled", "not-opened", "interrupted"};
// Slot numbers in a path: a few digits, so that none overflows.
constexpr size_t SLOT_DIGITS_MAX = 6;
// Run numbers in a cancel's body.
constexpr long RUN_MAX = 1000000000;

// The page may run its own inline script and style and talk to the station
// alone; it loads nothing from anywhere else and is framed by nobody.
const char PAGE_POLICY[] =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "img-src data:; connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

enum class Method { get, post };

enum class Action { page, station, events, records, records_csv, run_all, run_slot, cancel_slot };

struct Route {
  const char* path; // a regular expression over the whole path
  Method method;
  bool needs_token;
  Action action;
};

const Route ROUTES[] = {
    {"/", Method::get, false, Action::page}, // the page asks for the token itself
    {"/api/station", Method::get, true, Action::station},
    {"/api/events", Method::get, true, Action::events},
    {"/api/records", Method::get, true, Action::records},
    {"/api/records\\.csv", Method::get, true, Action::records_csv},
    {"/api/run", Method::post, true, Action::run_all},
    {"/api/slots/([^/]+)/run", Method::post, true, Action::run_slot},
    {"/api/slots/([^/]+)/cancel", Method::post, true, Action::cancel_slot},
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
  body.value = json::parse(req.body, nullptr, false);
  if (body.value.is_discarded() || !body.value.is_object()) {
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

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A query value percent-decoded, '+' as a space; false for a broken escape.
bool url_decoded(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      *out += ' ';
    } else if (text[i] != '%') {
      *out += text[i];
    } else {
      if (i + 2 >= text.size()) return false;
      const int high = hex_value(text[i + 1]);
      const int low = hex_value(text[i + 2]);
      if (high < 0 || low < 0) return false;
      *out += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  return true;
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

// Server-Sent Events from one of the station's streams, pulled by the face.
class StationStream : public HttpStreamSource {
public:
  StationStream(Station& station, std::shared_ptr<EventStream> stream)
      : station_(station), stream_(std::move(stream)) {}
  bool take(std::string* text) override {
    std::vector<std::string> events;
    if (!stream_->next(&events, 0)) return false;
    // Each event is a JSON line with its own line end; one more ends the
    // message.
    for (const std::string& event : events) *text += "data: " + event + "\n";
    return true;
  }
  void watch(std::function<void()> ready) override { stream_->watch(std::move(ready)); }
  void leave() override {
    stream_->watch(nullptr);
    station_.leave_stream(stream_);
  }

private:
  Station& station_;
  const std::shared_ptr<EventStream> stream_;
};

// The routes, behind the face's own checks.
class StationSite {
public:
  StationSite(Station& station, std::string token) : station_(station), token_(std::move(token)) {}

  std::optional<HttpAnswer> check(const HttpRequest& head) const;
  HttpAnswer answer(const HttpRequest& req);

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
  case Action::page: {
    HttpAnswer page;
    page.content_type = "text/html; charset=utf-8";
    page.headers = {{"Cache-Control", "no-store"},
                    {"Content-Security-Policy", PAGE_POLICY},
                    {"X-Content-Type-Options", "nosniff"}};
    page.body.assign(reinterpret_cast<const char*>(STATION_PAGE), STATION_PAGE_SIZE);
    return page;
  }
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
  const size_t most = csv ? RECORD_QUERY_MAX : RECORDS_MAX;
  RecordFilter filter;
  filter.limit = csv ? CSV_DEFAULT : RECORDS_DEFAULT;
  size_t at = 0;
  while (at < req.query.size()) {
    size_t end = req.query.find('&', at);
    if (end == std::string::npos) end = req.query.size();
    const std::string pair = req.query.substr(at, end - at);
    at = end + 1;
    if (pair.empty()) continue;
    const size_t equals = pair.find('=');
    const std::string name = pair.substr(0, equals);
    std::string value;
    if (equals == std::string::npos || !url_decoded(pair.substr(equals + 1), &value)) {
      return refuse(400, "give " + name + " as NAME=VALUE, its value URL-encoded");
    }
    if (name == "limit") {
      filter.limit = slot_number(value, most);
      if (filter.limit == 0) {
        return refuse(400, "limit is a number from 1 to " + std::to_string(most));
      }
    } else if (name == "tag") {
      if (!unit_tag_is_valid(value)) return refuse(400, "tag: " + tag_problem(value));
      filter.tag = value;
    } else if (name == "result") {
      bool known = false;
      for (const char* result : RESULTS) known = known || value == result;
      if (!known) {
        return refuse(400, "result is one of running, ok, failed, cancelled, not-opened, "
                           "interrupted");
      }
      filter.result = value;
    } else if (name == "since") {
      if (!record_utc_is_valid(value)) {
        return refuse(400, "since is a UTC time such as 2026-12-09 or 2026-12-09T14:06:41Z");
      }
      filter.since = value;
    } else {
      return refuse(400, "unknown parameter '" + name +
                             "': the records take limit, tag, "
                             "result and since");
    }
  }
  if (!csv) return reply(station_.records(filter));
  std::string file;
  const StationReply read = station_.records_csv(filter, &file);
  if (read.status != 200) return reply(read);
  HttpAnswer answer;
  answer.content_type = "text/csv; charset=utf-8";
  answer.headers = {{"Cache-Control", "no-store"},
                    {"Content-Disposition", "attachment; filename=\"records.csv\""}};
  answer.body = std::move(file);
  return answer;
}

// Server-Sent Events: each event one "data:" line. The stream begins with
// every slot's state; it ends when the station does, or when its reader fell
// so far behind that its queue filled (it reconnects and begins afresh).
HttpAnswer StationSite::events() {
  std::shared_ptr<EventStream> stream = station_.open_stream();
  if (!stream) return refuse(503, "too many event streams are open; close one and try again");
  HttpAnswer answer;
  answer.content_type = "text/event-stream";
  answer.headers = {{"Cache-Control", "no-store"}, {"X-Accel-Buffering", "no"}};
  answer.stream = std::make_shared<StationStream>(station_, std::move(stream));
  return answer;
}

} // namespace

HttpSite station_site(Station& station, std::string token) {
  auto routes = std::make_shared<StationSite>(station, std::move(token));
  HttpSite site;
  site.name = "station";
  site.check = [routes](const HttpRequest& head) { return routes->check(head); };
  site.answer = [routes](const HttpRequest& req) { return routes->answer(req); };
  return site;
}

#include "app/station/station_http.h"

#include <httplib.h>

#include <regex>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/runs/event_json.h"
#include "app/runs/unit_tag.h"
#include "app/station/station.h"
#include "app/station/station_page.h"

namespace {

using json = nlohmann::ordered_json;

// Bodies are small JSON objects; anything larger is refused unread.
constexpr size_t BODY_LIMIT = 4096;
// A stream with nothing to say says so this often, which also finds readers
// that have gone.
constexpr int KEEP_ALIVE_MS = 15000;
constexpr size_t RECORDS_DEFAULT = 20;
constexpr size_t RECORDS_MAX = 1000;
// Every open event stream holds a thread; the rest serve requests.
constexpr size_t SERVER_THREADS = EventStreams::STREAM_LIMIT + 8;
// Slot numbers in a path: a few digits, so that none overflows.
constexpr size_t SLOT_DIGITS_MAX = 6;

// The page may run its own inline script and style and talk to the station
// alone; it loads nothing from anywhere else and is framed by nobody.
const char PAGE_POLICY[] =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "img-src data:; connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

enum class Method { get, post };

struct Route {
  const char* path; // a regular expression over the whole path
  Method method;
  bool needs_token;
};

const Route ROUTES[] = {
    {"/", Method::get, false}, // the page asks for the token itself
    {"/api/station", Method::get, true},
    {"/api/events", Method::get, true},
    {"/api/records", Method::get, true},
    {"/api/run", Method::post, true},
    {"/api/slots/[^/]+/run", Method::post, true},
    {"/api/slots/[^/]+/cancel", Method::post, true},
};

const Route* route_of(const std::string& path) {
  static const std::vector<std::regex> patterns = [] {
    std::vector<std::regex> compiled;
    for (const Route& route : ROUTES) compiled.emplace_back(route.path);
    return compiled;
  }();
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (std::regex_match(path, patterns[i])) return &ROUTES[i];
  }
  return nullptr;
}

void reply(httplib::Response& res, const StationReply& r) {
  res.status = r.status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(json_line(r.body), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& text) {
  reply(res, station_error(status, text));
}

// Compared in full whatever differs first, so that the time taken tells
// nothing of the token but its length.
bool same_secret(const std::string& given, const std::string& secret) {
  if (given.size() != secret.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < given.size(); ++i) {
    diff |= static_cast<unsigned char>(given[i] ^ secret[i]);
  }
  return diff == 0;
}

bool is_loopback(const std::string& host) {
  return host.rfind("127.", 0) == 0;
}

// The body of a request that changes state: a JSON object, or nothing.
struct Body {
  bool ok = false;
  json value = json::object();
  std::string problem;
};

Body body_of(const httplib::Request& req) {
  Body body;
  if (req.body.empty()) {
    body.ok = true;
    return body;
  }
  if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
    body.problem = "send the body as JSON (Content-Type: application/json)";
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

} // namespace

struct StationServer::Impl {
  Impl(Station& s, StationAddress a, std::string t)
      : station(s), address(std::move(a)), token(std::move(t)) {}

  void install();
  httplib::Server::HandlerResponse check(const httplib::Request& req, httplib::Response& res);
  void run_slot(const httplib::Request& req, httplib::Response& res);
  void run_all(const httplib::Request& req, httplib::Response& res);
  void cancel_slot(const httplib::Request& req, httplib::Response& res);
  void events(httplib::Response& res);
  void records(const httplib::Request& req, httplib::Response& res);
  bool host_allowed(const std::string& host) const;

  Station& station;
  StationAddress address;
  std::string token;
  httplib::Server server;
};

void StationServer::Impl::install() {
  server.new_task_queue = [] { return new httplib::ThreadPool(SERVER_THREADS); };
  server.set_payload_max_length(BODY_LIMIT);
  server.set_pre_routing_handler(
      [this](const httplib::Request& req, httplib::Response& res) { return check(req, res); });
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    if (res.status == 413) {
      refuse(res, 413, "the body is over " + std::to_string(BODY_LIMIT) + " bytes");
    } else {
      refuse(res, res.status, res.status == 404 ? "no such path" : "the request was refused");
    }
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        refuse(res, 500, "the station could not answer this request");
      });

  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Security-Policy", PAGE_POLICY);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(reinterpret_cast<const char*>(STATION_PAGE), STATION_PAGE_SIZE,
                    "text/html; charset=utf-8");
  });
  server.Get("/api/station", [this](const httplib::Request&, httplib::Response& res) {
    reply(res, station.state());
  });
  server.Get("/api/events",
             [this](const httplib::Request&, httplib::Response& res) { events(res); });
  server.Get("/api/records",
             [this](const httplib::Request& req, httplib::Response& res) { records(req, res); });
  server.Post("/api/run",
              [this](const httplib::Request& req, httplib::Response& res) { run_all(req, res); });
  server.Post("/api/slots/([^/]+)/run",
              [this](const httplib::Request& req, httplib::Response& res) { run_slot(req, res); });
  server.Post("/api/slots/([^/]+)/cancel",
              [this](const httplib::Request& req, httplib::Response& res) {
                cancel_slot(req, res);
              });
}

// A page of another site may make the browser send requests here; on
// loopback, so may one whose name was pointed at 127.0.0.1. The Host a
// request was sent to and the Origin of the page that sent it tell both.
bool StationServer::Impl::host_allowed(const std::string& host) const {
  if (!is_loopback(address.host)) return true; // the token guards it
  const std::string port = ":" + std::to_string(address.port);
  return host == address.host + port || host == "localhost" + port;
}

httplib::Server::HandlerResponse StationServer::Impl::check(const httplib::Request& req,
                                                            httplib::Response& res) {
  using Handled = httplib::Server::HandlerResponse;
  const std::string host = req.get_header_value("Host");
  if (!host_allowed(host)) {
    refuse(res, 403,
           "this station answers only as " + address.host + ":" + std::to_string(address.port));
    return Handled::Handled;
  }
  const Route* route = route_of(req.path);
  const bool needs_token = route == nullptr || route->needs_token;
  if (!token.empty() && needs_token &&
      !same_secret(req.get_header_value("Authorization"), "Bearer " + token)) {
    res.set_header("WWW-Authenticate", "Bearer realm=\"orvaload station\"");
    refuse(res, 401, "this station needs its token: Authorization: Bearer TOKEN");
    return Handled::Handled;
  }
  if (route == nullptr) {
    refuse(res, 404, "no such path: " + req.path);
    return Handled::Handled;
  }
  const Method method = req.method == "POST" ? Method::post : Method::get;
  if ((req.method != "GET" && req.method != "POST") || method != route->method) {
    res.set_header("Allow", route->method == Method::post ? "POST" : "GET");
    refuse(res, 405, req.method + " is not served at " + req.path);
    return Handled::Handled;
  }
  if (method == Method::post && req.has_header("Origin") &&
      req.get_header_value("Origin") != "http://" + host) {
    refuse(res, 403, "requests from another site's page are refused");
    return Handled::Handled;
  }
  return Handled::Unhandled;
}

void StationServer::Impl::run_slot(const httplib::Request& req, httplib::Response& res) {
  const Body body = body_of(req);
  if (!body.ok) return refuse(res, 400, body.problem);
  const std::string fields = unknown_fields(body.value, "tag");
  if (!fields.empty()) return refuse(res, 400, fields);
  std::string tag;
  if (body.value.contains("tag")) {
    const std::string problem = tag_problem(body.value["tag"]);
    if (!problem.empty()) return refuse(res, 400, problem);
    tag = body.value["tag"].get<std::string>();
  }
  const std::string text = req.matches[1];
  const size_t slot = slot_number(text, station.slots());
  if (slot == 0) return refuse(res, 404, no_slot_text(text, station.slots()));
  reply(res, station.start(slot, tag));
}

void StationServer::Impl::run_all(const httplib::Request& req, httplib::Response& res) {
  const Body body = body_of(req);
  if (!body.ok) return refuse(res, 400, body.problem);
  const std::string fields = unknown_fields(body.value, "tags");
  if (!fields.empty()) return refuse(res, 400, fields);
  std::map<size_t, std::string> tags;
  if (body.value.contains("tags")) {
    const json& given = body.value["tags"];
    if (!given.is_object()) return refuse(res, 400, "tags is an object of slot numbers and tags");
    for (const auto& item : given.items()) {
      const size_t slot = slot_number(item.key(), station.slots());
      if (slot == 0) return refuse(res, 400, "tags: " + no_slot_text(item.key(), station.slots()));
      const std::string problem = tag_problem(item.value());
      if (!problem.empty()) return refuse(res, 400, "tags: " + problem);
      tags[slot] = item.value().get<std::string>();
    }
  }
  reply(res, station.start_all(tags));
}

void StationServer::Impl::cancel_slot(const httplib::Request& req, httplib::Response& res) {
  const Body body = body_of(req);
  if (!body.ok) return refuse(res, 400, body.problem);
  const std::string fields = unknown_fields(body.value, "");
  if (!fields.empty()) return refuse(res, 400, fields);
  const std::string text = req.matches[1];
  const size_t slot = slot_number(text, station.slots());
  if (slot == 0) return refuse(res, 404, no_slot_text(text, station.slots()));
  reply(res, station.cancel(slot));
}

void StationServer::Impl::records(const httplib::Request& req, httplib::Response& res) {
  size_t limit = RECORDS_DEFAULT;
  if (req.has_param("limit")) {
    limit = slot_number(req.get_param_value("limit"), RECORDS_MAX);
    if (limit == 0) {
      return refuse(res, 400, "limit is a number from 1 to " + std::to_string(RECORDS_MAX));
    }
  }
  RecordFilter filter;
  filter.limit = limit;
  reply(res, station.records(filter));
}

// Server-Sent Events: each event one "data:" line. The stream begins with
// every slot's state; it ends when the station does, or when its reader fell
// so far behind that its queue filled (it reconnects and begins afresh).
void StationServer::Impl::events(httplib::Response& res) {
  std::shared_ptr<EventStream> stream = station.open_stream();
  if (!stream) {
    return refuse(res, 503, "too many event streams are open; close one and try again");
  }
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Accel-Buffering", "no");
  res.set_chunked_content_provider(
      "text/event-stream",
      [stream](size_t, httplib::DataSink& sink) {
        std::vector<std::string> events;
        if (!stream->next(&events, KEEP_ALIVE_MS)) {
          sink.done();
          return true;
        }
        std::string chunk = events.empty() ? ": keep-alive\n\n" : "";
        // Each event is a JSON line with its own line end; one more ends the
        // message.
        for (const std::string& event : events) chunk += "data: " + event + "\n";
        return sink.write(chunk.data(), chunk.size());
      },
      [this, stream](bool) { station.leave_stream(stream); });
}

StationServer::StationServer(Station& station, StationAddress address, std::string token)
    : impl_(std::make_unique<Impl>(station, std::move(address), std::move(token))) {
  impl_->install();
}

StationServer::~StationServer() = default;

ServeResult StationServer::bind() {
  StationAddress& address = impl_->address;
  const int asked = address.port;
  const bool bound = asked == 0 ? (address.port = impl_->server.bind_to_any_port(address.host)) > 0
                                : impl_->server.bind_to_port(address.host, asked);
  if (!bound) {
    return {ServeStatus::cannot_listen,
            "cannot listen on " + address.host + ":" + std::to_string(asked) +
                ": the port is taken, or the address is not one of this computer's"};
  }
  return {};
}

int StationServer::port() const {
  return impl_->address.port;
}

void StationServer::serve() {
  impl_->server.listen_after_bind();
}

void StationServer::stop() {
  impl_->server.stop();
}

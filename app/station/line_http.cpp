// The station's HTTP client towards its line server (cpp-httplib, which the
// Windows builds already compile): short time-outs, so that a line that is
// down costs the reporter's thread a second, never a run anything.
#include <httplib.h>

#include "app/station/line_reporter.h"

namespace {

constexpr time_t CONNECT_S = 1;
constexpr time_t ANSWER_S = 3;

} // namespace

LinePost line_http_post(const std::string& url, const std::string& token) {
  std::string host;
  int port = 0;
  if (!line_url_parse(url, &host, &port)) {
    return [url](const std::string&, const std::string&) {
      return LineAnswer{0, "", "the line's address " + url + " is not http://HOST:PORT"};
    };
  }
  auto client = std::make_shared<httplib::Client>(host, port);
  client->set_connection_timeout(CONNECT_S, 0);
  client->set_read_timeout(ANSWER_S, 0);
  client->set_write_timeout(ANSWER_S, 0);
  client->set_keep_alive(true);
  // A request goes out as two writes, its head and its body: without this
  // the body waits for the line's delayed acknowledgement of the head, some
  // 40 ms on every post.
  client->set_tcp_nodelay(true);
  httplib::Headers headers;
  if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
  return [client, headers, url](const std::string& path, const std::string& body) {
    const httplib::Result result = client->Post(path.c_str(), headers, body, "application/json");
    if (!result) {
      return LineAnswer{0, "",
                        "no answer from " + url + " (" + httplib::to_string(result.error()) + ")"};
    }
    return LineAnswer{result->status, result->body, ""};
  };
}

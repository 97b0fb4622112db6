// The station's HTTP client towards its line server: each post within one
// whole deadline and a bounded answer, so that a line that is down, slow or
// hostile costs the reporter's thread at most that deadline and a little
// memory, never a run anything; and cancelled when the station ends.
#include "app/http/http_client.h"
#include "app/station/line_reporter.h"
#include "image/image_file.h"

LineHttp line_http(const std::string& url, const std::string& token, const std::string& cafile,
                   int deadline_ms) {
  std::string host;
  int port = 0;
  bool https = false;
  if (!line_url_parse(url, &host, &port, &https)) {
    const std::string problem = "the line's address " + url + " is not http(s)://HOST:PORT";
    const LinePost refuse = [problem](const std::string&, const std::string&) {
      return LineAnswer{0, "", problem, false};
    };
    return {refuse, refuse, [] {}, problem};
  }
  auto client =
      std::make_shared<HttpClient>(host, port, HttpCallLimits{deadline_ms, HTTP_CLIENT_ANSWER_MAX},
                                   HttpClientTls{https, cafile});
  // A release's file: as large as an image file may be, within two minutes.
  auto files =
      std::make_shared<HttpClient>(host, port,
                                   HttpCallLimits{HTTP_FILE_MS,
                                                  static_cast<size_t>(IMAGE_MAX_FILE_SIZE)},
                                   HttpClientTls{https, cafile});
  HttpFields headers;
  if (!token.empty()) headers.emplace_back("Authorization", "Bearer " + token);
  const auto post_by = [headers](const std::shared_ptr<HttpClient>& client) {
    return [client, headers](const std::string& path, const std::string& body) {
      HttpCallAnswer answer = client->post_json(path, body, headers);
      if (answer.status != HttpCallStatus::ok) {
        // What waiting will not cure.
        const bool garbled =
            answer.status == HttpCallStatus::too_large || answer.status == HttpCallStatus::not_http;
        return LineAnswer{0, "", answer.reason, garbled,
                          answer.status == HttpCallStatus::untrusted};
      }
      LineAnswer line{answer.code, std::move(answer.body), "", false};
      // Seconds, as a line gives them; anything else (an HTTP date) is none.
      const std::string& wait = answer.retry_after;
      if (!wait.empty() && wait.size() <= 6 &&
          wait.find_first_not_of("0123456789") == std::string::npos) {
        line.retry_after_s = std::stoi(wait);
      }
      return line;
    };
  };
  return {post_by(client), post_by(files),
          [client, files] {
            client->cancel();
            files->cancel();
          },
          client->problem()};
}

// A small HTTP/1.1 client for what a station posts to its line server, which
// it trusts no more than any other peer: one deadline for each whole
// exchange however slowly the bytes come, an answer no larger than the
// caller allows, and cancel() from any thread, which ends the exchange under
// way at once. The connection is kept open between posts (the line closes it
// when idle; the next post then opens a new one). Boost.Beast and Asio stay
// inside http_client.cpp.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "app/http/http_face.h"

// The whole exchange: connecting, sending and the whole answer.
constexpr int HTTP_CLIENT_DEADLINE_MS = 10000;
// An answer's body; beyond, the answer is cut off and the call fails.
constexpr size_t HTTP_CLIENT_ANSWER_MAX = 64 * 1024;
// An answer's status line and headers.
constexpr size_t HTTP_CLIENT_HEAD_MAX = 8192;

// ok: an answer came, whatever its status.
// too_large and not_http: something came that is no answer.
// untrusted: over HTTPS, the server's certificate did not verify (an unknown
// CA, another host's name, out of date) or it speaks no TLS.
enum class HttpCallStatus {
  ok,
  no_connection,
  timed_out,
  too_large,
  not_http,
  untrusted,
  broken,
  cancelled
};

// HTTPS: TLS 1.2 or 1.3 only, the server's certificate verified against the
// CAs of `cafile` (empty: the system's) and its host name; never a fall
// back to plain HTTP.
struct HttpClientTls {
  bool on = false;
  std::string cafile;
};

struct HttpCallLimits {
  int deadline_ms = HTTP_CLIENT_DEADLINE_MS;
  size_t answer_max = HTTP_CLIENT_ANSWER_MAX;
};

struct HttpCallAnswer {
  HttpCallStatus status = HttpCallStatus::ok;
  int code = 0; // the HTTP status, with ok
  std::string body;
  std::string reason;        // one line, when not ok
  std::string retry_after{}; // the answer's Retry-After, as sent
};

class HttpClient {
public:
  // A server at HOST:PORT, reached over plain TCP or HTTPS.
  HttpClient(std::string host, int port, HttpCallLimits limits = {}, HttpClientTls tls = {});
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // POSTs `body` as JSON to `target` with `headers` added. One call at a
  // time.
  HttpCallAnswer post_json(const std::string& target, const std::string& body,
                           const HttpFields& headers);
  // From any thread: the call under way, and every later one, ends at once
  // as cancelled.
  void cancel();
  // Why no call can be made (a CA file that cannot be used), or empty.
  const std::string& problem() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

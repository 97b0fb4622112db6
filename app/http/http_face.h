// The HTTP face of a server that faces a factory network: it listens, reads
// each request within fixed limits and a deadline, refuses what a browser of
// another site or a broken client sends, and hands what is left to the site
// (the station's routes, say) on a small pool of handler threads, so that a
// slow answer never stalls other clients. One network thread serves every
// connection. A refusal (any status from 400 on) carries Connection: close
// and ends its connection, so no byte of a refused request is ever read as a
// request. Event streams have a place of their own: they do not count
// against the connection limits, and the site bounds how many it opens.
//
// Use: fill an HttpSite, construct an HttpServer, bind(), then serve() on a
// thread of its own until stop().
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The request line and the header lines together; beyond: 431.
constexpr size_t HTTP_HEAD_LIMIT = 8192;
// Header lines of one request; beyond: 431.
constexpr size_t HTTP_HEADERS_MAX = 64;
// A body, however it is sent (chunks counted as they come), unless the
// site sets a limit of its own; beyond: 413.
constexpr size_t HTTP_BODY_LIMIT = 4096;
// A new connection's first request head (over HTTPS with its handshake)
// comes within this time; else the connection is closed without an answer.
constexpr int HTTP_HEAD_MS = 2000;
// How long a kept-alive connection may wait for its next head, and then a
// body for its head; else it is closed without an answer.
constexpr int HTTP_REQUEST_MS = 10000;
// How long a client may take to receive an answer.
constexpr int HTTP_ANSWER_MS = 10000;
// Connections open at once, in all and from one client address (an IPv6
// client counted by its /64); beyond, a new connection is closed at once,
// unless a connection that only waits for a head, without a credential, can
// be closed to make room. The last quarter of the places is kept for
// requests with a valid credential: a connection that takes one of them and
// asks without one gets 503.
// These are a station's, and any server's that sets no limits of its own
// (see HttpLimits).
constexpr size_t HTTP_CONNECTIONS_MAX = 64;
constexpr size_t HTTP_CONNECTIONS_PER_CLIENT = 16;
constexpr size_t HTTP_CREDENTIAL_PLACES = HTTP_CONNECTIONS_MAX / 4;
// An event stream with nothing to say sends a comment this often; a write
// its reader has not taken within HTTP_STREAM_WRITE_MS ends the stream.
constexpr int HTTP_HEARTBEAT_MS = 1000;
constexpr int HTTP_STREAM_WRITE_MS = 2000;
// Events that come close together go to their reader in one write: an event
// stream writes its events at most once in this time, the first after a
// quiet spell at once. (A file's body is written as fast as it is read.)
constexpr int HTTP_STREAM_GATHER_MS = 20;
// Threads that run the site's answers.
constexpr size_t HTTP_HANDLER_THREADS = 4;

using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method; // GET or POST as the site sees it: HEAD is asked as GET
  std::string path;   // the target before '?'
  std::string query;  // after '?', as sent
  HttpFields headers; // as sent, in order
  std::string body;   // empty while the site checks the head

  // The first header of that name, in any case; empty when none.
  std::string header(const std::string& name) const;
  bool has_header(const std::string& name) const;
  // The value of NAME=VALUE in the query, as sent; empty when none.
  std::string param(const std::string& name) const;
  bool has_param(const std::string& name) const;
};

// What an event stream sends: text/event-stream, pulled by the server.
class HttpStreamSource {
public:
  virtual ~HttpStreamSource() = default;
  // Moves what waits into *text (nothing may wait); false once the source
  // has ended.
  virtual bool take(std::string* text) = 0;
  // `ready` is called, from any thread, when take() has something new or
  // the source ended.
  virtual void watch(std::function<void()> ready) = 0;
  // The reader has gone or the server ends; `ready` is no longer called.
  virtual void leave() = 0;
  // Whether a comment may go while nothing comes (an event stream's
  // heartbeat); a file's body takes none.
  virtual bool comments() const { return true; }
  // Once take() said false: whether the body broke off before its end. Its
  // connection then closes without the last chunk, so the reader knows.
  virtual bool cut_short() const { return false; }
};

struct HttpAnswer {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  HttpFields headers;
  std::shared_ptr<HttpStreamSource> stream; // set: an event stream, no body
};

// {"error": text}, the one shape of every refusal.
HttpAnswer http_error(int status, const std::string& text);

// A page built into the program: HTML that runs its own inline script and
// style, talks to its own server alone, loads nothing from anywhere else and
// is framed by nobody.
HttpAnswer http_page(const unsigned char* bytes, size_t size);

// A CSV file to download as `filename`.
HttpAnswer http_csv(std::string file, const std::string& filename);

// "Bearer TOKEN" with the scheme in any case, compared in full whatever
// differs first, so that the time taken tells nothing of the token.
bool http_bearer_matches(const std::string& authorization, const std::string& token);

// The connections a server keeps open at once: in all, from one client
// address, and the last places of all that only requests with a valid
// credential take. A server sized for its clients (a line, for its
// stations) sets its own.
struct HttpLimits {
  size_t connections = HTTP_CONNECTIONS_MAX;
  size_t per_client = HTTP_CONNECTIONS_PER_CLIENT;
  size_t credential_places = HTTP_CREDENTIAL_PLACES; // at most `connections`
};

struct HttpSite {
  std::string name; // in refusals: "this station answers only as ..."
  // On the network thread once the head is read, before the body: a
  // refusal, or nothing to go on. Quick: no waiting here.
  std::function<std::optional<HttpAnswer>(const HttpRequest& head)> check;
  // On a handler thread with the whole request.
  std::function<HttpAnswer(const HttpRequest& request)> answer;
  // On the network thread with the whole request, before it goes to a
  // handler thread: the answer to a request answered from memory alone (no
  // database, no file, no waiting but for a short lock), which then costs no
  // hand-over between threads; nothing to hand it over. Empty: every request
  // is handed over.
  std::function<std::optional<HttpAnswer>(const HttpRequest& request)> answer_at_once;
  // On the network thread, after check(): whether the request carried a
  // valid credential (the places kept for such requests). Empty: none does.
  std::function<bool(const HttpRequest& head)> credentialed;
  // The most a request's body may hold; beyond: 413.
  size_t body_limit = HTTP_BODY_LIMIT;
  // On the network thread as each answer goes (a refusal, an event
  // stream's head too): the path asked (empty when none was read) and the
  // status. Quick. Empty: nothing is told.
  std::function<void(const std::string& path, int status)> answered;
  // On the network thread, after check(): for a request that sends a file
  // (its body of any type), the most it may hold; 0 for a JSON body within
  // body_limit. A file's body comes within HTTP_FILE_MS of its head.
  std::function<size_t(const HttpRequest& head)> file_limit;
  // The connections kept open at once (HttpServer::set_limits changes them).
  HttpLimits limits{};
};

constexpr int HTTP_FILE_MS = 120000;

struct HttpAddress {
  std::string host = "127.0.0.1";
  int port = 0; // 0: any free port
};

// "[ADDRESS:]PORT", HTTP_LOOPBACK when no address is given or the address is
// localhost; the problem in one line for `option` (--serve), or empty.
constexpr char HTTP_LOOPBACK[] = "127.0.0.1";
std::string http_address_parse(const std::string& text, const std::string& option,
                               HttpAddress* address);
// Whether `host` (an IPv4 address) is one of this computer's loopback
// addresses, which other computers cannot reach.
bool http_is_loopback(const std::string& host);

// HTTPS: the server's certificate (PEM, the chain from the server's own
// certificate up) and its private key (PEM, its owner's alone).
struct HttpTlsFiles {
  std::string cert;
  std::string key;
};

enum class HttpListen { ok, cannot_listen };

struct HttpListenResult {
  HttpListen status = HttpListen::ok;
  std::string reason;
};

class HttpServer {
public:
  HttpServer(HttpAddress address, HttpSite site);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Serves HTTPS (TLS 1.2 and 1.3 only) with the certificate and key of
  // `files`; before bind(). The problem in one line, or empty.
  std::string use_tls(const HttpTlsFiles& files);
  // Reads the files again, as after a certificate was renewed: connections
  // from now on get the new one. From any thread; the problem in one line,
  // or empty (the certificate in use then stays).
  std::string reload_tls();
  bool tls() const;

  // Binds the address, which no other program may hold at the same time.
  HttpListenResult bind();
  // The port bound.
  int port() const;
  // From any thread: new connections are counted against `limits`; those
  // open stay, also past a lower limit.
  void set_limits(const HttpLimits& limits);
  // Serves until stop(); call after a successful bind().
  void serve();
  // From any thread: serve() returns soon, every connection closed at once.
  void stop();
  // After stop(): waits for the answers under way on the handler threads
  // (those not begun are dropped), so that what the site refers to may go.
  void finish_answers();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

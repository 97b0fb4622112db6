// The one file that holds Boost.Beast and Asio: everything else of the
// project sees the plain header.
#include "app/http/http_face.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <nlohmann/json.hpp>

#include "app/http/listen_socket.h"
#include "app/http/tls_context.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// What one connection buffers: the head, and a body or a chunk header read
// along with it. A chunk header longer than what is left is a 400.
constexpr size_t READ_BUFFER_LIMIT = HTTP_HEAD_LIMIT + HTTP_BODY_LIMIT;
// Room a connection's buffer starts with, so that a request of a few
// kilobytes (a station's state with its 16 slots) comes in one read rather
// than in reads of 512 bytes each.
constexpr size_t READ_BUFFER_START = 8 * 1024;
// After a refusal the server stops sending and reads what the client still
// sends, up to this much for up to this long, so that the client's system
// does not throw the answer away as the connection closes.
constexpr size_t LINGER_BYTES = 64 * 1024;
constexpr int LINGER_MS = 1000;
// A failed accept (no file descriptor left, say) is tried again after this.
constexpr int ACCEPT_RETRY_MS = 100;
// Every HTTPS answer: a browser that was here over HTTPS comes back over it
// for a year.
constexpr char HSTS[] = "max-age=31536000";

std::chrono::milliseconds ms(int n) {
  return std::chrono::milliseconds(n);
}

bool same_text_any_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Connections open now, in all and per client address. The last
// credential_places places are kept for requests with a credential.
enum class Place { general, kept, full, client_full };

class Places {
public:
  explicit Places(const HttpLimits& limits) { set(limits); }
  void set(const HttpLimits& limits) {
    std::lock_guard<std::mutex> lock(mutex_);
    limits_ = limits;
    limits_.credential_places = std::min(limits_.credential_places, limits_.connections);
  }
  Place take(const std::string& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t& mine = by_client_[client];
    if (all_ >= limits_.connections || mine >= limits_.per_client) {
      const bool client_full = mine >= limits_.per_client;
      if (mine == 0) by_client_.erase(client);
      return client_full ? Place::client_full : Place::full;
    }
    ++all_;
    ++mine;
    return all_ > limits_.connections - limits_.credential_places ? Place::kept : Place::general;
  }
  void give(const std::string& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    --all_;
    if (--by_client_[client] == 0) by_client_.erase(client);
  }

private:
  std::mutex mutex_;
  HttpLimits limits_;
  size_t all_ = 0;
  std::map<std::string, size_t> by_client_;
};

// The threads that run the site's answers; at most one job per connection
// waits here, so the queue is as bounded as the connections.
class HandlerPool {
public:
  HandlerPool() {
    for (size_t i = 0; i < HTTP_HANDLER_THREADS; ++i) threads_.emplace_back([this] { work(); });
  }
  ~HandlerPool() { stop(); }
  void run(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    jobs_.push_back(std::move(job));
    ready_.notify_one();
  }
  // Jobs not begun are dropped; those running finish.
  void stop() {
    std::deque<std::function<void()>> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      dropped.swap(jobs_);
      ready_.notify_all();
    }
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

private:
  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

} // namespace

std::string HttpRequest::header(const std::string& name) const {
  for (const auto& field : headers) {
    if (same_text_any_case(field.first, name)) return field.second;
  }
  return "";
}

bool HttpRequest::has_header(const std::string& name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [&name](const auto& field) { return same_text_any_case(field.first, name); });
}

namespace {

// NAME=VALUE of the query: where VALUE begins, or npos.
size_t param_at(const std::string& query, const std::string& name) {
  for (size_t at = 0; at <= query.size();) {
    const size_t end = std::min(query.find('&', at), query.size());
    if (query.compare(at, name.size() + 1, name + "=") == 0 && at + name.size() < end) {
      return at + name.size() + 1;
    }
    at = end + 1;
  }
  return std::string::npos;
}

} // namespace

std::string HttpRequest::param(const std::string& name) const {
  const size_t at = param_at(query, name);
  if (at == std::string::npos) return "";
  return query.substr(at, query.find('&', at) - at);
}

bool HttpRequest::has_param(const std::string& name) const {
  return param_at(query, name) != std::string::npos;
}

std::string http_address_parse(const std::string& text, const std::string& option,
                               HttpAddress* address) {
  const size_t colon = text.rfind(':');
  address->host = colon != std::string::npos ? text.substr(0, colon) : HTTP_LOOPBACK;
  const std::string port = colon != std::string::npos ? text.substr(colon + 1) : text;
  long number = 0;
  bool digits = !port.empty() && port.size() <= 5;
  for (const char c : port) {
    digits = digits && c >= '0' && c <= '9';
    if (digits) number = number * 10 + (c - '0');
  }
  if (address->host.empty() || !digits || number > 65535) {
    return option + " takes [ADDRESS:]PORT, such as 8080 or 0.0.0.0:8080, not '" + text + "'";
  }
  address->port = static_cast<int>(number);
  // The name every system gives its own loopback address.
  if (address->host == "localhost") address->host = HTTP_LOOPBACK;
  return "";
}

bool http_is_loopback(const std::string& host) {
  return host.rfind("127.", 0) == 0;
}

HttpAnswer http_page(const unsigned char* bytes, size_t size) {
  static const char policy[] =
      "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
      "img-src data:; connect-src 'self'; base-uri 'none'; form-action 'none'; "
      "frame-ancestors 'none'";
  HttpAnswer page;
  page.content_type = "text/html; charset=utf-8";
  page.headers = {{"Cache-Control", "no-store"},
                  {"Content-Security-Policy", policy},
                  {"X-Content-Type-Options", "nosniff"}};
  page.body.assign(reinterpret_cast<const char*>(bytes), size);
  return page;
}

HttpAnswer http_csv(std::string file, const std::string& filename) {
  HttpAnswer answer;
  answer.content_type = "text/csv; charset=utf-8";
  answer.headers = {{"Cache-Control", "no-store"},
                    {"Content-Disposition", "attachment; filename=\"" + filename + "\""}};
  answer.body = std::move(file);
  return answer;
}

HttpAnswer http_error(int status, const std::string& text) {
  HttpAnswer answer;
  answer.status = status;
  answer.headers.emplace_back("Cache-Control", "no-store");
  answer.body =
      nlohmann::ordered_json{{"error", text}}.dump(-1, ' ', false,
                                                   nlohmann::json::error_handler_t::replace) +
      "\n";
  return answer;
}

bool http_bearer_matches(const std::string& authorization, const std::string& token) {
  const std::string scheme = "bearer ";
  if (authorization.size() < scheme.size() ||
      !same_text_any_case(authorization.substr(0, scheme.size()), scheme)) {
    return false;
  }
  const std::string given = authorization.substr(scheme.size());
  if (given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < given.size(); ++i) {
    diff |= static_cast<unsigned char>(given[i] ^ token[i]);
  }
  return diff == 0;
}

namespace {

// The key a client's connections are counted under: its address, or for
// IPv6 its /64, as one host may hold a whole /64 of addresses.
std::string client_key(const asio::ip::address& address) {
  if (!address.is_v6() || address.to_v6().is_v4_mapped()) return address.to_string();
  asio::ip::address_v6::bytes_type bytes = address.to_v6().to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

// A connection waiting for a request's head, which may be closed to make
// room (network thread only).
struct Waiting {
  std::chrono::steady_clock::time_point since;
  bool credentialed = false; // its last request carried a valid credential
  std::function<void()> close;
};

// What every connection shares.
struct Face {
  Face(HttpAddress a, HttpSite s)
      : address(std::move(a)), site(std::move(s)), places(site.limits) {}

  void accept();
  void admit(tcp::socket socket);
  // Closes the connection that has waited longest for a head without
  // having shown a credential; false when there is none.
  bool close_oldest_waiting();
  bool host_allowed(const std::string& host) const;
  std::optional<HttpAnswer> check(const HttpRequest& head) const;
  std::shared_ptr<asio::ssl::context> tls_now() const {
    std::lock_guard<std::mutex> lock(tls_mutex);
    return tls;
  }

  // Destroyed in the reverse order: the handler threads end first, then the
  // connections (with the io_context), which give back their places.
  HttpAddress address;
  const HttpSite site;
  // With HTTPS: the files, and the context made of them that new
  // connections take (a connection keeps the one it began with).
  HttpTlsFiles tls_files;
  mutable std::mutex tls_mutex;
  std::shared_ptr<asio::ssl::context> tls;
  Places places;
  std::map<uint64_t, Waiting> waiting; // network thread only
  uint64_t next_session = 1;
  asio::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  asio::steady_timer accept_retry{ioc};
  HandlerPool pool;
};

// A connection in plain HTTP (beast::tcp_stream) or HTTPS (an ssl_stream
// over one): the same requests, limits and deadlines, the deadlines and the
// socket always those of the TCP connection beneath.
template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
  static constexpr bool TLS = !std::is_same<Stream, beast::tcp_stream>::value;
  using std::enable_shared_from_this<Session<Stream>>::shared_from_this;

public:
  // `kept`: the connection holds one of the places kept for requests with a
  // credential, and must show one.
  Session(Face& server, tcp::socket socket, std::string client,
          std::shared_ptr<asio::ssl::context> tls, bool kept)
      : server_(server),
        tls_(std::move(tls)),
        stream_(make_stream(std::move(socket), tls_.get())),
        client_(std::move(client)),
        kept_(kept),
        id_(server.next_session++),
        heartbeat_(stream_.get_executor()),
        gather_(stream_.get_executor()) {
    buffer_.reserve(READ_BUFFER_START);
  }
  ~Session() {
    if (counted_) server_.places.give(client_);
    if (source_) source_->leave();
  }

  // A new connection's first head (over HTTPS: its handshake, then its
  // head) comes within HTTP_HEAD_MS.
  void start() {
    lowest().expires_after(ms(HTTP_HEAD_MS));
    if constexpr (TLS) {
      wait_for_head();
      stream_.async_handshake(asio::ssl::stream_base::server,
                              [self = shared_from_this()](beast::error_code ec) {
                                self->server_.waiting.erase(self->id_);
                                if (!ec) self->read_head();
                              });
    } else {
      read_head();
    }
  }

private:
  // A kept-alive connection's next head comes within HTTP_REQUEST_MS of the
  // last answer.
  void read_head() {
    parser_.emplace();
    parser_->header_limit(HTTP_HEAD_LIMIT);
    body_limit_ = server_.site.body_limit;
    parser_->body_limit(body_limit_);
    head_only_ = false;
    path_.clear();
    if (requests_ > 0) lowest().expires_after(ms(HTTP_REQUEST_MS));
    wait_for_head();
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, size_t) {
                              self->server_.waiting.erase(self->id_);
                              self->on_head(ec);
                            });
  }

  // While it waits for a head, the connection may be closed to make room
  // for one that has something to ask, unless it showed a credential.
  void wait_for_head() {
    std::weak_ptr<Session> weak = shared_from_this();
    server_.waiting[id_] = Waiting{std::chrono::steady_clock::now(), credentialed_, [weak] {
                                     if (auto self = weak.lock()) self->close_now();
                                   }};
  }

  // Its place is free at once; the read under way ends with the socket.
  void close_now() {
    if (counted_) server_.places.give(client_);
    counted_ = false;
    beast::error_code ignored;
    lowest().socket().close(ignored);
  }

  void on_head(beast::error_code ec) {
    if (ec) return read_failed(ec);
    ++requests_;
    const auto& message = parser_->get();
    request_ = HttpRequest{};
    request_.method = std::string(message.method_string());
    const std::string target(message.target());
    const size_t question = target.find('?');
    request_.path = target.substr(0, question);
    path_ = request_.path;
    if (question != std::string::npos) request_.query = target.substr(question + 1);
    size_t hosts = 0;
    for (const auto& field : message) {
      request_.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
      hosts += field.name() == http::field::host;
    }
    if (request_.headers.size() > HTTP_HEADERS_MAX) {
      return refuse(http_error(431, "a request has at most " + std::to_string(HTTP_HEADERS_MAX) +
                                        " header lines"));
    }
    if (hosts > 1) return refuse(http_error(400, "a request has one Host header"));
    if (request_.method == "HEAD") {
      request_.method = "GET";
      head_only_ = true;
    }
    std::optional<HttpAnswer> refusal = server_.check(request_);
    if (refusal) return refuse(std::move(*refusal));
    credentialed_ = server_.site.credentialed && server_.site.credentialed(request_);
    if (kept_ && !credentialed_) {
      return refuse(http_error(503, "every place is taken: only requests with a credential are "
                                    "taken now; try again"));
    }
    // The body comes within a request's deadline of its head, a file's
    // within a longer one.
    const size_t file = server_.site.file_limit ? server_.site.file_limit(request_) : 0;
    body_limit_ = file > 0 ? file : server_.site.body_limit;
    parser_->body_limit(body_limit_);
    lowest().expires_after(ms(file > 0 ? HTTP_FILE_MS : HTTP_REQUEST_MS));
    const bool has_body = parser_->chunked() || parser_->content_length().value_or(0) > 0;
    if (request_.method == "POST" && has_body && file == 0 &&
        request_.header("Content-Type").rfind("application/json", 0) != 0) {
      return refuse(http_error(400, "send the body as JSON (Content-Type: application/json)"));
    }
    keep_alive_ = message.keep_alive();
    if (parser_->is_done()) return hand_over();
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       self->on_body(ec);
                     });
  }

  void on_body(beast::error_code ec) {
    if (ec) return read_failed(ec);
    request_.body = std::move(parser_->get().body());
    hand_over();
  }

  // A request that broke a rule is answered; a client that went away,
  // or ran out of time, is not.
  void read_failed(beast::error_code ec) {
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      return refuse(http_error(431, "the request line and headers are over " +
                                        std::to_string(HTTP_HEAD_LIMIT) + " bytes"));
    }
    if (ec == http::error::body_limit) {
      return refuse(http_error(413, "the body is over " + std::to_string(body_limit_) + " bytes"));
    }
    if (ec == http::error::end_of_stream || ec == http::error::partial_message) return;
    if (ec.category() == http::make_error_code(http::error::bad_target).category()) {
      return refuse(http_error(400, "the request is not well-formed HTTP/1.1"));
    }
  }

  void hand_over() {
    lowest().expires_never();
    if (server_.site.answer_at_once) {
      std::optional<HttpAnswer> now;
      try {
        now = server_.site.answer_at_once(request_);
      } catch (...) {
        now = could_not_answer();
      }
      if (now) return send(std::move(*now));
    }
    auto self = shared_from_this();
    server_.pool.run([self, request = std::move(request_)]() mutable {
      HttpAnswer answer;
      try {
        answer = self->server_.site.answer(request);
      } catch (...) {
        answer = self->could_not_answer();
      }
      const auto executor = self->stream_.get_executor();
      asio::post(executor, [self = std::move(self), answer = std::move(answer)]() mutable {
        self->send(std::move(answer));
      });
    });
  }

  HttpAnswer could_not_answer() const {
    return http_error(500, "the " + server_.site.name + " could not answer this request");
  }

  void refuse(HttpAnswer answer) {
    keep_alive_ = false;
    send(std::move(answer));
  }

  void send(HttpAnswer answer) {
    if (server_.site.answered) server_.site.answered(path_, answer.status);
    if (answer.stream && head_only_) {
      answer.stream->leave();
      answer.stream.reset();
    }
    if (answer.stream) return open_stream(std::move(answer));
    auto response = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(
                                                                            answer.status),
                                                                        parser_->get().version());
    for (const auto& field : answer.headers) response->insert(field.first, field.second);
    response->set(http::field::content_type, answer.content_type);
    // A browser that reached us over HTTPS never falls back to plain HTTP.
    if (TLS) response->set(http::field::strict_transport_security, HSTS);
    response->body() = std::move(answer.body);
    // Whatever follows a refused request is never read as a request.
    const bool close = answer.status >= 400 || !keep_alive_;
    if (close) response->set(http::field::connection, "close");
    else response->keep_alive(true);
    response->prepare_payload();
    if (head_only_) response->body().clear();
    lowest().expires_after(ms(HTTP_ANSWER_MS));
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response, close](beast::error_code ec, size_t) {
                        if (ec) return;
                        if (close) return self->linger();
                        self->read_head();
                      });
  }

  void linger() {
    beast::error_code ignored;
    lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
    lowest().expires_after(ms(LINGER_MS));
    drain();
  }

  // The bytes a client still sends after a refusal, read beneath any TLS:
  // they are thrown away.
  void drain() {
    lowest().async_read_some(asio::buffer(scrap_),
                             [self = shared_from_this()](beast::error_code ec, size_t n) {
                               self->drained_ += n;
                               if (!ec && self->drained_ < LINGER_BYTES) self->drain();
                             });
  }

  // An event stream: its own place, not the connection's; a heartbeat; a
  // reader that closes or stops taking writes ends it at once.
  void open_stream(HttpAnswer answer) {
    server_.places.give(client_);
    counted_ = false;
    source_ = std::move(answer.stream);
    chunked_ = parser_->get().version() >= 11;
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: " + answer.content_type + "\r\n";
    for (const auto& field : answer.headers) head += field.first + ": " + field.second + "\r\n";
    if (TLS) head += std::string("Strict-Transport-Security: ") + HSTS + "\r\n";
    head += chunked_ ? "Transfer-Encoding: chunked\r\n\r\n" : "Connection: close\r\n\r\n";
    auto pending = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<Session> weak = shared_from_this();
    const auto executor = stream_.get_executor();
    source_->watch([pending, weak, executor] {
      if (pending->exchange(true)) return;
      asio::post(executor, [pending, weak] {
        pending->store(false);
        if (auto self = weak.lock()) self->pump();
      });
    });
    write_raw(std::move(head));
    watch_reader();
    if (source_->comments()) beat();
  }

  // A reader of an event stream sends nothing more: a read beneath any TLS
  // tells only that it has gone.
  void watch_reader() {
    lowest().socket().async_read_some(asio::buffer(scrap_),
                                      [self = shared_from_this()](beast::error_code ec, size_t) {
                                        if (ec) return self->close_stream();
                                        self->watch_reader();
                                      });
  }

  void beat() {
    heartbeat_.expires_after(ms(HTTP_HEARTBEAT_MS));
    heartbeat_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || !self->source_) return;
      if (!self->writing_) self->write_frame(": keep-alive\n\n");
      self->beat();
    });
  }

  void pump() {
    if (!source_ || writing_ || ending_) return;
    std::string text;
    const bool more = source_->take(&text);
    // Taken without a copy when nothing is held (a file's body always).
    if (held_.empty()) held_ = std::move(text);
    else held_ += text;
    if (more && (held_.empty() || gathering_)) return;
    const auto now = std::chrono::steady_clock::now();
    const auto next = last_event_ + ms(HTTP_STREAM_GATHER_MS);
    if (more && source_->comments() && now < next) {
      gathering_ = true;
      gather_.expires_at(next);
      gather_.async_wait([self = shared_from_this()](beast::error_code ec) {
        self->gathering_ = false;
        if (!ec) self->pump();
      });
      return;
    }
    if (!held_.empty()) {
      last_event_ = now;
      return write_frame(std::exchange(held_, std::string()));
    }
    ending_ = true;
    if (source_->cut_short()) return close_stream();
    write_raw(chunked_ ? "0\r\n\r\n" : "");
  }

  void write_frame(const std::string& text) {
    if (!chunked_) return write_raw(text);
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", text.size());
    write_raw(size + text + "\r\n");
  }

  void write_raw(std::string bytes) {
    writing_ = true;
    out_ = std::move(bytes);
    lowest().expires_after(ms(HTTP_STREAM_WRITE_MS));
    asio::async_write(stream_, asio::buffer(out_),
                      [self = shared_from_this()](beast::error_code ec, size_t) {
                        self->writing_ = false;
                        if (ec || self->ending_) return self->close_stream();
                        self->lowest().expires_never();
                        self->pump();
                      });
  }

  // Gives the stream's place back at once.
  void close_stream() {
    if (source_) {
      source_->leave();
      source_.reset();
    }
    heartbeat_.cancel();
    gather_.cancel();
    beast::error_code ignored;
    lowest().socket().close(ignored);
  }

  beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }

  static Stream make_stream(tcp::socket socket, asio::ssl::context* tls) {
    if constexpr (TLS) return Stream(std::move(socket), *tls);
    else return Stream(std::move(socket));
  }

  Face& server_;
  const std::shared_ptr<asio::ssl::context> tls_; // with TLS: outlives the stream
  Stream stream_;
  const std::string client_;
  const bool kept_;
  const uint64_t id_; // in server_.waiting
  size_t requests_ = 0;
  bool credentialed_ = false;
  bool counted_ = true;
  beast::flat_buffer buffer_{READ_BUFFER_LIMIT};
  std::optional<http::request_parser<http::string_body>> parser_;
  HttpRequest request_;
  std::string path_; // of the request being answered, for site.answered
  bool head_only_ = false;
  size_t body_limit_ = HTTP_BODY_LIMIT; // this request's
  bool keep_alive_ = false;
  std::array<char, 1024> scrap_{};
  size_t drained_ = 0;
  // The event stream's.
  std::shared_ptr<HttpStreamSource> source_;
  asio::steady_timer heartbeat_;
  asio::steady_timer gather_; // while events gather
  bool gathering_ = false;
  std::chrono::steady_clock::time_point last_event_{}; // written
  std::string held_;                                   // taken, not yet written
  std::string out_;
  bool chunked_ = true;
  bool writing_ = false;
  bool ending_ = false;
};

} // namespace

struct HttpServer::Impl : Face {
  using Face::Face;
};

void Face::accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      admit(std::move(socket));
      return accept();
    }
    accept_retry.expires_after(ms(ACCEPT_RETRY_MS));
    accept_retry.async_wait([this](beast::error_code wait) {
      if (!wait) accept();
    });
  });
}

void Face::admit(tcp::socket socket) {
  beast::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;
  const std::string client = client_key(peer.address());
  Place place = places.take(client);
  // With the general places taken, a connection that only waits makes room
  // first; a kept place is the last resort.
  if ((place == Place::kept || place == Place::full) && close_oldest_waiting()) {
    if (place == Place::kept) places.give(client);
    place = places.take(client);
  }
  if (place == Place::full || place == Place::client_full) return; // closed as the socket goes
  const bool kept = place == Place::kept;
  socket.set_option(tcp::no_delay(true), ec);
  if (std::shared_ptr<asio::ssl::context> context = tls_now()) {
    std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(*this, std::move(socket),
                                                                    client, std::move(context),
                                                                    kept)
        ->start();
  } else {
    std::make_shared<Session<beast::tcp_stream>>(*this, std::move(socket), client, nullptr, kept)
        ->start();
  }
}

bool Face::close_oldest_waiting() {
  auto oldest = waiting.end();
  for (auto it = waiting.begin(); it != waiting.end(); ++it) {
    if (it->second.credentialed) continue;
    if (oldest == waiting.end() || it->second.since < oldest->second.since) oldest = it;
  }
  if (oldest == waiting.end()) return false;
  const std::function<void()> close = std::move(oldest->second.close);
  waiting.erase(oldest);
  close();
  return true;
}

// A page of another site may make the browser send requests here; on
// loopback, so may one whose name was pointed at 127.0.0.1. The Host a
// request was sent to and the Origin of the page that sent it tell both.
bool Face::host_allowed(const std::string& host) const {
  if (!http_is_loopback(address.host)) return true; // the token guards it
  const std::string port = ":" + std::to_string(address.port);
  return host == address.host + port || host == "localhost" + port;
}

std::optional<HttpAnswer> Face::check(const HttpRequest& head) const {
  const std::string host = head.header("Host");
  if (!host_allowed(host)) {
    return http_error(403, "this " + site.name + " answers only as " + address.host + ":" +
                               std::to_string(address.port));
  }
  if (head.has_header("Content-Encoding")) {
    return http_error(415, "send the body as it is, without Content-Encoding");
  }
  const std::string scheme = tls_now() ? "https://" : "http://";
  if ((head.has_header("Origin") && head.header("Origin") != scheme + host) ||
      same_text_any_case(head.header("Sec-Fetch-Site"), "cross-site")) {
    return http_error(403, "requests from another site's page are refused");
  }
  return site.check(head);
}

HttpServer::HttpServer(HttpAddress address, HttpSite site)
    : impl_(std::make_unique<Impl>(std::move(address), std::move(site))) {}

HttpServer::~HttpServer() {
  stop();
}

std::string HttpServer::use_tls(const HttpTlsFiles& files) {
  std::shared_ptr<asio::ssl::context> context;
  const std::string problem = tls_server_context(files, &context);
  if (!problem.empty()) return problem;
  std::lock_guard<std::mutex> lock(impl_->tls_mutex);
  impl_->tls_files = files;
  impl_->tls = std::move(context);
  return "";
}

std::string HttpServer::reload_tls() {
  HttpTlsFiles files;
  {
    std::lock_guard<std::mutex> lock(impl_->tls_mutex);
    if (!impl_->tls) return "";
    files = impl_->tls_files;
  }
  std::shared_ptr<asio::ssl::context> context;
  const std::string problem = tls_server_context(files, &context);
  if (!problem.empty()) return problem;
  std::lock_guard<std::mutex> lock(impl_->tls_mutex);
  impl_->tls = std::move(context);
  return "";
}

bool HttpServer::tls() const {
  return impl_->tls_now() != nullptr;
}

HttpListenResult HttpServer::bind() {
  HttpAddress& address = impl_->address;
  const HttpListenResult failed{HttpListen::cannot_listen,
                                "cannot listen on " + address.host + ":" +
                                    std::to_string(address.port) +
                                    ": the port is taken, or the address is not one of this "
                                    "computer's"};
  beast::error_code ec;
  tcp::resolver resolver(impl_->ioc);
  const auto found = resolver.resolve(address.host, std::to_string(address.port),
                                      tcp::resolver::numeric_service, ec);
  if (ec || found.empty()) return failed;
  const tcp::endpoint endpoint = found.begin()->endpoint();
  tcp::acceptor& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (ec || !listen_socket_claim(acceptor.native_handle())) return failed;
  acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    acceptor.close(ec);
    return failed;
  }
  address.port = acceptor.local_endpoint(ec).port();
  return {};
}

int HttpServer::port() const {
  return impl_->address.port;
}

void HttpServer::set_limits(const HttpLimits& limits) {
  impl_->places.set(limits);
}

void HttpServer::serve() {
  impl_->accept();
  impl_->ioc.run();
}

void HttpServer::stop() {
  impl_->ioc.stop();
}

void HttpServer::finish_answers() {
  impl_->pool.stop();
}

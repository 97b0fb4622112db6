// The client's half of Boost.Beast and Asio: everything else of the project
// sees the plain header. Each call runs its exchange on the caller's thread
// (io_context::run), under one timer for the whole exchange; cancel() posts
// the same abort the timer makes.
#include "app/http/http_client.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "app/http/tls_context.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

using Request = http::request<http::string_body>;
using Parser = http::response_parser<http::string_body>;

using TlsStream = asio::ssl::stream<tcp::socket&>;

// Where an exchange failed, for its reason.
enum class Stage { resolving, connecting, handshaking, sending, reading };

// A kept connection the server closed while it was idle: the request never
// reached it, and goes once more on a new connection.
bool closed_while_idle(Stage stage, const beast::error_code& ec, bool answer_begun) {
  if (stage == Stage::sending) return true;
  return stage == Stage::reading && !answer_begun &&
         (ec == http::error::end_of_stream || ec == asio::error::eof ||
          ec == asio::error::connection_reset || ec == asio::error::broken_pipe);
}

} // namespace

struct HttpClient::Impl {
  Impl(std::string h, int p, HttpCallLimits l, const HttpClientTls& t)
      : host(std::move(h)), port(std::to_string(p)), limits(l) {
    if (t.on) problem = tls_client_context(t.cafile, &tls);
  }

  // The exchange of `request`, on the kept connection when there is one;
  // done() is called once with how it ended.
  void start(const Request& request) {
    reused = open;
    if (open && secure) return send(*secure, request);
    if (open) return send(socket, request);
    stage = Stage::resolving;
    resolver.async_resolve(host, port, tcp::resolver::numeric_service,
                           [this, &request](beast::error_code ec,
                                            tcp::resolver::results_type found) {
                             if (ec) return done(ec);
                             stage = Stage::connecting;
                             asio::async_connect(socket, found,
                                                 [this, &request](beast::error_code ec2,
                                                                  const tcp::endpoint&) {
                                                   if (ec2) return done(ec2);
                                                   connected(request);
                                                 });
                           });
  }

  void connected(const Request& request) {
    beast::error_code ignored;
    // A request goes out as its head and its body: without this the body
    // waits for the server's delayed acknowledgement of the head.
    socket.set_option(tcp::no_delay(true), ignored);
    open = true;
    buffer.clear();
    if (!tls) return send(socket, request);
    // HTTPS: a TLS session of its own for each connection, the server's
    // name sent (SNI) and checked against its certificate.
    secure.emplace(socket, *tls);
    beast::error_code not_an_address;
    asio::ip::make_address(host, not_an_address);
    SSL* ssl = secure->native_handle();
    X509_VERIFY_PARAM* names = SSL_get0_param(ssl);
    if (not_an_address) {
      SSL_set_tlsext_host_name(ssl, host.c_str());
      X509_VERIFY_PARAM_set1_host(names, host.c_str(), 0);
    } else {
      X509_VERIFY_PARAM_set1_ip_asc(names, host.c_str());
    }
    stage = Stage::handshaking;
    secure->async_handshake(asio::ssl::stream_base::client, [this, &request](beast::error_code ec) {
      if (ec) return done(ec);
      send(*secure, request);
    });
  }

  template <class Stream>
  void send(Stream& stream, const Request& request) {
    stage = Stage::sending;
    http::async_write(stream, request, [this, &stream](beast::error_code ec, size_t) {
      if (ec) return done(ec);
      read(stream);
    });
  }

  template <class Stream>
  void read(Stream& stream) {
    stage = Stage::reading;
    parser.emplace();
    parser->header_limit(static_cast<uint32_t>(HTTP_CLIENT_HEAD_MAX));
    parser->body_limit(limits.answer_max);
    http::async_read(stream, buffer, *parser, [this](beast::error_code ec, size_t) { done(ec); });
  }

  void done(beast::error_code ec) {
    failure = ec;
    answer_begun = parser && parser->got_some();
    deadline.cancel();
  }

  // The timer's and cancel()'s: every operation under way ends at once, with
  // an error. The TLS stream stays until the exchange is over: the handlers
  // of a handshake, write or read still under way use it as they end.
  void abort() {
    resolver.cancel();
    shut();
  }

  void shut() {
    beast::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    open = false;
  }

  // Between exchanges only, when nothing is under way.
  void close() {
    shut();
    secure.reset();
  }

  HttpCallAnswer failed(const std::string& reason, HttpCallStatus status) {
    close();
    return {status, 0, "", reason};
  }

  HttpCallAnswer outcome() {
    if (cancelled) return failed("cancelled", HttpCallStatus::cancelled);
    if (timed_out) {
      return failed("no whole answer within " + std::to_string(limits.deadline_ms / 1000) + " s",
                    HttpCallStatus::timed_out);
    }
    const beast::error_code ec = failure;
    if (ec == http::error::body_limit) {
      return failed("the answer is over " + std::to_string(limits.answer_max / 1024) + " KiB",
                    HttpCallStatus::too_large);
    }
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      return failed("the answer's head is over " + std::to_string(HTTP_CLIENT_HEAD_MAX) + " bytes",
                    HttpCallStatus::too_large);
    }
    if (ec) {
      switch (stage) {
      case Stage::resolving:
        return failed("cannot find " + host + ": " + ec.message(), HttpCallStatus::no_connection);
      case Stage::connecting:
        return failed("cannot connect to " + host + ":" + port + ": " + ec.message(),
                      HttpCallStatus::no_connection);
      case Stage::handshaking:
        return failed("no trusted HTTPS with " + host + ":" + port + ": " + tls_failure(ec),
                      HttpCallStatus::untrusted);
      case Stage::sending:
      case Stage::reading:
        if (ec.category() == http::make_error_code(http::error::bad_version).category()) {
          return failed("the answer is not HTTP (" + ec.message() + ")", HttpCallStatus::not_http);
        }
        return failed("the connection broke: " + ec.message(), HttpCallStatus::broken);
      }
    }
    auto& message = parser->get();
    HttpCallAnswer answer{HttpCallStatus::ok, static_cast<int>(message.result_int()),
                          std::move(message.body()), ""};
    answer.retry_after = std::string(message[http::field::retry_after]);
    // Bytes past the answer are no answer to anything: a new connection next.
    if (!message.keep_alive() || buffer.size() > 0) close();
    return answer;
  }

  // What the handshake met: OpenSSL's verdict on the certificate when it was
  // that, else the error's own text.
  std::string tls_failure(const beast::error_code& ec) {
    if (secure) {
      const long verdict = SSL_get_verify_result(secure->native_handle());
      if (verdict != X509_V_OK) {
        return std::string("its certificate did not verify: ") +
               X509_verify_cert_error_string(verdict) + " (is it for " + host +
               ", and signed by the CA given?)";
      }
    }
    return ec.message();
  }

  const std::string host;
  const std::string port;
  const HttpCallLimits limits;
  std::shared_ptr<asio::ssl::context> tls; // with HTTPS
  std::string problem;                     // why there is no context
  asio::io_context ioc{1};
  tcp::resolver resolver{ioc};
  tcp::socket socket{ioc};
  std::optional<TlsStream> secure; // the connection's TLS, over `socket`
  asio::steady_timer deadline{ioc};
  beast::flat_buffer buffer{HTTP_CLIENT_HEAD_MAX + limits.answer_max};
  std::optional<Parser> parser;
  std::atomic<bool> cancelled{false};
  // The exchange under way.
  bool open = false;   // connected, kept from an earlier exchange or made in this one
  bool reused = false; // the exchange began on a kept connection
  bool timed_out = false;
  bool answer_begun = false;
  Stage stage = Stage::resolving;
  beast::error_code failure;
};

HttpClient::HttpClient(std::string host, int port, HttpCallLimits limits, HttpClientTls tls)
    : impl_(std::make_unique<Impl>(std::move(host), port, limits, tls)) {}

const std::string& HttpClient::problem() const {
  return impl_->problem;
}

HttpClient::~HttpClient() = default;

HttpCallAnswer HttpClient::post_json(const std::string& target, const std::string& body,
                                     const HttpFields& headers) {
  Impl& c = *impl_;
  if (c.cancelled) return {HttpCallStatus::cancelled, 0, "", "cancelled"};
  if (!c.problem.empty()) return {HttpCallStatus::untrusted, 0, "", c.problem};
  Request request{http::verb::post, target, 11};
  request.set(http::field::host, c.host + ":" + c.port);
  request.set(http::field::content_type, "application/json");
  for (const auto& field : headers) request.set(field.first, field.second);
  request.keep_alive(true);
  request.body() = body;
  request.prepare_payload();

  c.timed_out = false;
  c.deadline.expires_after(std::chrono::milliseconds(c.limits.deadline_ms));
  for (int attempt = 0;; ++attempt) {
    c.ioc.restart();
    // The same deadline for a second attempt: it is the whole call's.
    c.deadline.async_wait([&c](beast::error_code ec) {
      if (ec) return; // the exchange ended first
      c.timed_out = true;
      c.abort();
    });
    c.failure = {};
    c.answer_begun = false;
    c.parser.reset();
    c.start(request);
    c.ioc.run();
    const bool again = c.failure && c.reused && attempt == 0 && !c.timed_out && !c.cancelled &&
                       closed_while_idle(c.stage, c.failure, c.answer_begun);
    if (!again) break;
    c.close();
  }
  return c.outcome();
}

void HttpClient::cancel() {
  impl_->cancelled = true;
  Impl* c = impl_.get();
  asio::post(c->ioc, [c] { c->abort(); });
}

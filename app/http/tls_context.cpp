#include "app/http/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "app/http/token_file.h"

namespace asio = boost::asio;

namespace {

// OpenSSL's reason for the last failure, or Asio's when it has none.
std::string reason_of(const boost::system::error_code& ec) {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code != 0) {
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr) return reason;
  }
  return ec.message();
}

std::shared_ptr<asio::ssl::context> tls_1_2_and_up(asio::ssl::context::method method) {
  auto context = std::make_shared<asio::ssl::context>(method);
  context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  return context;
}

std::string unreadable(const char* what, const std::string& path) {
  const std::string why = file_unreadable_reason(path);
  return why.empty() ? "" : std::string("cannot read the ") + what + " " + path + ": " + why;
}

} // namespace

std::string tls_server_context(const HttpTlsFiles& files,
                               std::shared_ptr<asio::ssl::context>* made) {
  for (const auto& [what, path] :
       {std::make_pair("certificate file", files.cert), std::make_pair("key file", files.key)}) {
    const std::string problem = unreadable(what, path);
    if (!problem.empty()) return problem;
  }
  if (token_file_open_to_others(files.key)) {
    return "the key file " + files.key +
           " may be read or written by others: make it its owner's alone (chmod 600 " + files.key +
           ")";
  }
  std::shared_ptr<asio::ssl::context> context = tls_1_2_and_up(asio::ssl::context::tls_server);
  boost::system::error_code ec;
  context->use_certificate_chain_file(files.cert, ec);
  if (ec)
    return "the certificate file " + files.cert + " holds no PEM certificate: " + reason_of(ec);
  context->use_private_key_file(files.key, asio::ssl::context::pem, ec);
  const std::string failed = ec ? reason_of(ec) : "";
  if (failed.find("mismatch") != std::string::npos ||
      (!ec && SSL_CTX_check_private_key(context->native_handle()) != 1)) {
    ERR_clear_error();
    return "the key in " + files.key + " is not the key of the certificate in " + files.cert;
  }
  if (ec) return "the key file " + files.key + " holds no PEM private key: " + failed;
  *made = std::move(context);
  return "";
}

std::string tls_client_context(const std::string& cafile,
                               std::shared_ptr<asio::ssl::context>* made) {
  std::shared_ptr<asio::ssl::context> context = tls_1_2_and_up(asio::ssl::context::tls_client);
  context->set_verify_mode(asio::ssl::verify_peer);
  if (cafile.empty()) {
    if (!tls_system_roots(*context)) return "this system has no trusted CAs: give a CA file";
  } else {
    const std::string problem = unreadable("CA file", cafile);
    if (!problem.empty()) return problem;
    boost::system::error_code ec;
    context->load_verify_file(cafile, ec);
    if (ec) return "the CA file " + cafile + " holds no PEM certificate: " + reason_of(ec);
  }
  *made = std::move(context);
  return "";
}

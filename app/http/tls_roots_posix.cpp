// The system's CAs as OpenSSL finds them (Debian: /etc/ssl/certs).
#include "app/http/tls_context.h"

bool tls_system_roots(boost::asio::ssl::context& context) {
  boost::system::error_code ec;
  context.set_default_verify_paths(ec);
  return !ec;
}

// The TLS contexts of the project's servers and clients (Asio over
// OpenSSL), made in one place so that each hop takes TLS 1.2 and 1.3 only,
// checks its files the same way and says what is wrong in one line. For the
// files of app/http that hold Asio; the rest of the project sees
// http_face.h.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/ssl/context.hpp>

#include "app/http/http_face.h"

// A server's context with the certificate chain and private key of `files`
// (the key its owner's alone). The problem in one line, or empty.
std::string tls_server_context(const HttpTlsFiles& files,
                               std::shared_ptr<boost::asio::ssl::context>* made);

// A client's context that trusts the CAs of `cafile` (PEM), or the system's
// when it is empty; the peer's certificate is always verified. The problem
// in one line, or empty.
std::string tls_client_context(const std::string& cafile,
                               std::shared_ptr<boost::asio::ssl::context>* made);

// Platform part (tls_roots_<platform>.cpp): the system's trusted CAs into
// `context`; false when there are none to be had.
bool tls_system_roots(boost::asio::ssl::context& context);

// A raw TCP connection to a server of ours under test (the station, the
// line), for the requests that a well-behaved HTTP client would not send.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

#include "tests/support/child_process.h"

// A raw TCP connection to a server on this computer, for what a
// well-behaved client would not send; closed when it goes.
class Connection {
public:
  // From `from`, a loopback address of this computer.
  Connection(int port, const std::string& from = "127.0.0.1") {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in there{};
    there.sin_family = AF_INET;
    there.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &there.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd_, reinterpret_cast<sockaddr*>(&there), sizeof there) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool ok() const { return fd_ >= 0; }
  bool send_text(const std::string& text) {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }

  // Sends `first`, then `filler` again and again up to `limit` bytes, while
  // reading what comes back, until the station closes the connection or the
  // time is up.
  std::string flood(const std::string& first, const std::string& filler, size_t limit,
                    double limit_s) {
    return exchange(first, filler, limit, limit_s, false);
  }
  std::string read_rest(double limit_s) { return exchange("", "", 0, limit_s, false); }
  // Up to the end of the first answer's head.
  std::string read_head(double limit_s) { return exchange("", "", 0, limit_s, true); }
  bool closed() const { return closed_; }

private:
  std::string exchange(std::string out, const std::string& filler, size_t limit, double limit_s,
                       bool until_head) {
    std::string in;
    size_t sent = 0, at = 0;
    for (const double end = monotonic_seconds() + limit_s; monotonic_seconds() < end;) {
      if (at == out.size() && sent < limit) {
        out = filler;
        at = 0;
      }
      pollfd p{fd_, static_cast<short>(POLLIN | (at < out.size() ? POLLOUT : 0)), 0};
      if (poll(&p, 1, 50) <= 0) continue;
      if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        closed_ = n <= 0;
        if (closed_) break;
        in.append(buffer, static_cast<size_t>(n));
        if (until_head && in.find("\r\n\r\n") != std::string::npos) break;
      } else {
        const ssize_t n =
            ::send(fd_, out.data() + at, out.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN) {
          out.clear(); // the station closed: read its answer
          at = limit = 0;
        }
        at += static_cast<size_t>(std::max<ssize_t>(n, 0));
        sent += static_cast<size_t>(std::max<ssize_t>(n, 0));
      }
    }
    return in;
  }

  int fd_ = -1;
  bool closed_ = false;
};

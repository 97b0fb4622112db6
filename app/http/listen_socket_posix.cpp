#include "app/http/listen_socket.h"

#include <sys/socket.h>

// On Linux a bind is exclusive unless both sockets ask for SO_REUSEPORT,
// which we never do; SO_REUSEADDR only lets a station start again at once on
// a port whose last connections still linger.
bool listen_socket_claim(std::uintptr_t socket) {
  const int on = 1;
  return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

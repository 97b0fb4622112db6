#include "app/http/listen_socket.h"

#include <winsock2.h>

// On Windows SO_REUSEADDR would let a second program take a port in use; an
// exclusive bind keeps it out, whatever options the other program asks for.
bool listen_socket_claim(std::uintptr_t socket) {
  const BOOL on = TRUE;
  return setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                    reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

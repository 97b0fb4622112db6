// The one difference between the systems in how a server takes its address:
// a second program must never be let onto an address:port in use.
#pragma once

#include <cstdint>

// Makes the listening socket's bind exclusive, before the bind; false when
// the system refused the option.
bool listen_socket_claim(std::uintptr_t socket);

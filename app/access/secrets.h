// People's secrets, kept only as the output of scrypt (memory-hard, in the
// crypto library the servers already carry): N = 16384, r = 8, p = 1, a
// random 16-byte salt, a 32-byte key, about 50 ms and 16 MiB on a line's
// machine, so that a stolen table costs an attacker as much per guess.
// Kept as "scrypt$N$r$p$SALT$KEY" (hex), so that the cost can grow later
// without making old secrets unreadable.
#pragma once

#include <cstddef>
#include <string>

constexpr size_t SECRET_MIN = 6;
constexpr size_t SECRET_MAX = 256;

// Whether `secret` may be one: SECRET_MIN to SECRET_MAX bytes, no control
// characters; the problem in one line, or empty.
std::string secret_problem(const std::string& secret);

// The stored form of a new secret.
std::string secret_hash(const std::string& secret);

// Whether `secret` is the one `stored` was made of; compared in full, in
// constant time. False for a stored form that is no such hash.
bool secret_matches(const std::string& secret, const std::string& stored);

// Costs what a real check costs, for a name that has no secret: the time
// taken tells nothing of which names exist.
void secret_check_nothing(const std::string& secret);

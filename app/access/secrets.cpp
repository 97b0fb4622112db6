#include "app/access/secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "image/hex_text.h"

namespace {

constexpr uint64_t COST_N = 16384;
constexpr uint64_t COST_R = 8;
constexpr uint64_t COST_P = 1;
constexpr size_t SALT_BYTES = 16;
constexpr size_t KEY_BYTES = 32;
// What scrypt may take: 128 * N * r bytes and some.
constexpr uint64_t MEMORY_MAX = 64ULL << 20;
// A stored cost past these is no hash this program made.
constexpr uint64_t N_MAX = 1ULL << 20;
constexpr uint64_t R_MAX = 32;
constexpr uint64_t P_MAX = 16;

bool unhex(const std::string& text, std::vector<unsigned char>* out) {
  std::string bytes;
  if (!hex_bytes(text, &bytes)) return false;
  out->assign(bytes.begin(), bytes.end());
  return true;
}

bool number(const std::string& text, uint64_t most, uint64_t* value) {
  if (text.empty() || text.size() > 8) return false;
  *value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + static_cast<uint64_t>(c - '0');
  }
  return *value >= 1 && *value <= most;
}

bool derive(const std::string& secret, const std::vector<unsigned char>& salt, uint64_t n,
            uint64_t r, uint64_t p, size_t size, std::vector<unsigned char>* key) {
  key->assign(size, 0);
  return EVP_PBE_scrypt(secret.data(), secret.size(), salt.data(), salt.size(), n, r, p, MEMORY_MAX,
                        key->data(), key->size()) == 1;
}

std::vector<std::string> fields(const std::string& stored) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = stored.find('$', from)) != std::string::npos; from = at + 1) {
    parts.push_back(stored.substr(from, at - from));
  }
  parts.push_back(stored.substr(from));
  return parts;
}

} // namespace

std::string secret_problem(const std::string& secret) {
  if (secret.size() < SECRET_MIN || secret.size() > SECRET_MAX) {
    return "a secret is " + std::to_string(SECRET_MIN) + " to " + std::to_string(SECRET_MAX) +
           " characters";
  }
  for (const char c : secret) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      return "a secret holds no control characters";
    }
  }
  return "";
}

std::string secret_hash(const std::string& secret) {
  std::vector<unsigned char> salt(SALT_BYTES);
  // A system without randomness leaves no safe salt to give: nothing else
  // would do.
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) std::abort();
  std::vector<unsigned char> key;
  if (!derive(secret, salt, COST_N, COST_R, COST_P, KEY_BYTES, &key)) std::abort();
  return "scrypt$" + std::to_string(COST_N) + "$" + std::to_string(COST_R) + "$" +
         std::to_string(COST_P) + "$" + hex_text(salt.data(), salt.size()) + "$" +
         hex_text(key.data(), key.size());
}

bool secret_matches(const std::string& secret, const std::string& stored) {
  const std::vector<std::string> parts = fields(stored);
  uint64_t n = 0, r = 0, p = 0;
  std::vector<unsigned char> salt, want, got;
  if (parts.size() != 6 || parts[0] != "scrypt" || !number(parts[1], N_MAX, &n) ||
      (n & (n - 1)) != 0 || !number(parts[2], R_MAX, &r) || !number(parts[3], P_MAX, &p) ||
      !unhex(parts[4], &salt) || !unhex(parts[5], &want) || want.empty() || want.size() > 64) {
    return false;
  }
  if (!derive(secret, salt, n, r, p, want.size(), &got)) return false;
  return CRYPTO_memcmp(got.data(), want.data(), want.size()) == 0;
}

void secret_check_nothing(const std::string& secret) {
  static const std::string nobody = secret_hash("no one has this secret");
  secret_matches(secret, nobody);
}

#include "app/access/credentials.h"

#include <openssl/rand.h>

#include "image/sha256.h"

namespace {

const char* const ROLE_NAMES[] = {"admin", "station", "viewer"};
const Role ROLES[] = {Role::admin, Role::station, Role::viewer};

bool same_text_any_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Compared in full whatever differs first: the time taken tells nothing.
bool same_secret(const std::string& given, const std::string& secret) {
  if (given.size() != secret.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < given.size(); ++i) {
    diff |= static_cast<unsigned char>(given[i] ^ secret[i]);
  }
  return diff == 0;
}

} // namespace

const char* const CREDENTIAL_NAME_RULE =
    "a name of 1 to 64 letters, digits, '.', '_' and '-', beginning with a letter or digit";

const char* role_name(Role role) {
  return ROLE_NAMES[static_cast<int>(role)];
}

std::optional<Role> role_from_name(const std::string& name) {
  for (size_t i = 0; i < sizeof ROLES / sizeof ROLES[0]; ++i) {
    if (name == ROLE_NAMES[i]) return ROLES[i];
  }
  return std::nullopt;
}

bool credential_name_is_valid(const std::string& name) {
  if (name.empty() || name.size() > CREDENTIAL_NAME_MAX) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum && (i == 0 || (c != '.' && c != '_' && c != '-'))) return false;
  }
  return true;
}

std::string credential_token() {
  unsigned char bytes[32];
  // A system without randomness leaves no safe token to give: nothing else
  // would do.
  if (RAND_bytes(bytes, sizeof bytes) != 1) std::abort();
  static const char HEX[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char b : bytes) {
    token += HEX[b >> 4];
    token += HEX[b & 15];
  }
  return token;
}

std::string credential_token_hash(const std::string& token) {
  return sha256_hex(sha256(reinterpret_cast<const uint8_t*>(token.data()), token.size()));
}

void Credentials::set_admin_token(const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  admin_ = token;
}

void Credentials::replace(const std::vector<CredentialRow>& rows) {
  std::map<std::string, Identity> valid;
  for (const CredentialRow& row : rows) {
    if (row.revoked_at.empty()) valid[row.token_sha256] = Identity{row.role, row.name};
  }
  std::lock_guard<std::mutex> lock(mutex_);
  by_hash_.swap(valid);
}

bool Credentials::has_admin() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !admin_.empty();
}

AuthResult Credentials::identify(const std::string& authorization) const {
  const std::string scheme = "bearer ";
  if (authorization.empty()) return {AuthStatus::none, {}};
  if (authorization.size() <= scheme.size() ||
      !same_text_any_case(authorization.substr(0, scheme.size()), scheme)) {
    return {AuthStatus::unknown, {}};
  }
  const std::string token = authorization.substr(scheme.size());
  const std::string hash = credential_token_hash(token);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!admin_.empty() && same_secret(token, admin_)) return {AuthStatus::ok, {Role::admin, "admin"}};
  const auto found = by_hash_.find(hash);
  if (found == by_hash_.end()) return {AuthStatus::unknown, {}};
  return {AuthStatus::ok, found->second};
}

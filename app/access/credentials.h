// Who may do what on a server of the line: credentials, each a random token
// with a name and a role, checked in one place before any route runs.
//
//   admin    everything; the token of --token-file is the admin's
//   station  reports (rows and live state) for the station of its name only
//   viewer   reads the page, the events, the records and the CSV
//
// Tokens are kept only as their SHA-256; the token itself is shown once,
// when it is made. A request names its credential as
// "Authorization: Bearer TOKEN". Every call is safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

enum class Role { admin, station, viewer };

// "admin", "station", "viewer".
const char* role_name(Role role);
std::optional<Role> role_from_name(const std::string& name);

// A station's (or a credential's) name: [A-Za-z0-9][A-Za-z0-9._-]{0,63}, so
// that it stands in a path, a topic and a file name as it is.
constexpr size_t CREDENTIAL_NAME_MAX = 64;
bool credential_name_is_valid(const std::string& name);
// The rule above in words, for refusals.
extern const char* const CREDENTIAL_NAME_RULE;

// A new token: 32 random bytes as 64 hex digits.
std::string credential_token();
// What the store keeps of a token: 64 hex digits of its SHA-256.
std::string credential_token_hash(const std::string& token);

// One credential as the store keeps it.
struct CredentialRow {
  std::string name;
  Role role = Role::viewer;
  std::string token_sha256;
  std::string created_at;
  std::string revoked_at; // empty while it is valid
};

// Who a request comes from.
struct Identity {
  Role role = Role::admin;
  std::string name; // the credential's; "admin" for the token file's
};

enum class AuthStatus {
  ok,      // a valid credential
  none,    // no credential given
  unknown, // a token that is no valid credential (unknown, revoked, malformed)
};

struct AuthResult {
  AuthStatus status = AuthStatus::none;
  Identity who;
};

// The credentials a server knows: the admin's token and those of its store.
class Credentials {
public:
  // The token of --token-file; empty: none.
  void set_admin_token(const std::string& token);
  // The store's credentials, as read last; revoked ones are left out.
  void replace(const std::vector<CredentialRow>& rows);
  // The credential an Authorization header names.
  AuthResult identify(const std::string& authorization) const;
  bool has_admin() const;

private:
  mutable std::mutex mutex_;
  std::string admin_;
  std::map<std::string, Identity> by_hash_; // valid credentials by their token's SHA-256
};

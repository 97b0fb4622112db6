// The audit trail: one entry per action that changes something (a run
// started or cancelled, a sign-in, a person or credential changed, the
// program started or stopped), each naming who did what to what, when, and
// what it was before and after. The entries of one origin (a station, or
// the line) form a chain: each holds the SHA-256 of the one before together
// with its own content, so that an entry changed, removed or inserted
// breaks the chain where it was touched. Appending is the only write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The hash the first entry of a chain names as the one before it.
extern const char* const AUDIT_GENESIS;

struct AuditEntry {
  int64_t seq = 0;     // 1, 2, 3... within its origin
  std::string at;      // UTC, as the record store writes times
  std::string origin;  // the station's name, or "line"
  std::string who;     // the person, the credential, or "local"
  std::string action;  // "run.start", "session.sign_in"...
  std::string subject; // what it was done to: a slot, a person, a credential
  std::string details; // JSON: what it was before and after, and why
  std::string prev_hash;
  std::string hash;
};

// The hash of `entry`'s content with its prev_hash: 64 hex digits.
std::string audit_hash(const AuditEntry& entry);

// The entry that follows `last` (nullptr: the first of its chain), its
// seq, prev_hash and hash filled in.
AuditEntry audit_next(const AuditEntry* last, std::string at, std::string origin, std::string who,
                      std::string action, std::string subject, std::string details);

// The first entry of a chain (its entries in seq order, one origin) that
// does not fit: changed (its hash), removed or inserted (its seq or its
// link to the one before). Empty when the chain is whole.
std::string audit_verify(const std::vector<AuditEntry>& chain);

#include "records/audit_chain.h"

#include "image/sha256.h"

const char* const AUDIT_GENESIS =
    "0000000000000000000000000000000000000000000000000000000000000000";

namespace {

// Each field as its length and its bytes: no two entries read the same.
void field(std::string* content, const std::string& value) {
  *content += std::to_string(value.size()) + ":" + value + ";";
}

} // namespace

std::string audit_hash(const AuditEntry& entry) {
  std::string content;
  field(&content, entry.prev_hash);
  field(&content, std::to_string(entry.seq));
  for (const std::string* value :
       {&entry.at, &entry.origin, &entry.who, &entry.action, &entry.subject, &entry.details}) {
    field(&content, *value);
  }
  return sha256_hex(sha256(reinterpret_cast<const uint8_t*>(content.data()), content.size()));
}

AuditEntry audit_next(const AuditEntry* last, std::string at, std::string origin, std::string who,
                      std::string action, std::string subject, std::string details) {
  AuditEntry entry;
  entry.seq = last != nullptr ? last->seq + 1 : 1;
  entry.at = std::move(at);
  entry.origin = std::move(origin);
  entry.who = std::move(who);
  entry.action = std::move(action);
  entry.subject = std::move(subject);
  entry.details = std::move(details);
  entry.prev_hash = last != nullptr ? last->hash : AUDIT_GENESIS;
  entry.hash = audit_hash(entry);
  return entry;
}

std::string audit_verify(const std::vector<AuditEntry>& chain) {
  std::string prev = AUDIT_GENESIS;
  int64_t seq = 0;
  for (const AuditEntry& entry : chain) {
    const std::string name = entry.origin + " entry " + std::to_string(entry.seq) + " (" +
                             entry.at + ", " + entry.action + ")";
    if (entry.hash != audit_hash(entry)) return name + " was changed: its hash does not fit it";
    if (entry.seq != seq + 1) {
      return name + (entry.seq <= seq ? " was inserted" : " follows a removed entry") + ": entry " +
             std::to_string(seq + 1) + " was expected";
    }
    if (entry.prev_hash != prev) {
      return name + " does not follow the entry before it (one was removed, changed or inserted)";
    }
    prev = entry.hash;
    seq = entry.seq;
  }
  return "";
}

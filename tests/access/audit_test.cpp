// The audit trail's chain: each entry names the hash of the one before, so
// that verify finds the first entry that was changed, removed or inserted.
#include <gtest/gtest.h>

#include "app/access/audit.h"

namespace {

std::vector<AuditEntry> chain_of(int entries) {
  std::vector<AuditEntry> chain;
  for (int i = 0; i < entries; ++i) {
    chain.push_back(audit_next(chain.empty() ? nullptr : &chain.back(),
                               "2026-12-10T08:00:0" + std::to_string(i) + ".000Z", "st-1", "Anna",
                               "run.start", "slot " + std::to_string(i + 1), "{}"));
  }
  return chain;
}

TEST(AuditChain, VerifyFindsTheFirstEntryChangedRemovedOrInserted) {
  const std::vector<AuditEntry> whole = chain_of(5);
  EXPECT_EQ(whole.front().prev_hash, AUDIT_GENESIS);
  EXPECT_EQ(whole[3].prev_hash, whole[2].hash);
  EXPECT_EQ(audit_verify(whole), "");

  std::vector<AuditEntry> changed = whole;
  changed[2].who = "Berta";
  EXPECT_EQ(audit_verify(changed).rfind("st-1 entry 3 ", 0), 0u) << audit_verify(changed);
  EXPECT_NE(audit_verify(changed).find("was changed"), std::string::npos);

  // Changed and its hash made again: the next entry no longer follows it.
  changed[2].hash = audit_hash(changed[2]);
  EXPECT_NE(audit_verify(changed).find("st-1 entry 4 "), std::string::npos)
      << audit_verify(changed);

  std::vector<AuditEntry> removed = whole;
  removed.erase(removed.begin() + 1);
  EXPECT_NE(audit_verify(removed).find("entry 3 "), std::string::npos) << audit_verify(removed);
  EXPECT_NE(audit_verify(removed).find("removed"), std::string::npos);

  std::vector<AuditEntry> inserted = whole;
  AuditEntry forged =
      audit_next(&whole[1], whole[1].at, "st-1", "Mallory", "run.cancel", "slot 2", "{}");
  inserted.insert(inserted.begin() + 2, forged);
  EXPECT_NE(audit_verify(inserted).find("entry 3 "), std::string::npos) << audit_verify(inserted);

  // Fields never run into each other: moving a character across two of them
  // changes the hash.
  AuditEntry a = whole[0];
  AuditEntry b = a;
  b.who = a.who + a.action.substr(0, 1);
  b.action = a.action.substr(1);
  EXPECT_NE(audit_hash(a), audit_hash(b));
}

} // namespace

// The audit trail's chain: each entry names the hash of the one before, so
// that verify finds the first entry that was changed, removed or inserted;
// and the record store, which keeps it appended to only.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "records/audit_chain.h"
#include "records/record_store.h"

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

namespace {

// The store keeps each origin's chain, appended to only: the store itself
// refuses to change or delete an entry or a finished run, and an entry
// changed behind its back (its guard dropped) is found by verify.
TEST(AuditChain, TheStoreAppendsOnlyAndVerifyFindsAnEditBehindItsBack) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("orva-audit-" + record_uuid().substr(0, 8));
  fs::create_directories(dir);
  const std::string path = (dir / "records.db").string();
  {
    StoreResult opened;
    auto store = RecordStore::open(path, &opened);
    ASSERT_TRUE(store) << opened.reason;
    for (int i = 1; i <= 3; ++i) {
      for (const char* origin : {"st-1", "st-2"}) {
        ASSERT_TRUE(store
                        ->audit_append(origin, "2026-12-10T08:00:0" + std::to_string(i) + ".000Z",
                                       "Anna", "run.start", "slot " + std::to_string(i), "{}")
                        .ok());
      }
    }
    std::vector<AuditEntry> chain;
    ASSERT_TRUE(store->audit_after("st-2", 0, 100, &chain).ok());
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[2].seq, 3);
    EXPECT_EQ(audit_verify(chain), "");
    ASSERT_TRUE(store->audit_after("st-2", 2, 100, &chain).ok());
    EXPECT_EQ(chain.size(), 1u);

    PersonRow anna{PEOPLE_LOCAL, "Anna", "operator", "scrypt$...", "2026-12-10", ""};
    EXPECT_TRUE(store->person_add(anna).ok());
    EXPECT_EQ(store->person_add(anna).status, StoreStatus::conflict);
    anna.disabled_at = "2026-12-11";
    EXPECT_TRUE(store->person_change(anna).ok());
    PersonRow read;
    bool found = false;
    ASSERT_TRUE(store->person(PEOPLE_LOCAL, "Anna", &read, &found).ok());
    EXPECT_TRUE(found);
    EXPECT_EQ(read.disabled_at, "2026-12-11");
    anna.name = "Nobody";
    EXPECT_EQ(store->person_change(anna).status, StoreStatus::conflict);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_NE(sqlite3_exec(db, "UPDATE audit SET who = 'Mallory'", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_NE(sqlite3_exec(db, "DELETE FROM audit WHERE seq = 2", nullptr, nullptr, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "DROP TRIGGER audit_stays_u; UPDATE audit SET who = 'Mallory' WHERE"
                         " origin = 'st-1' AND seq = 2",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  StoreResult opened;
  auto store = RecordStore::open(path, &opened);
  ASSERT_TRUE(store) << opened.reason;
  std::vector<AuditEntry> chain;
  ASSERT_TRUE(store->audit_after("st-1", 0, 100, &chain).ok());
  EXPECT_EQ(audit_verify(chain).rfind("st-1 entry 2 ", 0), 0u) << audit_verify(chain);
  store.reset();
  fs::remove_all(dir);
}

} // namespace

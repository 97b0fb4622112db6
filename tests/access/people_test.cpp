// People and their sessions: secrets kept only as scrypt's output, a name
// locked after five wrong tries, sessions that end by sign-out, idleness and
// age, and the cookie that carries them. Times come as numbers: nothing
// here sleeps.
#include <gtest/gtest.h>

#include "app/access/people.h"
#include "app/access/secrets.h"
#include "app/access/sessions.h"

namespace {

TEST(Secrets, OnlyTheHashIsKeptAndOnlyTheSecretFitsIt) {
  const std::string stored = secret_hash("badge-4711");
  EXPECT_EQ(stored.rfind("scrypt$16384$8$1$", 0), 0u) << stored;
  EXPECT_EQ(stored.find("badge-4711"), std::string::npos);
  EXPECT_NE(secret_hash("badge-4711"), stored) << "each secret gets a salt of its own";
  EXPECT_TRUE(secret_matches("badge-4711", stored));
  EXPECT_FALSE(secret_matches("badge-4712", stored));
  EXPECT_FALSE(secret_matches("badge-4711", stored + "0"));
  for (const char* broken :
       {"", "scrypt", "scrypt$16384$8$1$00$", "scrypt$16383$8$1$00$00", "md5$1$1$1$00$00",
        "scrypt$99999999$8$1$00$00", "scrypt$16384$8$1$zz$00"}) {
    EXPECT_FALSE(secret_matches("badge-4711", broken)) << broken;
  }
  EXPECT_EQ(secret_problem("12345"), "a secret is 6 to 256 characters");
  EXPECT_NE(secret_problem("123456\n"), "");
  EXPECT_EQ(secret_problem("123456"), "");
}

TEST(SignIn, FiveWrongTriesLockTheNameForAMinute) {
  SignInGuard guard;
  const Person anna{"Anna", PersonRole::supervisor, secret_hash("secret-1"), "", ""};
  EXPECT_EQ(guard.check("Anna", &anna, "secret-1", 0).status, SignInStatus::ok);
  for (int i = 0; i < SIGN_IN_TRIES; ++i) {
    EXPECT_EQ(guard.check("Anna", &anna, "wrong!", 1000 + i).status, SignInStatus::wrong) << i;
  }
  const SignInResult locked = guard.check("Anna", &anna, "secret-1", 2000);
  EXPECT_EQ(locked.status, SignInStatus::locked) << "the right secret waits out the lock too";
  EXPECT_EQ(locked.retry_s, 60);
  EXPECT_EQ(guard.check("Berta", nullptr, "secret-1", 2000).status, SignInStatus::wrong)
      << "another name is not locked, and one that does not exist is merely wrong";
  const SignInResult back = guard.check("Anna", &anna, "secret-1", 1004 + SIGN_IN_LOCK_MS);
  EXPECT_EQ(back.status, SignInStatus::ok);
  EXPECT_EQ(back.role, PersonRole::supervisor);

  Person gone = anna;
  gone.disabled_at = "2026-12-10T00:00:00.000Z";
  EXPECT_EQ(guard.check("Anna", &gone, "secret-1", 100000).status, SignInStatus::disabled);
}

TEST(Sessions, EndBySignOutIdlenessAndAgeAndTheirCookieIsGuarded) {
  Sessions sessions(SessionLimits{1000000, 1000});
  const std::string id = sessions.open({"Anna", PersonRole::machine_operator}, 0);
  EXPECT_EQ(id.size(), 32u);
  EXPECT_NE(sessions.open({"Anna", PersonRole::machine_operator}, 0), id);
  ASSERT_TRUE(sessions.find(id, 900));
  EXPECT_EQ(sessions.find(id, 1800)->name, "Anna") << "each request keeps it alive";
  EXPECT_FALSE(sessions.find(id, 2800)) << "a second without a request ends it";

  const std::string old = sessions.open({"Berta", PersonRole::admin}, 0);
  for (int64_t t = 900; t < 1000000; t += 900) ASSERT_TRUE(sessions.find(old, t)) << t;
  EXPECT_FALSE(sessions.find(old, 1000000)) << "it ends at its longest life";

  const std::string mine = sessions.open({"Carl", PersonRole::engineer}, 0);
  sessions.end(mine);
  EXPECT_FALSE(sessions.find(mine, 1));
  const std::string again = sessions.open({"Carl", PersonRole::engineer}, 0);
  sessions.end_all_of("Carl");
  EXPECT_FALSE(sessions.find(again, 1));

  EXPECT_EQ(session_cookie(id, true),
            "orva_session=" + id + "; Path=/; HttpOnly; SameSite=Strict; Secure");
  EXPECT_EQ(session_cookie("", false),
            "orva_session=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
  EXPECT_EQ(session_of_cookies("a=1; orva_session=" + id + "; b=2"), id);
  EXPECT_EQ(session_of_cookies("orva_session=../../etc"), "");
  EXPECT_EQ(session_of_cookies("xorva_session=" + id), "");
}

TEST(People, NamesAndRoles) {
  for (const char* name : {"Anna", "E-4711", "anna.berg@plant", "Anna Berg"}) {
    EXPECT_TRUE(person_name_is_valid(name)) << name;
  }
  for (const std::string& name : {std::string(""), std::string(" Anna"), std::string("Anna "),
                                  std::string("An\tna"), std::string(65, 'a')}) {
    EXPECT_FALSE(person_name_is_valid(name)) << name;
  }
  EXPECT_EQ(person_role_from_name("operator"), PersonRole::machine_operator);
  EXPECT_FALSE(person_role_from_name("root"));
  EXPECT_TRUE(person_role_allows(PersonRole::admin, PersonRole::engineer));
  EXPECT_FALSE(person_role_allows(PersonRole::supervisor, PersonRole::engineer));
}

} // namespace

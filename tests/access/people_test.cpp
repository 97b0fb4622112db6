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

// What only whole programs show: a station and a line signing people in,
// the roles each route asks for, a name locked after wrong tries, sign-out,
// and a station that checks a sign-in through its line and, with the line
// away, against the people the line last gave it.
#include <httplib.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "tests/support/bootsim_process.h"
#include "tests/support/child_process.h"
#include "tests/support/web_session.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr double START_S = 30.0;

class PeopleAtWork : public ::testing::Test {
protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    dir_ = fs::temp_directory_path() / ("orva-people-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    for (ChildProcess* p : {&station_, &line_}) {
      p->send_signal(SIGTERM);
      p->finish(30);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  int serve_station(const std::vector<std::string>& ports, std::vector<std::string> more) {
    std::vector<std::string> args{ORVALOAD_CLI,  "--serve",
                                  "127.0.0.1:0", "--records",
                                  store(),       "--station-name",
                                  "st-1",        "--people-required"};
    for (const std::string& port : ports) args.insert(args.end(), {"--port", port});
    args.insert(args.end(), more.begin(), more.end());
    EXPECT_TRUE(station_.start(args));
    EXPECT_TRUE(station_.wait_for_output("/ with slots", START_S)) << station_.err();
    return port_of(station_.out());
  }
  std::string store() const { return (dir_ / "st.db").string(); }

  // A number the station's store answers.
  int64_t count_of(const std::string& sql) { return count_in(store(), sql); }

  // The station's audit entries, as its store holds them.
  std::vector<std::string> audit_actions() {
    sqlite3* db = nullptr;
    std::vector<std::string> actions;
    if (sqlite3_open_v2(store().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      return actions;
    }
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT action || ' ' || who || ' ' || details FROM audit ORDER BY seq",
                       -1, &select, nullptr);
    while (select != nullptr && sqlite3_step(select) == SQLITE_ROW) {
      actions.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)));
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    return actions;
  }

  fs::path dir_;
  ChildProcess station_;
  ChildProcess line_;
};

} // namespace

// A station's own people: a change needs a person signed in, clearing a
// failure a supervisor; five wrong secrets lock the name (429), a sign-out
// ends the session; the cookie is HttpOnly and SameSite=Strict; the record
// names the operator, and each step is in the audit trail.
TEST_F(PeopleAtWork, AStationTakesChangesFromPeopleOfTheRightRole) {
  for (const auto& [name, role] :
       {std::make_pair("Olga", "operator"), std::make_pair("Sam", "supervisor")}) {
    run_with_input("secret-" + std::string(name),
                   {ORVALOAD_CLI, "--records", store(), "--station-name", "st-1", "person", "add",
                    name, "--role", role});
  }
  BootsimProcess failing;
  ASSERT_TRUE(
      failing.start({"--image", ORVA_FIRMWARE_FILE, "--runs", "0", "--device-error", "300:7"},
                    START_S));
  const int port = serve_station({failing.path()}, {});
  Browser olga(port), sam(port);
  EXPECT_EQ(status_of(olga.send("POST", "/api/slots/1/run", "{}")), 401);

  ASSERT_EQ(olga.sign_in("Olga", "secret-Olga"), 200);
  EXPECT_NE(olga.set_cookie().find("; HttpOnly"), std::string::npos) << olga.set_cookie();
  EXPECT_NE(olga.set_cookie().find("; SameSite=Strict"), std::string::npos);
  EXPECT_EQ(olga.set_cookie().find("Secure"), std::string::npos) << "plain HTTP: no Secure";
  EXPECT_EQ(json::parse(olga.send("GET", "/api/session")->body)["person"]["role"], "operator");
  ASSERT_EQ(status_of(olga.send("POST", "/api/slots/1/run", R"({"tag": "SN-P1"})")), 202);
  for (int i = 0; i < 100; ++i) {
    const json state = json::parse(olga.send("GET", "/api/station")->body);
    if (state["slots"][0]["state"] == "failed") break;
    usleep(50000);
  }
  EXPECT_EQ(status_of(olga.send("POST", "/api/slots/1/clear")), 403)
      << "clearing is a supervisor's";
  ASSERT_EQ(sam.sign_in("Sam", "secret-Sam"), 200);
  EXPECT_EQ(status_of(sam.send("POST", "/api/slots/1/clear")), 200);
  const json records = json::parse(sam.send("GET", "/api/records")->body)["records"];
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["operator"], "Olga");

  EXPECT_EQ(status_of(olga.send("DELETE", "/api/session")), 200);
  EXPECT_EQ(status_of(olga.send("POST", "/api/slots/1/run", "{}")), 401) << "signed out";
  Browser mallory(port);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(mallory.sign_in("Sam", "not-his-secret"), 401) << i;
  const auto locked =
      mallory.send("POST", "/api/session", json{{"name", "Sam"}, {"secret", "secret-Sam"}}.dump());
  EXPECT_EQ(status_of(locked), 429);
  EXPECT_EQ(locked->get_header_value("Retry-After"), "60");

  const std::vector<std::string> actions = audit_actions();
  const auto count = [&actions](const std::string& head) {
    return std::count_if(actions.begin(), actions.end(),
                         [&head](const std::string& a) { return a.rfind(head, 0) == 0; });
  };
  EXPECT_EQ(count("person.add "), 2);
  EXPECT_EQ(count("session.sign_in Olga"), 1);
  EXPECT_EQ(count("run.start Olga"), 1);
  EXPECT_EQ(count("slot.clear Sam"), 1);
  EXPECT_EQ(count("session.sign_out Olga"), 1);
  EXPECT_EQ(count("session.sign_in_failed Sam"), 6) << "five wrong tries, then the locked one";
}

// A station with a line asks the line; with the line stopped it checks
// against the people the line last gave it, and the entry says so. The
// line's own people and audit routes take the role they need.
TEST_F(PeopleAtWork, ASignInIsCheckedByTheLineAndWithoutIt) {
  const std::string db = "sqlite:" + (dir_ / "line.db").string();
  for (const auto& [name, role] :
       {std::make_pair("Lena", "operator"), std::make_pair("Sue", "supervisor"),
        std::make_pair("Ada", "admin")}) {
    run_with_input("secret-" + std::string(name),
                   {ORVALOAD_LINE, "--db", db, "person", "add", name, "--role", role});
  }
  std::string token;
  run_with_input("", {ORVALOAD_LINE, "--db", db, "credential", "add", "station", "st-1"}, &token);
  const std::string token_file = (dir_ / "st-1.token").string();
  std::ofstream(token_file) << trimmed(token) << "\n";
  fs::permissions(token_file, fs::perms::owner_read | fs::perms::owner_write);

  ASSERT_TRUE(
      line_.start({ORVALOAD_LINE, "--serve", "127.0.0.1:0", "--db", db, "--people-required"}));
  ASSERT_TRUE(line_.wait_for_output("; Ctrl-C ends it", START_S)) << line_.err();
  const int line_port = port_of(line_.out());
  Browser lena(line_port), sue(line_port), ada(line_port);
  EXPECT_EQ(status_of(sue.send("GET", "/api/audit")), 401) << "no one signed in";
  ASSERT_EQ(lena.sign_in("Lena", "secret-Lena"), 200);
  ASSERT_EQ(sue.sign_in("Sue", "secret-Sue"), 200);
  ASSERT_EQ(ada.sign_in("Ada", "secret-Ada"), 200);
  EXPECT_EQ(status_of(lena.send("GET", "/api/audit")), 403);
  EXPECT_EQ(status_of(sue.send("GET", "/api/audit")), 200);
  EXPECT_EQ(status_of(sue.send("GET", "/api/people")), 403);
  EXPECT_EQ(status_of(ada.send("GET", "/api/people")), 200);
  EXPECT_EQ(status_of(ada.send(
                "POST", "/api/people",
                json{{"name", "Ole"}, {"role", "operator"}, {"secret", "secret-Ole"}}.dump())),
            201);

  BootsimProcess sim;
  ASSERT_TRUE(sim.start({"--image", ORVA_FIRMWARE_FILE, "--runs", "0"}, START_S));
  const int port =
      serve_station({sim.path()}, {"--line", "http://127.0.0.1:" + std::to_string(line_port),
                                   "--line-token-file", token_file});
  Browser first(port);
  EXPECT_EQ(first.sign_in("Ole", "secret-Ole"), 200) << "checked by the line";
  EXPECT_EQ(first.sign_in("Ole", "wrong-secret"), 401);
  // The line's people reach the station with its heartbeat.
  bool kept = false;
  for (const double end = monotonic_seconds() + 15; !kept && monotonic_seconds() < end;
       usleep(200000)) {
    kept = count_of("SELECT COUNT(*) FROM people WHERE source = 'line'") == 4;
  }
  EXPECT_TRUE(kept) << "the station keeps the line's four people";
  line_.send_signal(SIGTERM);
  EXPECT_EQ(line_.finish(10), 0) << line_.err();
  Browser second(port);
  EXPECT_EQ(second.sign_in("Ole", "secret-Ole"), 200) << "the people the line last gave";
  EXPECT_EQ(second.sign_in("Nobody", "secret-xyz"), 401);
  const std::vector<std::string> actions = audit_actions();
  ASSERT_GE(actions.size(), 2u);
  bool offline = false;
  for (const std::string& a : actions) {
    offline = offline ||
              (a.rfind("session.sign_in Ole", 0) == 0 && a.find("line away") != std::string::npos);
  }
  EXPECT_TRUE(offline) << "the entry says the line was away";

  // Back again, the line gets what the station did meanwhile, each entry
  // once, and the chains it holds are whole.
  ASSERT_TRUE(line_.start({ORVALOAD_LINE, "--serve", "127.0.0.1:" + std::to_string(line_port),
                           "--db", db, "--people-required"}));
  ASSERT_TRUE(line_.wait_for_output("; Ctrl-C ends it", START_S)) << line_.err();
  const std::string line_db = (dir_ / "line.db").string();
  const auto held = [&line_db] {
    return count_in(line_db, "SELECT COUNT(*) FROM orva_audit WHERE origin = 'st-1'");
  };
  const int64_t made = static_cast<int64_t>(audit_actions().size());
  for (const double end = monotonic_seconds() + 20; held() < made && monotonic_seconds() < end;
       usleep(200000)) {
  }
  EXPECT_EQ(held(), made) << "each of the station's entries, once";
  EXPECT_EQ(count_in(line_db, "SELECT COUNT(*) FROM orva_audit WHERE origin = 'st-1' AND action ="
                              " 'session.sign_in' AND details LIKE '%line away%'"),
            1);
  ChildProcess verify;
  ASSERT_TRUE(verify.start({ORVALOAD_LINE, "--db", db, "audit", "verify"}));
  EXPECT_EQ(verify.finish(30), 0) << verify.err();
  EXPECT_NE(verify.out().find("st-1: " + std::to_string(made) + " entries, whole"),
            std::string::npos)
      << verify.out();
}

// The line's own trail: each command it was given is an entry, and
// `audit verify` finds an entry changed, removed or added behind its back
// (exit 1, naming it) on either engine.
// The engines a trail is checked on: an SQLite file in `dir` (made here),
// and PostgreSQL where with_postgresql.sh started a cluster for the test.
std::vector<std::string> trail_engines(const fs::path& dir) {
  fs::create_directories(dir);
  std::vector<std::string> engines{"sqlite:" + (dir / "line.db").string()};
  if (std::getenv("PGHOST") != nullptr && std::getenv("PGVERSION") != nullptr) {
    engines.emplace_back("postgresql://");
  }
  return engines;
}

TEST(AuditTrail, VerifyFindsEachEditOnEitherEngine) {
  const fs::path dir = fs::temp_directory_path() / ("orva-audit-" + std::to_string(getpid()));
  const std::vector<std::string> engines = trail_engines(dir);
  for (const std::string& db : engines) {
    SCOPED_TRACE(db);
    const bool sqlite = db.rfind("sqlite:", 0) == 0;
    const auto sql = [&](const std::string& statement) -> int64_t {
      if (sqlite) return count_in((dir / "line.db").string(), statement, true);
      ChildProcess psql;
      EXPECT_TRUE(psql.start({"/usr/bin/psql", "-X", "-q", "-tA", "-c", statement}));
      EXPECT_EQ(psql.finish(30), 0) << psql.err();
      return psql.out().empty() ? int64_t{0} : static_cast<int64_t>(std::stoll(psql.out()));
    };
    run_with_input("secret-Ada",
                   {ORVALOAD_LINE, "--db", db, "person", "add", "Ada", "--role", "admin"});
    run_with_input("", {ORVALOAD_LINE, "--db", db, "credential", "add", "viewer", "wall"});
    run_with_input("", {ORVALOAD_LINE, "--db", db, "person", "disable", "Ada"});
    EXPECT_EQ(sql("SELECT COUNT(*) FROM orva_audit WHERE origin = 'line'"), 3)
        << "person.add, credential.add, person.disable";
    const auto verify = [&db](std::string* out = nullptr) {
      ChildProcess run;
      EXPECT_TRUE(run.start({ORVALOAD_LINE, "--db", db, "audit", "verify"}));
      const int status = run.finish(30);
      if (out != nullptr) *out = run.out() + run.err();
      return status;
    };
    EXPECT_EQ(verify(), 0);

    std::string said;
    sql("CREATE TABLE kept AS SELECT * FROM orva_audit WHERE seq = 2");
    sql("UPDATE orva_audit SET details = 'nothing' WHERE origin = 'line' AND seq = 2");
    EXPECT_EQ(verify(&said), 1) << "changed";
    EXPECT_NE(said.find("line entry 2"), std::string::npos) << said;
    sql("DELETE FROM orva_audit WHERE seq = 2");
    EXPECT_EQ(verify(&said), 1) << "removed";
    EXPECT_NE(said.find("removed"), std::string::npos) << said;
    sql("INSERT INTO orva_audit SELECT * FROM kept");
    sql("DROP TABLE kept");
    EXPECT_EQ(verify(), 0) << "put back as it was";
    sql("INSERT INTO orva_audit SELECT origin, 4, at, who, action, subject, details, hash, hash,"
        " received_at FROM orva_audit WHERE origin = 'line' AND seq = 3");
    EXPECT_EQ(verify(&said), 1) << "added";
    EXPECT_NE(said.find("line entry 4"), std::string::npos) << said;
    for (const char* table : {"orva_audit", "orva_people", "orva_credentials"}) {
      sql("DELETE FROM " + std::string(table));
    }
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

#include "app/line/line_db.h"

// A station's entries reach the line's trail in order and each once: a
// batch sent again with what follows it adds only what follows, and a
// batch with an entry that differs from the one held, does not follow the
// one before, is of another origin or has a hash that does not fit it is
// refused whole, on either engine.
TEST(AuditTrail, AStationsEntriesAreTakenInOrderOnceAndNoOtherWay) {
  const fs::path dir = fs::temp_directory_path() / ("orva-trail-" + std::to_string(getpid()));
  const std::vector<std::string> engines = trail_engines(dir);
  const std::string at = "2026-12-10T08:00:00.000Z";
  for (const std::string& db : engines) {
    SCOPED_TRACE(db);
    const std::unique_ptr<LineDb> line = LineDb::open(db, "L1");
    ASSERT_TRUE(line->start().ok());
    const std::string origin = "st-" + std::to_string(getpid());
    std::vector<AuditEntry> chain;
    for (int i = 0; i < 5; ++i) {
      chain.push_back(audit_next(chain.empty() ? nullptr : &chain.back(), at, origin, "Ada",
                                 "run.end", "slot " + std::to_string(i + 1), "{}"));
    }
    int64_t through = -1;
    const auto store = [&](const std::vector<AuditEntry>& batch) {
      return line->audit_store(origin, batch, at, &through);
    };
    const auto held = [&] {
      std::vector<AuditEntry> entries;
      EXPECT_TRUE(line->audit_chain(origin, &entries).ok());
      return entries.size();
    };
    ASSERT_TRUE(store({chain[0], chain[1]}).ok());
    EXPECT_EQ(through, 2);
    ASSERT_TRUE(store({chain[1], chain[2], chain[3]}).ok()) << "sent again with what follows";
    EXPECT_EQ(through, 4);
    EXPECT_EQ(held(), 4u);

    const AuditEntry other3 = audit_next(&chain[1], at, origin, "Bob", "run.end", "slot 9", "{}");
    const AuditEntry after_other = audit_next(&other3, at, origin, "Bob", "run.end", "x", "{}");
    const AuditEntry fork5 = audit_next(&after_other, at, origin, "Bob", "run.end", "y", "{}");
    const AuditEntry foreign = audit_next(nullptr, at, "st-other", "Ada", "run.end", "z", "{}");
    AuditEntry edited = chain[4];
    edited.details = "{\"edited\":true}";
    AuditEntry gap = audit_next(&chain[4], at, origin, "Ada", "run.end", "slot 7", "{}");
    const struct {
      std::vector<AuditEntry> batch;
      LineDbStatus status;
      const char* said;
    } refused[] = {
        {{other3}, LineDbStatus::conflict, " entry 3 differs from the one the line holds"},
        {{chain[4], fork5}, LineDbStatus::conflict, " entry 5 differs from the one the line holds"},
        {{fork5}, LineDbStatus::conflict, " entry 5 does not follow"},
        {{gap}, LineDbStatus::conflict, " entry 6 does not follow"},
        {{chain[4], foreign}, LineDbStatus::refused, " entry 1 is of 'st-other'"},
        {{chain[4], edited}, LineDbStatus::conflict, " entry 5: its hash does not fit it"},
        {{edited}, LineDbStatus::conflict, " entry 5: its hash does not fit it"},
    };
    for (const auto& c : refused) {
      const LineDbResult result = store(c.batch);
      EXPECT_EQ(result.status, c.status) << result.reason;
      EXPECT_NE(result.reason.find(c.said), std::string::npos) << result.reason;
    }
    EXPECT_EQ(held(), 4u) << "nothing of a refused batch is kept";
    ASSERT_TRUE(store({chain[4], gap}).ok());
    EXPECT_EQ(through, 6);
    std::vector<AuditEntry> entries;
    ASSERT_TRUE(line->audit_chain(origin, &entries).ok());
    EXPECT_EQ(audit_verify(entries), "");
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

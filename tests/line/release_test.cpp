// Released firmware: the line's catalogue (uploads, the rules of release and
// withdrawal, signatures) on both engines, and real stations that flash
// only the line's current release of their product, through a new release,
// a withdrawal, a line that is away and a store that was tampered with.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include <nlohmann/json.hpp>

#include "tests/support/bootsim_process.h"
#include "tests/support/child_process.h"
#include "tests/support/raw_connection.h"
#include "tests/support/web_session.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr double START_S = 30.0;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Releases : public ::testing::Test {
protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    dir_ = fs::temp_directory_path() / ("orva-release-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    for (const char* who : {"ours", "theirs"}) {
      openssl({"genpkey", "-algorithm", "ed25519", "-out", path(std::string(who) + ".key")});
      openssl({"pkey", "-in", path(std::string(who) + ".key"), "-pubout", "-out",
               path(std::string(who) + ".pem")});
    }
    // Two images: the firmware, and the same with its last bytes changed.
    fs::copy_file(ORVA_FIRMWARE_FILE, path("v1.bin"));
    std::string second = read_all(ORVA_FIRMWARE_FILE);
    second.replace(second.size() - 4, 4, "\x01\x02\x03\x04");
    std::ofstream(path("v2.bin"), std::ios::binary) << second;
    for (const char* image : {"v1.bin", "v2.bin"}) sign(image, "ours");
  }
  void TearDown() override {
    for (ChildProcess* p : {&station_, &line_}) {
      p->send_signal(SIGTERM);
      p->finish(30);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static void openssl(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/openssl");
    ChildProcess run;
    EXPECT_TRUE(run.start(args));
    EXPECT_EQ(run.finish(30), 0) << run.err();
  }
  void sign(const std::string& file, const std::string& who) {
    openssl({"pkeyutl", "-sign", "-rawin", "-inkey", path(who + ".key"), "-in", path(file), "-out",
             path(file + ".sig")});
  }
  // A console command on the line's database; its standard output.
  std::string line_command(const std::string& db, std::vector<std::string> args, int expected = 0) {
    args.insert(args.begin(), {ORVALOAD_LINE, "--db", db, "--release-key", path("ours.pem")});
    ChildProcess run;
    EXPECT_TRUE(run.start(args));
    EXPECT_EQ(run.finish(60), expected) << run.err();
    return trimmed(run.out());
  }
  // NAME.token in the folder: a new station credential's token.
  void station_credential(const std::string& db, const std::string& name) {
    const std::string token = line_command(db, {"credential", "add", "station", name});
    std::ofstream(path(name + ".token")) << token << "\n";
    fs::permissions(path(name + ".token"), fs::perms::owner_read | fs::perms::owner_write);
  }
  int start_line(const std::string& db, std::vector<std::string> more = {}, int port = 0) {
    std::vector<std::string> args{ORVALOAD_LINE,   "--serve", "127.0.0.1:" + std::to_string(port),
                                  "--db",          db,        "--release-key",
                                  path("ours.pem")};
    args.insert(args.end(), more.begin(), more.end());
    EXPECT_TRUE(line_.start(args));
    EXPECT_TRUE(line_.wait_for_output("; Ctrl-C ends it", START_S)) << line_.err();
    return port_of(line_.out());
  }
  int start_station(const std::vector<std::string>& ports, int line_port,
                    std::vector<std::string> more = {}) {
    std::vector<std::string> args{ORVALOAD_CLI,
                                  "--serve",
                                  "127.0.0.1:0",
                                  "--records",
                                  path("st.db"),
                                  "--station-name",
                                  "st-1",
                                  "--line",
                                  "http://127.0.0.1:" + std::to_string(line_port),
                                  "--line-token-file",
                                  path("st-1.token"),
                                  "--product",
                                  "ctl-a",
                                  "--release-key",
                                  path("ours.pem")};
    for (const std::string& port : ports) args.insert(args.end(), {"--port", port});
    args.insert(args.end(), more.begin(), more.end());
    EXPECT_TRUE(station_.start(args));
    EXPECT_TRUE(station_.wait_for_output("/ with slots", START_S)) << station_.err();
    return port_of(station_.out());
  }
  // The station's firmware as its page shows it.
  static json firmware_of(int port) {
    httplib::Client c("127.0.0.1", port);
    const auto got = c.Get("/api/station");
    return got && got->status == 200 ? json::parse(got->body)["firmware"] : json();
  }

  fs::path dir_;
  ChildProcess line_;
  ChildProcess station_;
};

std::string upload_path(const std::string& version, const std::string& signature = "") {
  return "/api/firmware?product=ctl-a&version=" + version + "&notes=first%20batch" +
         (signature.empty() ? "" : "&signature=" + signature);
}

std::string hex_of(const std::string& bytes) {
  static const char HEX[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) out += std::string{HEX[c >> 4], HEX[c & 15]};
  return out;
}

} // namespace

// What an image goes through on the line: refused uploads, a draft that
// needs its signature and two engineers, a release that never changes, a
// withdrawal that needs its reason; each step in the audit trail.
TEST_F(Releases, TheCatalogueKeepsItsRulesOnEitherEngine) {
  std::vector<std::string> engines{"sqlite:" + path("line.db")};
  if (std::getenv("PGHOST") != nullptr && std::getenv("PGVERSION") != nullptr) {
    engines.emplace_back("postgresql://");
  }
  for (const std::string& db : engines) {
    SCOPED_TRACE(db);
    for (const auto& [name, role] :
         {std::make_pair("Eve", "engineer"), std::make_pair("Fred", "engineer"),
          std::make_pair("Olga", "operator")}) {
      run_with_input("secret-" + std::string(name),
                     {ORVALOAD_LINE, "--db", db, "person", "add", name, "--role", role});
    }
    std::string viewer;
    run_with_input("", {ORVALOAD_LINE, "--db", db, "credential", "add", "viewer", "wall"}, &viewer);
    const int port = start_line(db, {"--people-required", "--release-approvals", "2"});
    Browser eve(port), fred(port), olga(port), wall(port, trimmed(viewer));
    ASSERT_EQ(eve.sign_in("Eve", "secret-Eve"), 200);
    ASSERT_EQ(fred.sign_in("Fred", "secret-Fred"), 200);
    ASSERT_EQ(olga.sign_in("Olga", "secret-Olga"), 200);
    const std::string v1 = read_all(path("v1.bin"));
    const auto upload = [&](Browser& who, const std::string& target, const std::string& body) {
      return who.send("POST", target, body, "application/octet-stream");
    };
    const auto error_of = [](const httplib::Result& r) {
      return r ? json::parse(r->body).value("error", "") : std::string("no answer");
    };

    auto r = upload(eve, "/api/firmware?product=ctl%20a&version=1", v1);
    EXPECT_EQ(status_of(r), 400);
    EXPECT_NE(error_of(r).find("a product is 1 to 64 letters"), std::string::npos) << error_of(r);
    r = upload(eve, upload_path("0.9"), "a note, not an image\n");
    EXPECT_EQ(status_of(r), 400);
    EXPECT_NE(error_of(r).find("the file: "), std::string::npos) << error_of(r);
    r = upload(eve, upload_path("0.9", hex_of(read_all(path("v1.bin.sig")))),
               read_all(path("v2.bin")));
    EXPECT_EQ(status_of(r), 400) << "a signature of other bytes";
    EXPECT_NE(error_of(r).find("does not verify"), std::string::npos) << error_of(r);
    EXPECT_EQ(status_of(upload(olga, upload_path("0.9"), v1)), 403) << "an operator";
    EXPECT_EQ(status_of(upload(wall, upload_path("0.9"), v1)), 401) << "a viewer, no one signed in";
    {
      // A file over the limit is refused as its head comes.
      Connection raw(port);
      ASSERT_TRUE(raw.send_text("POST " + upload_path("0.9") +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                "Cookie: " +
                                eve.set_cookie().substr(0, eve.set_cookie().find(';')) +
                                "\r\nContent-Type: application/octet-stream\r\n"
                                "Content-Length: 17825792\r\n\r\n"));
      EXPECT_EQ(raw.read_head(10).substr(0, 12), "HTTP/1.1 413");
    }

    r = upload(eve, upload_path("1.0"), v1);
    ASSERT_EQ(status_of(r), 201) << error_of(r);
    const int64_t unsigned_id = json::parse(r->body)["id"];
    EXPECT_EQ(json::parse(r->body)["state"], "draft");
    r = eve.send("POST", "/api/firmware/" + std::to_string(unsigned_id) + "/release", "{}");
    EXPECT_EQ(status_of(r), 409);
    EXPECT_NE(error_of(r).find("it has no signature"), std::string::npos) << error_of(r);
    EXPECT_EQ(status_of(upload(eve, upload_path("1.0"), v1)), 409) << "the same version again";

    sign("v1.bin", "theirs");
    r = upload(eve, upload_path("1.1", hex_of(read_all(path("v1.bin.sig")))), v1);
    EXPECT_EQ(status_of(r), 400) << "another key's signature";
    sign("v1.bin", "ours");
    r = upload(eve, upload_path("1.1", hex_of(read_all(path("v1.bin.sig")))), v1);
    ASSERT_EQ(status_of(r), 201) << error_of(r);
    const std::string id = std::to_string(json::parse(r->body)["id"].get<int64_t>());
    const std::string release = "/api/firmware/" + id + "/release";
    EXPECT_EQ(status_of(olga.send("POST", release, "{}")), 403);
    r = eve.send("POST", release, R"({"max_units": 5})");
    EXPECT_EQ(status_of(r), 202) << "the uploader's approval alone";
    EXPECT_EQ(json::parse(r->body)["state"], "draft");
    EXPECT_EQ(status_of(eve.send("POST", release, "{}")), 409) << "twice by one engineer";
    r = fred.send("POST", release, "{}");
    ASSERT_EQ(status_of(r), 200) << error_of(r);
    const json released = json::parse(r->body);
    EXPECT_EQ(released["state"], "released");
    EXPECT_EQ(released["approved_by"], json({"Eve", "Fred"}));
    EXPECT_EQ(released["max_units"], 5);
    EXPECT_EQ(status_of(fred.send("POST", release, "{}")), 409) << "released already";

    r = wall.send("GET", "/api/firmware/" + id);
    ASSERT_EQ(status_of(r), 200);
    EXPECT_EQ(json::parse(r->body)["file_sha256"], released["file_sha256"]);
    r = wall.send("GET", "/api/firmware/" + id + "/file");
    ASSERT_EQ(status_of(r), 200);
    EXPECT_EQ(r->body, v1) << "the file as it was uploaded";
    EXPECT_EQ(status_of(wall.send("GET", "/api/firmware/current?product=ctl-a")), 200);

    const std::string withdraw = "/api/firmware/" + id + "/withdraw";
    EXPECT_EQ(status_of(fred.send("POST", withdraw, "{}")), 400) << "no reason";
    r = fred.send("POST", withdraw, R"({"reason": "bad batch"})");
    ASSERT_EQ(status_of(r), 200) << error_of(r);
    EXPECT_EQ(json::parse(r->body)["withdraw_reason"], "bad batch");
    EXPECT_EQ(status_of(fred.send("POST", release, "{}")), 409) << "withdrawn";

    line_.send_signal(SIGTERM);
    EXPECT_EQ(line_.finish(10), 0) << line_.err();
    std::string actions = line_command(db, {"firmware", "list"});
    EXPECT_NE(actions.find("1.1\twithdrawn"), std::string::npos) << actions;
    EXPECT_NE(actions.find("withdrawn: bad batch"), std::string::npos) << actions;
    ChildProcess verify;
    ASSERT_TRUE(verify.start({ORVALOAD_LINE, "--db", db, "audit", "verify"}));
    EXPECT_EQ(verify.finish(30), 0) << verify.err();

    if (db.rfind("sqlite:", 0) == 0) {
      EXPECT_EQ(count_in(path("line.db"), "SELECT COUNT(*) FROM orva_audit WHERE action IN"
                                          " ('firmware.add', 'firmware.approve',"
                                          " 'firmware.release', 'firmware.withdraw')"),
                5);
    }
  }
}

// A station of product ctl-a flashes the line's release and nothing else:
// the controller's flash holds it; a new release reaches the idle slot
// within a heartbeat while the busy one finishes the old; a withdrawn
// release is refused; with the line away the kept release goes on within
// the grace and stops beyond it; a kept file that was changed is refused.
TEST_F(Releases, AStationFlashesTheLinesCurrentReleaseOnly) {
  const std::string db = "sqlite:" + path("line.db");
  station_credential(db, "st-1");
  const std::string v1 = line_command(db, {"firmware", "add", path("v1.bin"), "--product", "ctl-a",
                                           "--version", "1.0", "--signature", path("v1.bin.sig")});
  EXPECT_EQ(line_command(db, {"firmware", "release", v1}), "released (approved by 1 of 1)");
  const int line_port = start_line(db);

  // Slot 1's controller takes 17 s, slot 2's answers at once.
  BootsimProcess slow, fast;
  ASSERT_TRUE(slow.start({"--image", path("v1.bin"), "--runs", "0", "--baud", "115200", "--report",
                          slow.report_path()},
                         START_S));
  ASSERT_TRUE(fast.start({"--image", path("v2.bin"), "--runs", "0", "--report", fast.report_path()},
                         START_S));
  const int port = start_station({slow.path(), fast.path()}, line_port);
  ASSERT_TRUE(
      wait_until([&] { return firmware_of(port).value("name", "") == "ctl-a 1.0 (release 1)"; },
                 15))
      << firmware_of(port).dump() << station_.err();
  EXPECT_TRUE(firmware_of(port)["release"]["confirmed"].get<bool>());
  httplib::Client c("127.0.0.1", port);
  const auto start = [&c](int slot) {
    const auto r = c.Post("/api/slots/" + std::to_string(slot) + "/run", "{}", "application/json");
    return std::make_pair(status_of(r), r ? r->body : std::string());
  };
  ASSERT_EQ(start(1).first, 202);

  const double released_at = monotonic_seconds();
  const std::string v2 = line_command(db, {"firmware", "add", path("v2.bin"), "--product", "ctl-a",
                                           "--version", "1.1", "--signature", path("v2.bin.sig")});
  line_command(db, {"firmware", "release", v2});
  ASSERT_TRUE(
      wait_until([&] { return firmware_of(port).value("name", "") == "ctl-a 1.1 (release 2)"; },
                 20))
      << firmware_of(port).dump();
  std::printf("a release reached the station's idle slots %.1f s after it was released\n",
              monotonic_seconds() - released_at);
  ASSERT_EQ(start(2).first, 202);
  const auto ended = [&c](int slot) {
    const auto r = c.Get("/api/station");
    if (!r || r->status != 200) return false;
    return json::parse(r->body)["slots"][slot - 1]["state"] == "upgraded";
  };
  EXPECT_TRUE(wait_until([&] { return ended(1) && ended(2); }, 40));

  line_command(db, {"firmware", "withdraw", v2, "--reason", "bad batch"});
  const std::string withdrawn = "release 1.1 of ctl-a was withdrawn: bad batch";
  EXPECT_TRUE(wait_until([&] { return firmware_of(port)["release"]["refusal"] == withdrawn; }, 20));
  const auto refused = start(2);
  EXPECT_EQ(refused.first, 409);
  EXPECT_EQ(json::parse(refused.second)["error"], withdrawn);

  // Each record names the release its run flashed, and each controller's
  // flash holds it.
  const auto records = c.Get("/api/records?limit=10");
  ASSERT_EQ(status_of(records), 200);
  std::map<int, json> by_slot;
  const json listed = json::parse(records->body);
  for (const json& row : listed["records"]) by_slot[row["slot"].get<int>()] = row;
  ASSERT_EQ(by_slot.size(), 2u) << records->body;
  EXPECT_EQ(by_slot[1]["release_version"], "1.0");
  EXPECT_EQ(by_slot[2]["release_version"], "1.1");
  EXPECT_EQ(by_slot[2]["product"], "ctl-a");
  EXPECT_NE(by_slot[1]["image_sha256"], by_slot[2]["image_sha256"]);
  station_.send_signal(SIGTERM);
  EXPECT_EQ(station_.finish(10), 0) << station_.err();
  for (BootsimProcess* sim : {&slow, &fast}) {
    sim->signal(SIGTERM);
    sim->wait_exit(std::chrono::seconds(10));
    EXPECT_EQ(json::parse(sim->report())["flash"]["image"]["matches"], true) << sim->report();
  }

  // Release 1.2 (the first image again), then the line goes away: the
  // station restarts on the kept release within the grace.
  const std::string v3 = line_command(db, {"firmware", "add", path("v1.bin"), "--product", "ctl-a",
                                           "--version", "1.2", "--signature", path("v1.bin.sig")});
  line_command(db, {"firmware", "release", v3});
  BootsimProcess sim;
  ASSERT_TRUE(sim.start({"--image", path("v1.bin"), "--runs", "0"}, START_S));
  int again = start_station({sim.path()}, line_port);
  ASSERT_TRUE(
      wait_until([&] { return firmware_of(again).value("name", "") == "ctl-a 1.2 (release 3)"; },
                 15));
  station_.send_signal(SIGTERM);
  EXPECT_EQ(station_.finish(10), 0);
  line_.send_signal(SIGTERM);
  EXPECT_EQ(line_.finish(10), 0);
  again = start_station({sim.path()}, line_port);
  httplib::Client away("127.0.0.1", again);
  const auto started = away.Post("/api/slots/1/run", "{}", "application/json");
  EXPECT_EQ(status_of(started), 202) << (started ? started->body : "") << station_.err();
  EXPECT_TRUE(wait_until(
      [&] {
        return firmware_of(again)["release"]["refusal"].is_null() &&
               json::parse(away.Get("/api/station")->body)["slots"][0]["state"] == "upgraded";
      },
      20));
  station_.send_signal(SIGTERM);
  EXPECT_EQ(station_.finish(10), 0);

  // Beyond the grace: the kept confirmation is two hours old, the grace one.
  count_in(path("st.db"),
           "UPDATE kept SET value = json_set(value, '$.confirmed_ms', json_extract(value,"
           " '$.confirmed_ms') - 7200000) WHERE name = 'release:ctl-a'",
           true);
  again = start_station({sim.path()}, line_port, {"--release-grace", "1"});
  httplib::Client late("127.0.0.1", again);
  auto r = late.Post("/api/slots/1/run", "{}", "application/json");
  EXPECT_EQ(status_of(r), 409);
  EXPECT_EQ(json::parse(r->body)["error"],
            "release 1.2 of ctl-a is not confirmed: the line has not answered for more than 1 h");
  station_.send_signal(SIGTERM);
  EXPECT_EQ(station_.finish(10), 0);

  // A kept file changed behind the station's back is refused.
  count_in(path("st.db"),
           "UPDATE kept SET value = '00' || substr(value, 3) WHERE name = 'release-file:ctl-a'",
           true);
  again = start_station({sim.path()}, line_port);
  // Said before the station's start line.
  EXPECT_NE(station_.err().find("is refused"), std::string::npos) << station_.err();
  httplib::Client changed("127.0.0.1", again);
  r = changed.Post("/api/slots/1/run", "{}", "application/json");
  EXPECT_EQ(status_of(r), 409);
  EXPECT_NE(json::parse(r->body)["error"].get<std::string>().find(
                "the release kept in the store is refused (the file of release 1.2 of ctl-a "
                "does not match its SHA-256)"),
            std::string::npos)
      << r->body;
}

// A release of at most 5 units, two stations of four slots each: the first
// holds all five, the second none, also while the first is killed with a
// unit unspent; with the line stopped halfway each spends only what it
// holds, and exactly five runs start in all.
TEST_F(Releases, AUnitLimitHoldsAcrossStationsThroughAKillAndWithTheLineAway) {
  const std::string db = "sqlite:" + path("line.db");
  const std::string id = line_command(db, {"firmware", "add", path("v1.bin"), "--product", "ctl-a",
                                           "--version", "1.0", "--signature", path("v1.bin.sig")});
  line_command(db, {"firmware", "release", id, "--max-units", "5"});
  int line_port = start_line(db);
  std::vector<std::unique_ptr<BootsimProcess>> sims;
  std::map<std::string, std::unique_ptr<ChildProcess>> stations;
  std::map<std::string, int> ports;
  const auto serve = [&](const std::string& name) {
    if (!fs::exists(path(name + ".token"))) station_credential(db, name);
    std::vector<std::string> args{ORVALOAD_CLI,
                                  "--serve",
                                  "127.0.0.1:0",
                                  "--records",
                                  path(name + ".db"),
                                  "--station-name",
                                  name,
                                  "--line",
                                  "http://127.0.0.1:" + std::to_string(line_port),
                                  "--line-token-file",
                                  path(name + ".token"),
                                  "--product",
                                  "ctl-a"};
    for (int i = 0; i < 4; ++i) {
      sims.push_back(std::make_unique<BootsimProcess>());
      EXPECT_TRUE(sims.back()->start({"--image", path("v1.bin"), "--runs", "0"}, START_S));
      args.insert(args.end(), {"--port", sims.back()->path()});
    }
    stations[name] = std::make_unique<ChildProcess>();
    EXPECT_TRUE(stations[name]->start(args));
    EXPECT_TRUE(stations[name]->wait_for_output("/ with slots", START_S)) << stations[name]->err();
    ports[name] = port_of(stations[name]->out());
  };
  const auto units = [&](const std::string& name) { return firmware_of(ports[name])["release"]; };
  const auto held = [&](const std::string& name) {
    const json given = units(name)["units"];
    return given.is_object() ? given.value("held", -1) : -1;
  };
  const auto run_all = [&](const std::string& name) {
    httplib::Client c("127.0.0.1", ports[name]);
    const auto r = c.Post("/api/run", "{}", "application/json");
    return r && r->status == 202 ? json::parse(r->body)["runs"].size() : size_t{0};
  };
  const auto runs_in = [&](const std::string& name) {
    return count_in(path(name + ".db"), "SELECT COUNT(*) FROM runs WHERE release_version = '1.0'"
                                        " AND result <> 'running'");
  };

  serve("st-a");
  ASSERT_TRUE(wait_until([&] { return held("st-a") == 5; }, 15)) << units("st-a").dump();
  EXPECT_EQ(run_all("st-a"), 4u);
  EXPECT_TRUE(wait_until([&] { return runs_in("st-a") == 4; }, 20));
  // Killed with a unit it did not spend: the line counts it as spent, so
  // no other station gets it, and the station has it again when it is back.
  stations["st-a"]->send_signal(SIGKILL);
  stations["st-a"]->finish(10);
  serve("st-b");
  ASSERT_TRUE(wait_until(
      [&] { return units("st-b")["refusal"] == "the unit limit of release 1.0 is reached"; }, 15))
      << units("st-b").dump();
  EXPECT_EQ(run_all("st-b"), 0u);
  serve("st-a");
  ASSERT_TRUE(wait_until([&] { return held("st-a") == 1; }, 15)) << units("st-a").dump();
  // Its store gives the unit back at once; that the line has none left comes
  // with its first ask, over once a later check of the release has begun.
  for (int check = 0; check < 2; ++check) {
    const json confirmed = units("st-a")["release"]["confirmed_at"];
    ASSERT_TRUE(
        wait_until([&] { return units("st-a")["release"]["confirmed_at"] != confirmed; }, 20));
  }

  line_.send_signal(SIGTERM);
  EXPECT_EQ(line_.finish(10), 0);
  EXPECT_TRUE(wait_until([&] { return held("st-a") == 1; }, 20));
  EXPECT_EQ(run_all("st-b"), 0u) << "it holds none, and the line is away";
  EXPECT_EQ(run_all("st-a"), 1u) << "the one it holds";
  EXPECT_TRUE(wait_until([&] { return runs_in("st-a") == 5; }, 20));
  EXPECT_EQ(run_all("st-a"), 0u);
  EXPECT_EQ(units("st-a")["refusal"], "the unit limit of release 1.0 is reached")
      << "as the line said when it granted the last";

  // Back, the line grants nothing more: five units are spent.
  line_port = start_line(db, {}, line_port);
  EXPECT_TRUE(wait_until(
      [&] { return units("st-a")["refusal"] == "the unit limit of release 1.0 is reached"; }, 15))
      << units("st-a").dump();
  EXPECT_EQ(run_all("st-a") + run_all("st-b"), 0u);
  for (auto& [name, station] : stations) {
    station->send_signal(SIGTERM);
    EXPECT_EQ(station->finish(10), 0) << station->err();
  }
  EXPECT_EQ(runs_in("st-a") + runs_in("st-b"), 5);
  EXPECT_EQ(count_in(path("line.db"), "SELECT SUM(granted) FROM orva_allowances"), 5);
}

// A slot an engineer gave another product from the line's page flashes that
// product's release while the station's other slot flashes its own; only an
// engineer may give it, and taken back the slot follows its station again.
TEST_F(Releases, ASlotGivenAnotherProductFlashesThatProductsRelease) {
  const std::string db = "sqlite:" + path("line.db");
  station_credential(db, "st-1");
  for (const auto& [file, product] :
       {std::pair<std::string, std::string>{"v1.bin", "ctl-a"}, {"v2.bin", "ctl-b"}}) {
    const std::string id =
        line_command(db, {"firmware", "add", path(file), "--product", product, "--version", "1.0",
                          "--signature", path(file + ".sig")});
    line_command(db, {"firmware", "release", id});
  }
  const int line_port = start_line(db);
  httplib::Client line("127.0.0.1", line_port);
  const auto give = [&line](const std::string& body, const std::string& token = "") {
    httplib::Headers headers;
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    return status_of(
        line.Post("/api/stations/st-1/slot-product", headers, body, "application/json"));
  };
  EXPECT_EQ(give(R"({"slot": 2, "product": "ctl-b"})", trimmed(read_all(path("st-1.token")))), 403)
      << "a station's credential gives no slot a product";
  EXPECT_EQ(give(R"({"slot": 2, "product": "ctl b"})"), 400);
  EXPECT_EQ(give(R"({"slot": 0, "product": "ctl-b"})"), 400);
  ASSERT_EQ(give(R"({"slot": 2, "product": "ctl-b"})"), 200);

  BootsimProcess first, second;
  ASSERT_TRUE(
      first.start({"--image", path("v1.bin"), "--runs", "0", "--report", first.report_path()},
                  START_S));
  ASSERT_TRUE(
      second.start({"--image", path("v2.bin"), "--runs", "0", "--report", second.report_path()},
                   START_S));
  const int port = start_station({first.path(), second.path()}, line_port);
  const auto release = [port] { return firmware_of(port)["release"]; };
  ASSERT_TRUE(wait_until(
      [&] {
        const json r = release();
        return r["slots"] == json{{"2", "ctl-b"}} && r["others"].size() == 1 &&
               r["others"][0]["release"].is_object() && r["refusal"].is_null();
      },
      15))
      << release().dump();
  httplib::Client c("127.0.0.1", port);
  ASSERT_EQ(status_of(c.Post("/api/run", "{}", "application/json")), 202);
  ASSERT_TRUE(wait_until(
      [&] { return count_in(path("st.db"), "SELECT COUNT(*) FROM runs WHERE result = 'ok'") == 2; },
      20));
  EXPECT_EQ(count_in(path("st.db"), "SELECT COUNT(*) FROM runs WHERE (slot = 1 AND product ="
                                    " 'ctl-a') OR (slot = 2 AND product = 'ctl-b')"),
            2);
  for (BootsimProcess* sim : {&first, &second}) {
    sim->signal(SIGTERM);
    sim->wait_exit(std::chrono::seconds(10));
    EXPECT_EQ(json::parse(sim->report())["flash"]["image"]["matches"], true) << sim->report();
  }

  ASSERT_EQ(give(R"({"slot": 2, "product": null})"), 200);
  EXPECT_EQ(json::parse(line.Get("/api/firmware/slots")->body)["slots"], json::array());
  EXPECT_TRUE(wait_until([&] { return release()["slots"] == json::object(); }, 15))
      << release().dump();
  EXPECT_EQ(count_in(path("line.db"),
                     "SELECT COUNT(*) FROM orva_audit WHERE action = 'firmware.slot'"),
            2);
}

// The station's HTTP face as an attacker on the factory network meets it: a
// whole orvaload-cli --serve process against a simulated controller, driven
// with raw sockets where a well-behaved client would not do what is tried.
// Every connection goes to 127.0.0.1 (clients also from 127.0.0.2 and
// 127.0.0.3), bounded in bytes and in time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/bootsim_process.h"
#include "tests/support/child_process.h"
#include "tests/support/raw_connection.h"
#include "tests/support/web_session.h"

namespace {

using nlohmann::json;

constexpr double START_S = 60.0;
// What the face may hold for all the floods of one test together.
constexpr long GROWTH_LIMIT_KB = 16 * 1024;
// Bytes one flood tries to send; the face refuses long before.
constexpr size_t FLOOD_BYTES = 32u << 20;
constexpr double FLOOD_S = 10.0;
// The face's deadline for a new connection's head, and how late its closing
// may be seen here.
constexpr double HEAD_S = 2.0;
constexpr double LATE_S = 2.5;
constexpr int DRIPPERS = 32;
constexpr int PER_CLIENT = 16;
constexpr int STREAMS = 8;

size_t occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

long rss_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

class StationHttp : public ::testing::Test {
protected:
  void TearDown() override {
    station_.send_signal(SIGTERM);
    station_.finish(30);
    std::remove(log_path_.c_str());
    std::remove(token_path_.c_str());
    std::error_code ignored;
    std::filesystem::remove_all(records_dir_, ignored);
  }

  // One paced controller: a run lasts a few seconds.
  std::string controller() {
    sim_ = std::make_unique<BootsimProcess>();
    EXPECT_TRUE(
        sim_->start({"--image", ORVA_FIRMWARE_FILE, "--runs", "0", "--program-ms", "5"}, START_S));
    return sim_->path();
  }

  // The exit status when the station ended at once, else -1 with port_ set.
  int serve(ChildProcess& station, const std::string& at, std::vector<std::string> extra = {}) {
    // A store of the test's own, not the default one in the state folder.
    std::filesystem::create_directories(records_dir_);
    std::vector<std::string> args{ORVALOAD_CLI, "--serve",   at,
                                  "--log",      log_path_,   "--port",
                                  slot_port_,   "--records", records_dir_ + "/records.db"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_TRUE(station.start(args));
    if (!station.wait_for_output("/ with slots", START_S)) return station.finish(10);
    const std::string& out = station.out();
    port_number_ = std::stoi(out.substr(out.find(':', out.find("http://") + 7) + 1));
    return -1;
  }

  void write_token(const std::string& token, mode_t mode) {
    std::ofstream(token_path_) << token << "\n";
    chmod(token_path_.c_str(), mode);
  }

  std::string request(const std::string& method, const std::string& path,
                      const std::string& headers = "") {
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_number_) +
           "\r\n" + headers + "\r\n";
  }
  httplib::Client client() { return httplib::Client("127.0.0.1", port_number_); }
  json state() {
    const auto res = client().Get("/api/station");
    return res && res->status == 200 ? json::parse(res->body) : json();
  }

  std::unique_ptr<BootsimProcess> sim_;
  std::string slot_port_;
  ChildProcess station_;
  int port_number_ = 0;
  std::string log_path_ = "/tmp/orva-http-" + std::to_string(getpid()) + ".jsonl";
  std::string token_path_ = log_path_ + ".token";
  std::string records_dir_ = log_path_ + ".records";
};

} // namespace

// A refused request's body never reaches the station as a request, however
// it is padded; each refusal closes its connection; the smaller rules of
// the face hold.
TEST_F(StationHttp, RefusalsCloseTheirConnectionAndNothingIsSmuggled) {
  slot_port_ = controller();
  ASSERT_EQ(serve(station_, "127.0.0.1:0"), -1) << station_.err();

  // A page of another site posts a padded text body; at byte 4096 of the
  // connection it holds a request without Origin.
  const std::string smuggled = request("POST", "/api/run", "Content-Length: 0\r\n");
  std::string head = request("POST", "/api/run",
                             "Origin: http://evil.example:18999\r\nContent-Type: text/plain\r\n"
                             "Content-Length: 4096\r\n");
  std::string body(4096 - head.size(), 'x');
  body += smuggled;
  body.resize(4096, 'x');
  Connection page(port_number_);
  ASSERT_TRUE(page.ok());
  ASSERT_TRUE(page.send_text(head + body));
  const std::string answer = page.read_rest(5);
  EXPECT_TRUE(page.closed());
  EXPECT_EQ(occurrences(answer, "HTTP/1.1 "), 1u) << answer;
  EXPECT_EQ(answer.rfind("HTTP/1.1 403", 0), 0u) << answer;
  EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
  EXPECT_EQ(state()["slots"][0]["state"], "idle") << "the smuggled request started a run";

  struct Case {
    const char* what;
    std::string sent;
    const char* status;
  };
  const std::string port = std::to_string(port_number_);
  std::string many;
  for (int i = 0; i < 70; ++i) many += "X-" + std::to_string(i) + ": 1\r\n";
  const Case cases[] = {
      {"a foreign page's stream", request("GET", "/api/events", "Origin: http://evil.example\r\n"),
       "403"},
      {"a cross-site fetch", request("GET", "/api/station", "Sec-Fetch-Site: cross-site\r\n"),
       "403"},
      {"two Host headers", request("GET", "/api/station", "Host: 127.0.0.1:" + port + "\r\n"),
       "400"},
      {"a compressed body",
       request(
           "POST", "/api/run",
           "Content-Type: application/json\r\nContent-Encoding: gzip\r\nContent-Length: 2\r\n") +
           "{}",
       "415"},
      {"a text body",
       request("POST", "/api/run", "Content-Type: text/plain\r\nContent-Length: 2\r\n") + "{}",
       "400"},
      {"too many headers", request("GET", "/api/station", many), "431"},
      {"a chunked body over the limit",
       request("POST", "/api/run",
               "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n") +
           "1000\r\n" + std::string(4096, ' ') + "\r\n1\r\n \r\n0\r\n\r\n",
       "413"},
  };
  for (const Case& c : cases) {
    Connection refused(port_number_);
    ASSERT_TRUE(refused.send_text(c.sent + request("GET", "/api/station")));
    const std::string got = refused.read_rest(5);
    EXPECT_TRUE(refused.closed()) << c.what;
    EXPECT_EQ(got.rfind(std::string("HTTP/1.1 ") + c.status, 0), 0u) << c.what << ": " << got;
    EXPECT_EQ(occurrences(got, "HTTP/1.1 "), 1u) << c.what << ": " << got;
  }

  // A POST without a length has no body and is answered at once; HEAD is
  // GET without the body; ranges get the whole page.
  Connection keep(port_number_);
  const double asked = monotonic_seconds();
  ASSERT_TRUE(keep.send_text(request("POST", "/api/slots/1/cancel")));
  std::string got = keep.read_rest(1.0);
  EXPECT_EQ(got.rfind("HTTP/1.1 409", 0), 0u) << got;
  EXPECT_LT(monotonic_seconds() - asked, 1.5);
  const auto page_res = client().Get("/");
  ASSERT_TRUE(page_res);
  Connection head_only(port_number_);
  ASSERT_TRUE(head_only.send_text(request("HEAD", "/", "Connection: close\r\n")));
  got = head_only.read_rest(5);
  EXPECT_EQ(got.rfind("HTTP/1.1 200", 0), 0u) << got;
  EXPECT_NE(got.find("Content-Length: " + std::to_string(page_res->body.size())), std::string::npos)
      << got;
  EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), "");
  std::string ranges = "bytes=0-0";
  for (int i = 1; i < 500; ++i) ranges += "," + std::to_string(2 * i) + "-" + std::to_string(2 * i);
  const auto ranged = client().Get("/", {{"Range", ranges}});
  ASSERT_TRUE(ranged);
  EXPECT_EQ(ranged->status, 200);
  EXPECT_EQ(ranged->body, page_res->body);
}

// Floods of every kind, each far past what the face takes, leave the
// station's memory as it was and get their refusal.
TEST_F(StationHttp, FloodsLeaveMemoryBounded) {
  slot_port_ = controller();
  ASSERT_EQ(serve(station_, "127.0.0.1:0"), -1) << station_.err();
  ASSERT_EQ(status_of(client().Get("/api/station")), 200);
  const long before = rss_kb(station_.pid());
  ASSERT_GT(before, 0);

  struct Flood {
    const char* what;
    std::string first;
    std::string filler;
    const char* status;
  };
  const std::string json_post = "Content-Type: application/json\r\n";
  const Flood floods[] = {
      {"request line", "GET /", std::string(65536, 'a'), "431"},
      {"header line", request("GET", "/").substr(0, 30) + "X-A: ", std::string(65536, 'a'), "431"},
      {"endless headers", "GET / HTTP/1.1\r\n", "X-A: 1\r\n", "431"},
      {"chunked body", request("POST", "/api/run", json_post + "Transfer-Encoding: chunked\r\n"),
       "100\r\n" + std::string(256, ' ') + "\r\n", "413"},
      {"body without a length", request("POST", "/api/slots/1/cancel", json_post),
       std::string(65536, 'x'), "409"},
  };
  for (const Flood& f : floods) {
    Connection flood(port_number_);
    ASSERT_TRUE(flood.ok());
    const double start = monotonic_seconds();
    const std::string got = flood.flood(f.first, f.filler, FLOOD_BYTES, FLOOD_S);
    EXPECT_EQ(got.rfind(std::string("HTTP/1.1 ") + f.status, 0), 0u) << f.what << ": " << got;
    EXPECT_LT(monotonic_seconds() - start, FLOOD_S) << f.what << ": the flood went on";
  }
  EXPECT_LT(rss_kb(station_.pid()) - before, GROWTH_LIMIT_KB);
  EXPECT_EQ(status_of(client().Get("/api/station")), 200);
}

// Clients that drip their heads hold no more than their places until the
// head's deadline, the API answers meanwhile, and SIGTERM ends the station
// at once.
TEST_F(StationHttp, DrippingClientsNeitherStallTheApiNorTheEnd) {
  slot_port_ = controller();
  ASSERT_EQ(serve(station_, "127.0.0.1:0"), -1) << station_.err();
  std::vector<std::unique_ptr<Connection>> drippers;
  const auto drip = [&] {
    drippers.clear();
    for (int i = 0; i < DRIPPERS; ++i) {
      drippers.push_back(
          std::make_unique<Connection>(port_number_, i % 2 ? "127.0.0.2" : "127.0.0.3"));
      ASSERT_TRUE(drippers.back()->send_text("GET / HTTP/1.1\r\nX"));
    }
  };
  drip();
  const double started = monotonic_seconds();
  Connection over(port_number_, "127.0.0.2");
  over.read_rest(1);
  EXPECT_TRUE(over.closed()) << "a 17th connection of one client was kept";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(status_of(client().Get("/api/station")), 200);
    for (auto& d : drippers) d->send_text("-");
  }
  for (auto& d : drippers) {
    d->read_rest(std::max(0.2, started + HEAD_S + LATE_S - monotonic_seconds()));
    EXPECT_TRUE(d->closed()) << "a dripping request outlived its deadline";
  }
  EXPECT_GT(monotonic_seconds() - started, HEAD_S - 1);

  drip();
  const double term = monotonic_seconds();
  station_.send_signal(SIGTERM);
  EXPECT_EQ(station_.finish(10), 0) << station_.err();
  EXPECT_LT(station_.ended_s() - term, 5.0);
}

// Every place taken by connections that send nothing: a request with the
// token still gets in, as the longest waiting of them is closed to make
// room. With the general places held by clients that showed the token, the
// last quarter takes only requests with it (503 without). A connection that
// sends nothing is closed after the head's deadline.
TEST_F(StationHttp, PlacesAreKeptForRequestsWithACredential) {
  slot_port_ = controller();
  const std::string token = "0123456789abcdef0123456789abcdef";
  write_token(token, 0600);
  ASSERT_EQ(serve(station_, "127.0.0.1:0", {"--token-file", token_path_}), -1) << station_.err();
  const std::string with_token = "Authorization: Bearer " + token + "\r\n";
  std::vector<std::unique_ptr<Connection>> idle;
  for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
    for (int i = 0; i < PER_CLIENT; ++i)
      idle.push_back(std::make_unique<Connection>(port_number_, from));
  }
  for (int i = 0; i < 10; ++i) {
    Connection asks(port_number_, "127.0.0.6");
    ASSERT_TRUE(asks.send_text(request("GET", "/api/station", with_token)));
    EXPECT_EQ(asks.read_head(1).rfind("HTTP/1.1 200", 0), 0u) << i;
  }
  const double opened = monotonic_seconds();
  for (auto& c : idle) {
    c->read_rest(std::max(0.2, opened + HEAD_S + LATE_S - monotonic_seconds()));
    EXPECT_TRUE(c->closed()) << "a connection that sent nothing outlived the head's deadline";
  }
  idle.clear();

  // 48 kept-alive connections that showed the token, then one without.
  std::vector<std::unique_ptr<Connection>> kept_alive;
  for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    for (int i = 0; i < PER_CLIENT; ++i) {
      kept_alive.push_back(std::make_unique<Connection>(port_number_, from));
      ASSERT_TRUE(kept_alive.back()->send_text(request("GET", "/api/station", with_token)));
      ASSERT_EQ(kept_alive.back()->read_head(1).rfind("HTTP/1.1 200", 0), 0u);
    }
  }
  Connection page(port_number_, "127.0.0.5");
  ASSERT_TRUE(page.send_text(request("GET", "/")));
  EXPECT_EQ(page.read_head(1).rfind("HTTP/1.1 503", 0), 0u);
  Connection api(port_number_, "127.0.0.5");
  ASSERT_TRUE(api.send_text(request("GET", "/api/station", with_token)));
  EXPECT_EQ(api.read_head(1).rfind("HTTP/1.1 200", 0), 0u);
}

// Event streams have places of their own: the API still answers with every
// place taken, and a reader that goes frees its place at once.
TEST_F(StationHttp, EventStreamsHaveTheirOwnPlaces) {
  slot_port_ = controller();
  ASSERT_EQ(serve(station_, "127.0.0.1:0"), -1) << station_.err();
  std::vector<std::unique_ptr<Connection>> readers;
  for (int i = 0; i < STREAMS; ++i) {
    readers.push_back(std::make_unique<Connection>(port_number_, "127.0.0.2"));
    ASSERT_TRUE(readers.back()->send_text(request("GET", "/api/events")));
    const std::string first = readers.back()->read_rest(1.5);
    EXPECT_EQ(first.rfind("HTTP/1.1 200", 0), 0u) << first;
    EXPECT_NE(first.find(": keep-alive"), std::string::npos) << "no heartbeat within 1.5 s";
  }
  // From another address: a refused connection keeps its place while it
  // closes.
  Connection full(port_number_, "127.0.0.3");
  ASSERT_TRUE(full.send_text(request("GET", "/api/events")));
  EXPECT_EQ(full.read_head(2).rfind("HTTP/1.1 503", 0), 0u);
  // The streams took none of their client's connection places.
  std::vector<std::unique_ptr<Connection>> api;
  for (int i = 0; i < PER_CLIENT; ++i) {
    api.push_back(std::make_unique<Connection>(port_number_, "127.0.0.2"));
    ASSERT_TRUE(api.back()->send_text(request("GET", "/api/station")));
    EXPECT_EQ(api.back()->read_head(2).rfind("HTTP/1.1 200", 0), 0u) << i;
  }
  readers.pop_back();
  Connection again(port_number_);
  ASSERT_TRUE(again.send_text(request("GET", "/api/events")));
  EXPECT_EQ(again.read_head(1).rfind("HTTP/1.1 200", 0), 0u) << "the place was not freed";
}

// A token file must be its owner's alone and strong; a second station on a
// used address does not start; a cancel names the run it means.
TEST_F(StationHttp, TokenFilesSecondStationsAndCancelsOfARun) {
  slot_port_ = controller();
  struct Refused {
    const char* token;
    mode_t mode;
    const char* says;
  };
  const Refused refused[] = {
      {"0123456789abcdef0123456789abcdef", 0644, "read or written by others"},
      {"0123456789abcdef0123456789abcdef", 0620, "read or written by others"},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0600, "one character repeated"},
      {"abababababababababababababababab", 0600, "too weak"},
  };
  for (const Refused& r : refused) {
    write_token(r.token, r.mode);
    ChildProcess station;
    EXPECT_EQ(serve(station, "127.0.0.2:0", {"--token-file", token_path_}), 2) << r.says;
    EXPECT_NE(station.err().find(r.says), std::string::npos) << station.err();
    EXPECT_EQ(occurrences(station.err(), "\n"), 1u) << station.err();
  }
  const std::string token = "0123456789abcdef";
  write_token(token, 0600);
  ASSERT_EQ(serve(station_, "127.0.0.2:0", {"--token-file", token_path_}), -1) << station_.err();
  httplib::Client api("127.0.0.2", port_number_);
  const httplib::Headers bearer{{"Authorization", "bearer " + token}};
  EXPECT_EQ(status_of(api.Get("/api/station", bearer)), 200) << "the scheme is in any case";

  ChildProcess second;
  EXPECT_EQ(serve(second, "127.0.0.2:" + std::to_string(port_number_),
                  {"--token-file", token_path_}),
            3);
  EXPECT_NE(second.err().find("cannot listen"), std::string::npos) << second.err();
  EXPECT_EQ(occurrences(second.err(), "\n"), 1u) << second.err();

  const auto started = api.Post("/api/slots/1/run", bearer, "{}", "application/json");
  ASSERT_TRUE(started && started->status == 202);
  const long run = json::parse(started->body)["run"];
  const std::string other = "{\"run\": " + std::to_string(run + 1) + "}";
  EXPECT_EQ(status_of(api.Post("/api/slots/1/cancel", bearer, other, "application/json")), 409);
  const std::string mine = "{\"run\": " + std::to_string(run) + "}";
  EXPECT_EQ(status_of(api.Post("/api/slots/1/cancel", bearer, mine, "application/json")), 202);
}

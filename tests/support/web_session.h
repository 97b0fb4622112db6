// What the system tests of people, the line and its releases share: a
// client that keeps its session's cookie (and may carry a credential), a
// command given its standard input, a number an SQLite file answers, and a
// server's port from its start line. Header only; Linux.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"

inline int status_of(const httplib::Result& result) {
  return result ? result->status : 0;
}

inline std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Whether `done` came true within `limit_s`, looking every 50 ms.
inline bool wait_until(const std::function<bool()>& done, double limit_s) {
  for (const double end = monotonic_seconds() + limit_s; monotonic_seconds() < end; usleep(50000)) {
    if (done()) return true;
  }
  return done();
}

// A command with its standard input given; its exit status.
inline int run_with_input(const std::string& input, const std::vector<std::string>& args,
                          std::string* out = nullptr) {
  std::string command = "printf '%s\\n' '" + input + "' |";
  for (const std::string& arg : args) command += " '" + arg + "'";
  ChildProcess run;
  EXPECT_TRUE(run.start({"/bin/sh", "-c", command}));
  const int status = run.finish(60);
  EXPECT_EQ(status, 0) << run.err();
  if (out != nullptr) *out = run.out();
  return status;
}

// A number a SQLite file answers (-1: none); `write` opens it to change it.
inline int64_t count_in(const std::string& file, const std::string& sql, bool write = false) {
  sqlite3* db = nullptr;
  int64_t n = -1;
  if (sqlite3_open_v2(file.c_str(), &db, write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY,
                      nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &select, nullptr);
    const int code = select != nullptr ? sqlite3_step(select) : SQLITE_ERROR;
    if (code == SQLITE_ROW) n = sqlite3_column_int64(select, 0);
    else if (code == SQLITE_DONE) n = 0;
    sqlite3_finalize(select);
  }
  sqlite3_close(db);
  return n;
}

// A server's port from its start line ("... at http://127.0.0.1:PORT/").
inline int port_of(const std::string& out) {
  return std::stoi(out.substr(out.find(':', out.find("://") + 3) + 1));
}

// A client that keeps the session's cookie, as a browser does, and sends a
// credential when given one.
class Browser {
public:
  explicit Browser(int port, std::string token = "")
      : client_("127.0.0.1", port), token_(std::move(token)) {}
  httplib::Result send(const std::string& method, const std::string& path,
                       const std::string& body = "", const std::string& type = "application/json") {
    httplib::Headers headers;
    if (!cookie_.empty()) headers.emplace("Cookie", cookie_);
    if (!token_.empty()) headers.emplace("Authorization", "Bearer " + token_);
    httplib::Result result = method == "GET" ? client_.Get(path.c_str(), headers)
                             : method == "DELETE"
                                 ? client_.Delete(path.c_str(), headers)
                                 : client_.Post(path.c_str(), headers, body, type.c_str());
    if (result && result->has_header("Set-Cookie")) {
      set_cookie_ = result->get_header_value("Set-Cookie");
      cookie_ = set_cookie_.substr(0, set_cookie_.find(';'));
    }
    return result;
  }
  int sign_in(const std::string& name, const std::string& secret) {
    return status_of(
        send("POST", "/api/session", nlohmann::json{{"name", name}, {"secret", secret}}.dump()));
  }
  const std::string& set_cookie() const { return set_cookie_; }

private:
  httplib::Client client_;
  std::string token_;
  std::string cookie_;
  std::string set_cookie_;
};

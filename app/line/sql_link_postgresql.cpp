// The line's database in PostgreSQL, through plain libpq: a connection
// string or URI as libpq takes it (its PG* variables and ~/.pgpass apply),
// each wait bounded by connect_timeout and statement_timeout.
#include <libpq-fe.h>

#include <cstdlib>

#include "app/line/line_db.h"

namespace {

// libpq's message, on one line.
std::string one_line(const char* text) {
  std::string line = text != nullptr ? text : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  for (char& c : line) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return line;
}

class PostgresLink : public SqlLink {
public:
  explicit PostgresLink(std::string conninfo) : conninfo_(std::move(conninfo)) {}
  ~PostgresLink() override { PQfinish(conn_); }

  LineDbResult connect() override {
    PQfinish(conn_);
    // Ours first: a connect_timeout in the connection string wins. A server
    // that vanishes without closing the connection (a pulled cable) is
    // found by the keepalives and the user timeout, not waited for.
    const std::string timeout = std::to_string(LINE_DB_CONNECT_S);
    const std::string user_timeout = std::to_string(LINE_DB_STATEMENT_MS);
    const char* keys[] = {"connect_timeout",  "keepalives",
                          "keepalives_idle",  "keepalives_interval",
                          "keepalives_count", "tcp_user_timeout",
                          "dbname",           nullptr};
    const char* values[] = {timeout.c_str(),   "1",    "5", "2", "3", user_timeout.c_str(),
                            conninfo_.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
      const std::string reason =
          "cannot reach PostgreSQL: " + one_line(conn_ ? PQerrorMessage(conn_) : "out of memory");
      PQfinish(conn_);
      conn_ = nullptr;
      return {LineDbStatus::down, reason};
    }
    const LineDbResult set =
        run("SET statement_timeout = " + std::to_string(LINE_DB_STATEMENT_MS), {}, nullptr);
    // CREATE ... IF NOT EXISTS tells of every table it found at each start;
    // only warnings and errors are worth a line on standard error.
    const LineDbResult quiet =
        set.ok() ? run("SET client_min_messages = warning", {}, nullptr) : set;
    // A time given without its zone (a date of a filter) is UTC's, as the
    // stations' times are.
    return quiet.ok() ? run("SET TIME ZONE 'UTC'", {}, nullptr) : quiet;
  }

  bool typed() const override { return true; }
  bool connected() const override { return conn_ != nullptr; }
  int64_t changes() const override { return changes_; }

  LineDbResult run(const std::string& sql, const std::vector<SqlValue>& params,
                   std::vector<SqlRow>* rows) override {
    if (conn_ == nullptr) return {LineDbStatus::down, "not connected to PostgreSQL"};
    const std::vector<const char*> values = texts(params);
    PGresult* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                    values.data(), nullptr, nullptr, 0);
    return taken(result, rows, &changes_);
  }

  // In one pipeline: every step sent, then one sync, then their answers
  // read in order. After a step fails the server skips the rest until the
  // sync; every answer is read all the same, so that the connection is
  // ready for what comes next. The answers of the steps we send are short,
  // so the server never waits on us while we are still sending.
  LineDbResult run_all(std::vector<SqlStep>* steps) override {
    if (steps->size() < 2 || conn_ == nullptr || PQenterPipelineMode(conn_) != 1) {
      return SqlLink::run_all(steps);
    }
    bool sent = true;
    for (const SqlStep& step : *steps) {
      const std::vector<const char*> values = texts(step.params);
      sent = sent && PQsendQueryParams(conn_, step.sql.c_str(), static_cast<int>(values.size()),
                                       nullptr, values.data(), nullptr, nullptr, 0) == 1;
    }
    if (!sent || PQpipelineSync(conn_) != 1) return lost(PQerrorMessage(conn_));
    LineDbResult first;
    for (SqlStep& step : *steps) {
      while (PGresult* result = conn_ != nullptr ? PQgetResult(conn_) : nullptr) {
        if (PQresultStatus(result) == PGRES_PIPELINE_ABORTED) {
          PQclear(result);
          continue;
        }
        const LineDbResult done = taken(result, &step.rows, &step.changes);
        if (first.ok()) first = done;
      }
    }
    if (conn_ == nullptr) return first; // lost on the way
    PGresult* sync = PQgetResult(conn_);
    const bool synced = sync != nullptr && PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
    PQclear(sync);
    if (!synced || PQexitPipelineMode(conn_) != 1) return lost(PQerrorMessage(conn_));
    return first;
  }

private:
  static std::vector<const char*> texts(const std::vector<SqlValue>& params) {
    std::vector<const char*> values;
    for (const SqlValue& value : params) values.push_back(value ? value->c_str() : nullptr);
    return values;
  }

  // One answer, cleared: its rows into *rows when not null, and how many
  // rows it changed; a refusal, or the connection lost (then closed).
  LineDbResult taken(PGresult* result, std::vector<SqlRow>* rows, int64_t* changes) {
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      const char* said = result != nullptr ? PQresultErrorMessage(result) : "";
      const std::string reason = one_line(*said != '\0' ? said : PQerrorMessage(conn_));
      PQclear(result);
      if (PQstatus(conn_) != CONNECTION_OK) return lost(reason);
      return {LineDbStatus::refused, "PostgreSQL refused a statement: " + reason};
    }
    *changes = std::atoll(PQcmdTuples(result));
    if (rows != nullptr) {
      for (int r = 0; r < PQntuples(result); ++r) {
        SqlRow row;
        for (int c = 0; c < PQnfields(result); ++c) {
          if (PQgetisnull(result, r, c)) row.emplace_back();
          else row.emplace_back(std::string(PQgetvalue(result, r, c)));
        }
        rows->push_back(std::move(row));
      }
    }
    PQclear(result);
    return {};
  }

  LineDbResult lost(const std::string& reason) {
    PQfinish(conn_);
    conn_ = nullptr;
    return {LineDbStatus::down, "lost PostgreSQL: " + one_line(reason.c_str())};
  }

  const std::string conninfo_;
  PGconn* conn_ = nullptr;
  int64_t changes_ = 0;
};

} // namespace

std::unique_ptr<SqlLink> sql_link_postgresql(const std::string& conninfo) {
  return std::make_unique<PostgresLink>(conninfo);
}

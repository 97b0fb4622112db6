// The line's database in an SQLite file, for a line without PostgreSQL: WAL
// and synchronous=FULL, as the stations' own stores.
#include <sqlite3.h>

#include "app/line/line_db.h"

namespace {

class SqliteLink : public SqlLink {
public:
  explicit SqliteLink(std::string path) : path_(std::move(path)) {}
  ~SqliteLink() override { sqlite3_close(db_); }

  LineDbResult connect() override {
    sqlite3_close(db_);
    db_ = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      const std::string reason = problem("cannot open " + path_);
      sqlite3_close(db_);
      db_ = nullptr;
      return {LineDbStatus::down, reason};
    }
    sqlite3_busy_timeout(db_, RECORD_BUSY_MS);
    const LineDbResult set = run("PRAGMA journal_mode=WAL", {}, nullptr);
    if (!set.ok()) return set;
    return run("PRAGMA synchronous=FULL", {}, nullptr);
  }

  bool typed() const override { return false; }
  bool connected() const override { return db_ != nullptr; }
  int64_t changes() const override { return db_ != nullptr ? sqlite3_changes(db_) : 0; }

  LineDbResult run(const std::string& sql, const std::vector<SqlValue>& params,
                   std::vector<SqlRow>* rows) override {
    if (db_ == nullptr) return {LineDbStatus::down, "the line's database is not open"};
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
        SQLITE_OK) {
      return {LineDbStatus::refused, problem("the line's database refused a statement")};
    }
    // $1, $2... are named parameters to SQLite, numbered in order of use.
    for (size_t i = 0; i < params.size(); ++i) {
      const int at = sqlite3_bind_parameter_index(stmt, ("$" + std::to_string(i + 1)).c_str());
      if (at == 0) continue;
      if (!params[i]) sqlite3_bind_null(stmt, at);
      else
        sqlite3_bind_text(stmt, at, params[i]->c_str(), static_cast<int>(params[i]->size()),
                          SQLITE_TRANSIENT);
    }
    int code = SQLITE_ROW;
    while ((code = sqlite3_step(stmt)) == SQLITE_ROW) {
      if (rows == nullptr) continue;
      SqlRow row;
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const unsigned char* text = sqlite3_column_text(stmt, c);
        if (text == nullptr) row.emplace_back();
        else row.emplace_back(reinterpret_cast<const char*>(text));
      }
      rows->push_back(std::move(row));
    }
    sqlite3_finalize(stmt);
    if (code == SQLITE_DONE) return {};
    // A full disk or a lock held too long: the file is there, but not now.
    return {LineDbStatus::down, problem("the line's database could not be written")};
  }

private:
  std::string problem(const std::string& what) const {
    return what + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
  }

  const std::string path_;
  sqlite3* db_ = nullptr;
};

} // namespace

std::unique_ptr<SqlLink> sql_link_sqlite(const std::string& path) {
  return std::make_unique<SqliteLink>(path);
}

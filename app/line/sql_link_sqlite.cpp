// The line's database in an SQLite file, for a line without PostgreSQL: WAL
// and synchronous=FULL, as the stations' own stores.
#include <sqlite3.h>

#include <algorithm>
#include <new>
#include <vector>

#include "app/line/line_db.h"

namespace {

// median(x), an aggregate PostgreSQL has as percentile_cont(0.5): the
// middle of the values that are not NULL, or the mean of the middle two;
// NULL when there are none. The values are kept in a vector of the
// aggregate's own until the group ends.
using Values = std::vector<double>;

Values** values_of(sqlite3_context* context, int bytes) {
  return static_cast<Values**>(sqlite3_aggregate_context(context, bytes));
}

void median_step(sqlite3_context* context, int, sqlite3_value** args) {
  if (sqlite3_value_type(args[0]) == SQLITE_NULL) return;
  Values** values = values_of(context, sizeof(Values*));
  if (values == nullptr) return sqlite3_result_error_nomem(context);
  try {
    if (*values == nullptr) *values = new Values();
    (*values)->push_back(sqlite3_value_double(args[0]));
  } catch (const std::bad_alloc&) {
    sqlite3_result_error_nomem(context);
  }
}

void median_final(sqlite3_context* context) {
  Values** held = values_of(context, 0);
  Values* values = held != nullptr ? *held : nullptr;
  if (values == nullptr || values->empty()) {
    delete values;
    return sqlite3_result_null(context);
  }
  const size_t n = values->size();
  const auto upper = values->begin() + static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(values->begin(), upper, values->end());
  double median = *upper;
  if (n % 2 == 0) median = (median + *std::max_element(values->begin(), upper)) / 2;
  delete values;
  sqlite3_result_double(context, median);
}

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
    if (sqlite3_create_function_v2(db_, "median", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   nullptr, median_step, median_final, nullptr) != SQLITE_OK) {
      return {LineDbStatus::down, problem("cannot open " + path_)};
    }
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

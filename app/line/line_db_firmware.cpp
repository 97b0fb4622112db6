// The firmware catalogue's statements, on either engine.
#include <algorithm>
#include <string>
#include <vector>

#include "app/line/line_db.h"
#include "image/hex_text.h"

namespace {

const char FIRMWARE_COLUMNS[] =
    "SELECT id, product, version, notes, format, load_address, image_size, image_sha256,"
    " file_sha256, signature, state, uploaded_by, uploaded_at, approved_by, released_at,"
    " max_units, withdrawn_by, withdrawn_at, withdraw_reason";
constexpr size_t FIRMWARE_CELLS = 19;

int64_t number(const SqlValue& cell) {
  try {
    return cell ? std::stoll(*cell) : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

FirmwareRow firmware_of(const SqlRow& cells) {
  FirmwareRow row;
  size_t c = 0;
  const auto text = [&cells, &c] { return cells[c++].value_or(""); };
  row.id = number(cells[c++]);
  row.product = text();
  row.version = text();
  row.notes = text();
  row.format = text();
  row.load_address = number(cells[c++]);
  row.image_size = number(cells[c++]);
  row.image_sha256 = text();
  row.file_sha256 = text();
  row.signature = text();
  row.state = text();
  row.uploaded_by = text();
  row.uploaded_at = text();
  row.approved_by = text();
  row.released_at = text();
  row.max_units = number(cells[c++]);
  row.withdrawn_by = text();
  row.withdrawn_at = text();
  row.withdraw_reason = text();
  return row;
}

SqlValue or_null(const std::string& text) {
  return text.empty() ? SqlValue() : SqlValue(text);
}

} // namespace

LineDbResult LineDb::firmware_add(FirmwareRow* row, const std::string& file) {
  std::lock_guard<std::mutex> lock(mutex_);
  LineDbResult done = ready();
  if (!done.ok()) return done;
  // The next id, taken in the transaction that inserts (two lines on one
  // database take it in turn).
  done = run("BEGIN", {}, nullptr);
  if (done.ok() && link_->typed())
    done = run("SELECT pg_advisory_xact_lock(hashtext('orva_firmware'))", {}, nullptr);
  std::vector<SqlRow> top;
  if (done.ok()) done = run("SELECT COALESCE(MAX(id), 0) + 1 FROM orva_firmware", {}, &top);
  if (done.ok()) {
    row->id = top.empty() || top[0].empty() ? 1 : number(top[0][0]);
    done = run("INSERT INTO orva_firmware (id, product, version, notes, format, load_address,"
               " image_size, image_sha256, file_sha256, file_hex, signature, state, uploaded_by,"
               " uploaded_at, approved_by) VALUES (CAST($1 AS bigint), $2, $3, $4, $5,"
               " CAST($6 AS bigint), CAST($7 AS bigint), $8, $9, $10, $11, $12, $13, $14, '')"
               " ON CONFLICT (product, version) DO NOTHING",
               {std::to_string(row->id), row->product, row->version, row->notes, row->format,
                std::to_string(row->load_address), std::to_string(row->image_size),
                row->image_sha256, row->file_sha256, hex_text(file), or_null(row->signature),
                row->state, row->uploaded_by, row->uploaded_at},
               nullptr);
  }
  const bool taken = done.ok() && link_->changes() == 0;
  if (done.ok()) done = run(taken ? "ROLLBACK" : "COMMIT", {}, nullptr);
  else if (link_->connected()) run("ROLLBACK", {}, nullptr);
  if (done.ok() && taken) {
    return {LineDbStatus::conflict, row->product + " has a version " + row->version +
                                        " already: a new image is a new version"};
  }
  return done;
}

LineDbResult LineDb::firmware_list(std::vector<FirmwareRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlRow> found;
  const LineDbResult read =
      run(std::string(FIRMWARE_COLUMNS) + " FROM orva_firmware ORDER BY id DESC", {}, &found);
  if (!read.ok()) return read;
  rows->clear();
  for (const SqlRow& cells : found) {
    if (cells.size() == FIRMWARE_CELLS) rows->push_back(firmware_of(cells));
  }
  return {};
}

LineDbResult LineDb::firmware_get(int64_t id, FirmwareRow* row, bool* found, std::string* file) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlRow> rows;
  const LineDbResult read = run(std::string(FIRMWARE_COLUMNS) +
                                    ", file_hex FROM orva_firmware WHERE id = CAST($1 AS bigint)",
                                {std::to_string(id)}, &rows);
  if (!read.ok()) return read;
  *found = !rows.empty() && rows[0].size() == FIRMWARE_CELLS + 1;
  if (!*found) return {};
  *row = firmware_of(rows[0]);
  if (file != nullptr && !hex_bytes(rows[0][FIRMWARE_CELLS].value_or(""), file)) {
    return {LineDbStatus::refused, "image " + std::to_string(id) + "'s file is not as it was kept"};
  }
  return {};
}

LineDbResult LineDb::firmware_change(const FirmwareRow& row, const std::string& was) {
  std::lock_guard<std::mutex> lock(mutex_);
  LineDbResult done = ready();
  if (!done.ok()) return done;
  done =
      run("UPDATE orva_firmware SET state = $2, approved_by = $3, released_at = $4,"
          " max_units = CAST($5 AS bigint), withdrawn_by = $6, withdrawn_at = $7,"
          " withdraw_reason = $8 WHERE id = CAST($1 AS bigint) AND state = $9",
          {std::to_string(row.id), row.state, row.approved_by, or_null(row.released_at),
           row.max_units > 0 ? SqlValue(std::to_string(row.max_units)) : SqlValue(),
           or_null(row.withdrawn_by), or_null(row.withdrawn_at), or_null(row.withdraw_reason), was},
          nullptr);
  if (done.ok() && link_->changes() == 0) {
    return {LineDbStatus::conflict,
            "image " + std::to_string(row.id) + " changed meanwhile: look at it again"};
  }
  return done;
}

LineDbResult LineDb::allowance(int64_t release, const std::string& station, int64_t max_units,
                               int64_t spent, int64_t want, bool give_back, int64_t* granted,
                               int64_t* left) {
  std::lock_guard<std::mutex> lock(mutex_);
  LineDbResult done = ready();
  if (!done.ok()) return done;
  // One station's allowance at a time, on every line of the database.
  done = run("BEGIN", {}, nullptr);
  if (done.ok() && link_->typed())
    done = run("SELECT pg_advisory_xact_lock(hashtext('orva_allowances'))", {}, nullptr);
  std::vector<SqlRow> mine, all;
  const std::vector<SqlValue> key{std::to_string(release), station};
  if (done.ok()) {
    done = run("SELECT granted, spent FROM orva_allowances WHERE release_id = CAST($1 AS bigint)"
               " AND station = $2",
               key, &mine);
  }
  if (done.ok()) {
    done = run("SELECT COALESCE(SUM(granted), 0) FROM orva_allowances WHERE release_id ="
               " CAST($1 AS bigint)",
               {std::to_string(release)}, &all);
  }
  if (done.ok()) {
    const int64_t had = mine.empty() ? 0 : number(mine[0][0]);
    const int64_t said = mine.empty() ? 0 : number(mine[0][1]);
    const int64_t runs = std::max(said, spent);
    const int64_t held = all.empty() ? 0 : number(all[0][0]);
    int64_t now = std::max(had, runs);
    if (give_back) {
      now = runs;
    } else {
      const int64_t free = std::max<int64_t>(0, max_units - (held - had + now));
      now += std::min(std::max<int64_t>(0, want), free);
    }
    *granted = now;
    *left = std::max<int64_t>(0, max_units - (held - had + now));
    done =
        run("INSERT INTO orva_allowances (release_id, station, granted, spent) VALUES"
            " (CAST($1 AS bigint), $2, CAST($3 AS bigint), CAST($4 AS bigint)) ON CONFLICT"
            " (release_id, station) DO UPDATE SET granted = excluded.granted, spent ="
            " excluded.spent",
            {std::to_string(release), station, std::to_string(now), std::to_string(runs)}, nullptr);
  }
  if (done.ok()) done = run("COMMIT", {}, nullptr);
  else if (link_->connected()) run("ROLLBACK", {}, nullptr);
  return done;
}

LineDbResult LineDb::firmware_current(const std::string& product, FirmwareRow* row, bool* found) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlRow> rows;
  const LineDbResult read =
      run(std::string(FIRMWARE_COLUMNS) +
              " FROM orva_firmware WHERE product = $1 AND released_at IS NOT NULL"
              " ORDER BY released_at DESC, id DESC LIMIT 1",
          {product}, &rows);
  if (!read.ok()) return read;
  *found = !rows.empty() && rows[0].size() == FIRMWARE_CELLS;
  if (*found) *row = firmware_of(rows[0]);
  return {};
}

LineDbResult LineDb::slot_products(const std::string& station, std::vector<SlotProduct>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows->clear();
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  std::vector<SqlRow> cells;
  const LineDbResult read =
      station.empty() ? run("SELECT station, slot, product, set_by, set_at FROM orva_slot_products"
                            " ORDER BY station, slot",
                            {}, &cells)
                      : run("SELECT station, slot, product, set_by, set_at FROM orva_slot_products"
                            " WHERE station = $1 ORDER BY slot",
                            {station}, &cells);
  for (const SqlRow& row : cells) {
    rows->push_back({row[0].value_or(""), number(row[1]), row[2].value_or(""), row[3].value_or(""),
                     row[4].value_or("")});
  }
  return read;
}

LineDbResult LineDb::slot_product_set(const SlotProduct& row) {
  std::lock_guard<std::mutex> lock(mutex_);
  const LineDbResult up = ready();
  if (!up.ok()) return up;
  const std::string slot = std::to_string(row.slot);
  if (row.product.empty()) {
    return run("DELETE FROM orva_slot_products WHERE station = $1 AND slot = CAST($2 AS integer)",
               {row.station, slot}, nullptr);
  }
  return run("INSERT INTO orva_slot_products (station, slot, product, set_by, set_at) VALUES"
             " ($1, CAST($2 AS integer), $3, $4, $5) ON CONFLICT (station, slot) DO UPDATE SET"
             " product = excluded.product, set_by = excluded.set_by, set_at = excluded.set_at",
             {row.station, slot, row.product, row.set_by, row.set_at}, nullptr);
}

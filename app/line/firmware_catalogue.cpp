#include "app/line/firmware_catalogue.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "app/line/line.h"
#include "app/runs/json_read.h"
#include "image/hex_text.h"
#include "image/image_load.h"
#include "image/sha256.h"

namespace {

using Json = nlohmann::ordered_json;

bool printable(const std::string& text, size_t most, bool empty_ok) {
  if (text.size() > most || (text.empty() && !empty_ok)) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u != 0x7f;
  });
}

std::vector<std::string> names_of(const std::string& list) {
  std::vector<std::string> names;
  std::stringstream in(list);
  for (std::string name; std::getline(in, name, ',');) {
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

std::string image_name(const FirmwareRow& row) {
  return "image " + std::to_string(row.id) + " (" + row.product + " " + row.version + ")";
}

} // namespace

Json firmware_json(const FirmwareRow& row, int approvals_needed) {
  const auto or_null = [](const std::string& text) { return text.empty() ? Json() : Json(text); };
  return Json{{"id", row.id},
              {"product", row.product},
              {"version", row.version},
              {"notes", row.notes},
              {"format", row.format},
              {"load_address", row.load_address},
              {"image_size", row.image_size},
              {"image_sha256", row.image_sha256},
              {"file_sha256", row.file_sha256},
              {"signature", or_null(row.signature)},
              {"state", row.state},
              {"uploaded_by", row.uploaded_by},
              {"uploaded_at", row.uploaded_at},
              {"approved_by", names_of(row.approved_by)},
              {"approvals_needed", approvals_needed},
              {"released_at", or_null(row.released_at)},
              {"max_units", row.max_units > 0 ? Json(row.max_units) : Json()},
              {"withdrawn_by", or_null(row.withdrawn_by)},
              {"withdrawn_at", or_null(row.withdrawn_at)},
              {"withdraw_reason", or_null(row.withdraw_reason)}};
}

FirmwareCatalogue::FirmwareCatalogue(LineDb& db, FirmwareRules rules, FirmwareAudit audit,
                                     std::function<std::string()> now)
    : db_(db), rules_(std::move(rules)), audit_(std::move(audit)), now_(std::move(now)) {}

std::string FirmwareCatalogue::upload_of_query(const HttpRequest& request, FirmwareUpload* upload) {
  const auto text = [&request](const char* name, std::string* out) {
    return url_decoded(request.param(name), out);
  };
  std::string signature, address;
  if (!text("product", &upload->product) || !text("version", &upload->version) ||
      !text("notes", &upload->notes) || !text("signature", &signature) ||
      !text("address", &address)) {
    return "a query parameter is not well-formed (percent-encoded UTF-8)";
  }
  if (!signature.empty() && !hex_bytes(signature, &upload->signature)) {
    return "signature: the detached signature as hex digits";
  }
  if (!address.empty()) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(address.c_str(), &end, 0);
    if (end == address.c_str() || *end != '\0' || value > 0xFFFFFFFFull) {
      return "address: a 32-bit address such as 0x4000";
    }
    upload->raw_address = static_cast<uint32_t>(value);
  }
  return "";
}

std::string FirmwareCatalogue::signature_problem(const std::string& file,
                                                 const std::string& signature) const {
  if (!rules_.key) return "";
  if (signature.empty()) {
    return "it has no signature: with a release key only a signed image is released";
  }
  return rules_.key->check(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                           std::vector<uint8_t>(signature.begin(), signature.end()));
}

LineReply FirmwareCatalogue::add(const std::string& who, const FirmwareUpload& upload,
                                 const std::string& file) {
  if (!firmware_product_is_valid(upload.product)) {
    return line_error(400, std::string("product: ") + FIRMWARE_PRODUCT_RULE);
  }
  if (!printable(upload.version, FIRMWARE_VERSION_MAX, false)) {
    return line_error(400, "version: 1 to 64 characters, none of them a control character");
  }
  if (!printable(upload.notes, FIRMWARE_NOTES_MAX, true)) {
    return line_error(400, "notes: at most 1024 bytes, no control characters");
  }
  if (file.size() > rules_.max_bytes) {
    return line_error(413, "the file is over " + std::to_string(rules_.max_bytes) + " bytes");
  }
  if (!upload.signature.empty() && upload.signature.size() != RELEASE_SIGNATURE_BYTES) {
    return line_error(400, "the signature is not the 64 bytes of an Ed25519 signature");
  }
  LoadedImage loaded;
  const ImageCheck check = image_load(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                                      upload.raw_address, IMAGE_MAX_SPAN, &loaded);
  if (!check.ok()) return line_error(400, "the file: " + check.reason);
  // A signature that does not verify is refused at once, not at release.
  if (rules_.key && !upload.signature.empty()) {
    const std::string wrong = signature_problem(file, upload.signature);
    if (!wrong.empty()) return line_error(400, wrong);
  }
  FirmwareRow row;
  row.product = upload.product;
  row.version = upload.version;
  row.notes = upload.notes;
  row.format = image_format_name(loaded.format);
  row.load_address = loaded.load_address;
  row.image_size = static_cast<int64_t>(loaded.bytes.size());
  row.image_sha256 = sha256_hex(sha256(loaded.bytes.data(), loaded.bytes.size()));
  row.file_sha256 = sha256_hex(sha256(reinterpret_cast<const uint8_t*>(file.data()), file.size()));
  row.signature = hex_text(upload.signature);
  row.state = "draft";
  row.uploaded_by = who;
  row.uploaded_at = now_();
  const LineDbResult added = db_.firmware_add(&row, file);
  if (!added.ok()) return line_db_failure(added);
  audit_(who, "firmware.add", image_name(row),
         Json{{"after",
               {{"image_sha256", row.image_sha256},
                {"file_sha256", row.file_sha256},
                {"signed", !row.signature.empty()}}}});
  return {201, firmware_json(row, rules_.approvals)};
}

LineReply FirmwareCatalogue::release(const std::string& who, int64_t id, int64_t max_units) {
  FirmwareRow row;
  bool found = false;
  std::string file;
  const LineDbResult read = db_.firmware_get(id, &row, &found, &file);
  if (!read.ok()) return line_db_failure(read);
  if (!found) return line_error(404, "no image " + std::to_string(id));
  if (row.state != "draft") {
    return line_error(409, image_name(row) + " is " + row.state + ": only a draft is released");
  }
  std::string signature;
  hex_bytes(row.signature, &signature);
  const std::string unsigned_problem = signature_problem(file, signature);
  if (!unsigned_problem.empty()) return line_error(409, image_name(row) + ": " + unsigned_problem);
  std::vector<std::string> approvers = names_of(row.approved_by);
  if (std::find(approvers.begin(), approvers.end(), who) != approvers.end()) {
    return line_error(409, who + " approved " + image_name(row) +
                               " already: a second engineer releases it");
  }
  approvers.push_back(who);
  const bool other = std::any_of(approvers.begin(), approvers.end(),
                                 [&row](const std::string& a) { return a != row.uploaded_by; });
  const bool enough =
      static_cast<int>(approvers.size()) >= rules_.approvals && (rules_.approvals < 2 || other);
  const FirmwareRow before = row;
  row.approved_by.clear();
  for (const std::string& a : approvers)
    row.approved_by += (row.approved_by.empty() ? "" : ",") + a;
  if (max_units > 0) row.max_units = max_units;
  if (enough) {
    row.state = "released";
    row.released_at = now_();
  }
  const LineDbResult changed = db_.firmware_change(row, "draft");
  if (!changed.ok()) return line_db_failure(changed);
  audit_(who, enough ? "firmware.release" : "firmware.approve", image_name(row),
         Json{{"before", {{"state", before.state}}},
              {"after",
               {{"state", row.state},
                {"approved_by", approvers},
                {"max_units", row.max_units > 0 ? Json(row.max_units) : Json()}}}});
  return {enough ? 200 : 202, firmware_json(row, rules_.approvals)};
}

LineReply FirmwareCatalogue::withdraw(const std::string& who, int64_t id,
                                      const std::string& reason) {
  if (reason.empty() || !printable(reason, FIRMWARE_NOTES_MAX, false)) {
    return line_error(400, "a withdrawal gives its reason: 1 to 1024 bytes, no control characters");
  }
  FirmwareRow row;
  bool found = false;
  const LineDbResult read = db_.firmware_get(id, &row, &found);
  if (!read.ok()) return line_db_failure(read);
  if (!found) return line_error(404, "no image " + std::to_string(id));
  if (row.state == "withdrawn") return line_error(409, image_name(row) + " is withdrawn already");
  const std::string was = row.state;
  row.state = "withdrawn";
  row.withdrawn_by = who;
  row.withdrawn_at = now_();
  row.withdraw_reason = reason;
  const LineDbResult changed = db_.firmware_change(row, was);
  if (!changed.ok()) return line_db_failure(changed);
  audit_(who, "firmware.withdraw", image_name(row),
         Json{{"before", {{"state", was}}}, {"after", {{"state", row.state}}}, {"why", reason}});
  return {200, firmware_json(row, rules_.approvals)};
}

LineReply FirmwareCatalogue::list() {
  std::vector<FirmwareRow> rows;
  const LineDbResult read = db_.firmware_list(&rows);
  if (!read.ok()) return line_db_failure(read);
  Json images = Json::array();
  for (const FirmwareRow& row : rows) images.push_back(firmware_json(row, rules_.approvals));
  return {200, Json{{"images", images}}};
}

LineReply FirmwareCatalogue::describe(int64_t id) {
  FirmwareRow row;
  bool found = false;
  const LineDbResult read = db_.firmware_get(id, &row, &found);
  if (!read.ok()) return line_db_failure(read);
  if (!found) return line_error(404, "no image " + std::to_string(id));
  return {200, firmware_json(row, rules_.approvals)};
}

LineReply FirmwareCatalogue::current(const std::string& product) {
  if (!firmware_product_is_valid(product)) {
    return line_error(400, std::string("product: ") + FIRMWARE_PRODUCT_RULE);
  }
  FirmwareRow row;
  bool found = false;
  const LineDbResult read = db_.firmware_current(product, &row, &found);
  if (!read.ok()) return line_db_failure(read);
  if (!found) return line_error(404, "no release of " + product + " on this line");
  return {200, firmware_json(row, rules_.approvals)};
}

LineReply FirmwareCatalogue::allowance(const std::string& station, const std::string& body) {
  Json ask;
  const std::string problem = json_read(body, &ask);
  if (!problem.empty()) return line_error(400, problem);
  const auto whole = [&ask](const char* name, int64_t most) { return json_whole(ask, name, most); };
  const int64_t id = whole("release", INT64_MAX), spent = whole("spent", INT64_MAX / 2);
  const int64_t want = whole("want", FIRMWARE_ALLOWANCE_MAX);
  const Json& back = ask.is_object() ? json_member(ask, "give_back") : Json();
  if (id < 1 || spent < 0 || want < 0 || !(back.is_null() || back.is_boolean())) {
    return line_error(400, "send {\"release\": ID, \"spent\": N, \"want\": 0 to 16}");
  }
  const bool give_back = back.is_boolean() && back.get<bool>();
  FirmwareRow row;
  bool found = false;
  const LineDbResult read = db_.firmware_get(id, &row, &found);
  if (!read.ok()) return line_db_failure(read);
  if (!found || row.released_at.empty())
    return line_error(404, "no released image " + std::to_string(id));
  if (row.max_units <= 0) return {200, Json{{"release", id}, {"limited", false}}};
  if (row.state == "withdrawn" && !give_back) {
    return line_error(409, "release " + row.version + " of " + row.product +
                               " was withdrawn: " + row.withdraw_reason);
  }
  int64_t granted = 0, left = 0;
  const LineDbResult kept =
      db_.allowance(id, station, row.max_units, spent, want, give_back, &granted, &left);
  if (!kept.ok()) return line_db_failure(kept);
  return {200, Json{{"release", id}, {"limited", true}, {"granted", granted}, {"left", left}}};
}

LineReply FirmwareCatalogue::set_slot_product(const std::string& who, const std::string& station,
                                              const std::string& body) {
  Json ask;
  const std::string problem = json_read(body, &ask);
  if (!problem.empty()) return line_error(400, problem);
  const int64_t slot = json_whole(ask, "slot", LINE_SLOT_NUMBER_MAX);
  const Json& product = ask.is_object() ? json_member(ask, "product") : Json();
  if (slot < 1 || !(product.is_null() || product.is_string()) ||
      (product.is_string() && !firmware_product_is_valid(product.get<std::string>()))) {
    return line_error(400, "send {\"slot\": 1 to " + std::to_string(LINE_SLOT_NUMBER_MAX) +
                               ", \"product\": P or null}, P of letters, digits, '.', '_' and '-'");
  }
  if (!line_station_name_is_valid(station)) return line_error(400, "no such station name");
  SlotProduct row{station, slot, product.is_string() ? product.get<std::string>() : "", who,
                  now_()};
  const LineDbResult kept = db_.slot_product_set(row);
  if (!kept.ok()) return line_db_failure(kept);
  audit_(who, "firmware.slot", station + " slot " + std::to_string(slot),
         Json{{"product", product}});
  return {200, Json{{"station", station}, {"slot", slot}, {"product", product}}};
}

LineReply FirmwareCatalogue::slot_products(const std::string& station) {
  std::vector<SlotProduct> rows;
  const LineDbResult read = db_.slot_products(station, &rows);
  if (!read.ok()) return line_db_failure(read);
  Json slots = Json::array();
  for (const SlotProduct& row : rows) {
    slots.push_back(Json{{"station", row.station},
                         {"slot", row.slot},
                         {"product", row.product},
                         {"set_by", row.set_by},
                         {"set_at", row.set_at}});
  }
  return {200, Json{{"slots", slots}}};
}

LineReply FirmwareCatalogue::file(int64_t id, std::string* file) {
  FirmwareRow row;
  bool found = false;
  const LineDbResult read = db_.firmware_get(id, &row, &found, file);
  if (!read.ok()) return line_db_failure(read);
  if (!found || row.released_at.empty()) {
    file->clear();
    return line_error(404, "no released image " + std::to_string(id));
  }
  return {200, Json()};
}

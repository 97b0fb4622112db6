// The line's firmware catalogue: images uploaded by engineers, released
// (by one engineer, or by two of whom one did not upload it), withdrawn with
// a reason, each change an entry of the line's audit trail. A released
// image never changes: a new version is a new image. With a release key,
// only an image whose detached signature verifies is taken or released.
// The stations ask for their product's current release and fetch its file.
// Every call is safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "app/access/release_key.h"
#include "app/http/http_face.h"
#include "app/line/line.h"
#include "app/line/line_db.h"
#include "app/runs/unit_tag.h"

constexpr size_t FIRMWARE_MAX_BYTES = 16u << 20;
// The most units a station is granted at a time.
constexpr int64_t FIRMWARE_ALLOWANCE_MAX = 16;
constexpr size_t FIRMWARE_VERSION_MAX = 64;
constexpr size_t FIRMWARE_NOTES_MAX = 1024;

struct FirmwareRules {
  int approvals = 1;                     // 2: a second engineer, other than the uploader
  std::shared_ptr<const ReleaseKey> key; // set: only signed images
  size_t max_bytes = FIRMWARE_MAX_BYTES;
};

struct FirmwareUpload {
  std::string product;
  std::string version;
  std::string notes;
  std::string signature;         // the detached signature's bytes; empty: none
  uint32_t raw_address = 0x4000; // where a raw binary goes
};

// Who acts, and what audit entries go where.
using FirmwareAudit =
    std::function<void(const std::string& who, const std::string& action,
                       const std::string& subject, const nlohmann::ordered_json& details)>;

class FirmwareCatalogue {
public:
  FirmwareCatalogue(LineDb& db, FirmwareRules rules, FirmwareAudit audit,
                    std::function<std::string()> now);

  // POST /api/firmware?product=&version=&notes=&signature=HEX&address=: the
  // upload as the query gives it, or the problem in one line.
  static std::string upload_of_query(const HttpRequest& request, FirmwareUpload* upload);

  // 201 with the image, its id among it.
  LineReply add(const std::string& who, const FirmwareUpload& upload, const std::string& file);
  // An engineer's approval; the image is released once it has enough.
  LineReply release(const std::string& who, int64_t id, int64_t max_units);
  LineReply withdraw(const std::string& who, int64_t id, const std::string& reason);
  LineReply list();
  LineReply describe(int64_t id);
  // For stations: the product's current release (404 when none).
  LineReply current(const std::string& product);
  // POST /api/stations/NAME/allowance: {"release": ID, "spent": N,
  // "want": N} asks for up to FIRMWARE_ALLOWANCE_MAX more units of a
  // release with a unit limit; with "give_back": true, what the station
  // holds unspent comes back. {"limited", "granted", "left"}.
  LineReply allowance(const std::string& station, const std::string& body);
  // POST /api/stations/NAME/slot-product: {"slot": N, "product": P} has
  // the slot flash P's releases; "product": null, its station's own again.
  LineReply set_slot_product(const std::string& who, const std::string& station,
                             const std::string& body);
  // {"slots": [{"station", "slot", "product", "set_by", "set_at"}]}: of one
  // station, or (empty) of all.
  LineReply slot_products(const std::string& station);
  // A released (or withdrawn) image's file as uploaded, into *file.
  LineReply file(int64_t id, std::string* file);

  const FirmwareRules& rules() const { return rules_; }

private:
  std::string signature_problem(const std::string& file, const std::string& signature) const;

  LineDb& db_;
  const FirmwareRules rules_;
  FirmwareAudit audit_;
  std::function<std::string()> now_;
};

// An image as the API shows it.
nlohmann::ordered_json firmware_json(const FirmwareRow& row, int approvals_needed);

// A station that flashes its line's release: it asks the line for its
// product's current release with each heartbeat, fetches a new release's
// file and checks it itself (its SHA-256, what the loader makes of it, and,
// with a release key, its signature: a line that was broken into cannot make
// it flash what the key did not sign), and keeps it in its record store, so
// that a restart or a line that is away does not stop it. A run takes the
// release current when it starts and keeps it to its end. Starts are
// refused while there is no release, when it was withdrawn, and when the
// line has not confirmed it for longer than the grace. Every call is safe
// from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/access/release_key.h"
#include "app/station/line_reporter.h"
#include "records/record_store.h"
#include "upgrade/firmware.h"

constexpr int RELEASE_GRACE_HOURS = 24;
// How often a confirmation is written to the store while nothing changes.
constexpr int64_t RELEASE_KEEP_MS = 60 * 1000;
// The units a station holds at most; it asks for more below half of it.
constexpr int64_t RELEASE_ALLOWANCE = 16;
// The slots the line may give a product of their own, and the products a
// station follows at once (its own among them).
constexpr size_t RELEASE_SLOTS_MAX = 64;
constexpr size_t RELEASE_PRODUCTS_MAX = 8;

// The image one run flashes, and what its record names.
struct RunFirmware {
  std::vector<uint8_t> bytes;
  FirmwareImage image{}; // into bytes
  std::string sha256;
  std::string source; // "ctl-a 1.2 (release 7)"
  std::string product;
  std::string release_version;
};

struct ReleaseSetup {
  std::string product;
  std::string station;                   // its name on the line
  std::shared_ptr<const ReleaseKey> key; // set: only what it signed
  int64_t grace_ms = int64_t{RELEASE_GRACE_HOURS} * 3600 * 1000;
  std::function<int64_t()> now_ms; // wall clock
};

class ReleaseFollower {
public:
  ReleaseFollower(RecordStore& store, ReleaseSetup setup);

  // The release kept from the last run of the station, checked again as if
  // it had just come; the problem when it cannot be used (then none is).
  std::string load_kept();
  // Asks the line over `post`; a new release's file comes over `fetch`.
  // What went wrong, in one line, or empty. With `slots`, the products the
  // line gave this station's slots (slot -> product) go there when the
  // line answered.
  std::string refresh(const LinePost& post, const LinePost& fetch,
                      std::optional<std::map<int64_t, std::string>>* slots = nullptr);
  // The image a run starts with now, or why none may start (409); a
  // release with a unit limit spends one of the station's allowance.
  std::string image_for_run(std::shared_ptr<const RunFirmware>* firmware);
  // For the station's page: the product, the release and whether the line
  // confirmed it, and what stops runs.
  nlohmann::ordered_json status() const;
  // The station stops: what it holds of its allowance unspent goes back to
  // the line. What went wrong, or empty.
  std::string give_back(const LinePost& post);
  // The units it holds unspent.
  int64_t held() const;
  // The store keeps nothing of this product any more.
  void forget();

private:
  struct Release {
    int64_t id = 0;
    std::string version;
    std::string state; // released, withdrawn
    std::string reason;
    std::string image_sha256;
    std::string file_sha256;
    std::string signature; // hex
    int64_t load_address = 0;
    int64_t confirmed_ms = 0;
    int64_t max_units = 0; // 0: no limit
    int64_t granted = 0;   // the units the line granted this station in all
  };
  static Release release_of(const nlohmann::ordered_json& object);
  // The file checked against what the line said of it; the image made.
  std::string adopt(const Release& release, const std::string& file,
                    std::shared_ptr<const RunFirmware>* firmware) const;
  void keep(const Release& release, const std::string* file);
  std::string refusal_locked() const;
  // Asks the line for more units while fewer than half a grant are left.
  std::string ask_allowance(const LinePost& post);
  // The runs of the current release in the store (after adopting one).
  void count_spent_locked();

  RecordStore& store_;
  const ReleaseSetup setup_;
  mutable std::mutex mutex_;
  Release current_;                          // id 0: none
  std::shared_ptr<const RunFirmware> image_; // current_'s
  std::string none_;           // why there is none ("no release of P on the line yet")
  std::string problem_;        // the last refresh's trouble, for the page
  int64_t kept_ms_ = 0;        // when a confirmation was last written
  int64_t spent_ = 0;          // runs started with the current release
  bool exhausted_ = false;     // the line has no units left to grant
  bool allowance_away_ = true; // the line did not answer the last ask
};

// The slots of a station and what each flashes: the station's own product,
// unless an engineer gave the slot another from the line's page. One
// follower for each product in use; the slots' products are kept in the
// store too, so a restart with the line away flashes what it did. Every
// call is safe from any thread.
class SlotReleases {
public:
  SlotReleases(RecordStore& store, ReleaseSetup setup);

  // What ReleaseFollower::load_kept says, for each product kept.
  std::string load_kept();
  // Each product in use asks the line; the first trouble, or empty.
  std::string refresh(const LinePost& post, const LinePost& fetch);
  // The image a run on `slot` starts with now, or why none may start.
  std::string image_for_run(int64_t slot, std::shared_ptr<const RunFirmware>* firmware);
  // The station's own product's status, with "slots" ({"N": P}) and
  // "others" (the status of each other product in use).
  nlohmann::ordered_json status() const;
  // Every product's unspent units go back; the first trouble, or empty.
  std::string give_back(const LinePost& post);

private:
  using Follower = std::shared_ptr<ReleaseFollower>;
  // The follower of `product`, made (and its kept release loaded) when new;
  // null beyond RELEASE_PRODUCTS_MAX.
  Follower follower_locked(const std::string& product);
  Follower own() const;
  // The followers of the slots' products other than the station's own.
  std::vector<Follower> others_locked() const;

  RecordStore& store_;
  const ReleaseSetup setup_;
  mutable std::mutex mutex_;
  std::map<std::string, Follower> followers_; // by product, the station's own always
  std::map<int64_t, std::string> slots_;      // the slots given another product
};

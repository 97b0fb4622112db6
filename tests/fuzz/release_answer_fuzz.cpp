// Feeds arbitrary bytes to a station that follows its line's releases, as
// the line's answer to its ask for the current release (with the products
// it gives the station's slots) and as the release's file: the station
// takes a release only when the file makes the image the answer names, and
// follows at most its bound of products (AddressSanitizer and UBSan watch
// the rest).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/station/release_follower.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

RecordStore& store() {
  static const std::string path = "/tmp/fuzz-release-" + std::to_string(getpid()) + ".db";
  static std::unique_ptr<RecordStore> opened = [] {
    StoreResult result;
    return RecordStore::open(path, &result);
  }();
  check(opened != nullptr);
  return *opened;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  ReleaseSetup setup;
  setup.product = "ctl-a";
  setup.station = "st-a";
  setup.now_ms = [] { return int64_t{1000}; };
  SlotReleases releases(store(), setup);
  releases.load_kept();
  const LinePost answer = [&body](const std::string&, const std::string&) {
    return LineAnswer{200, body, "", false};
  };
  releases.refresh(answer, answer);
  for (int64_t slot = 1; slot <= 3; ++slot) {
    std::shared_ptr<const RunFirmware> image;
    if (releases.image_for_run(slot, &image).empty()) {
      check(image != nullptr && image->image.size == image->bytes.size());
    }
  }
  check(releases.status()["others"].size() < RELEASE_PRODUCTS_MAX);
  return 0;
}

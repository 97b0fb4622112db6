#include "app/line/row_quota.h"

#include <algorithm>
#include <cmath>

namespace {

// Stations whose buckets are kept before the full ones are let go: a full
// bucket is what a station without one has.
constexpr size_t BUCKETS_KEPT = 1024;

} // namespace

void RowQuota::set(int64_t per_minute) {
  std::lock_guard<std::mutex> lock(mutex_);
  per_minute_ = per_minute;
  buckets_.clear();
}

int64_t RowQuota::per_minute() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return per_minute_;
}

RowQuota::Bucket& RowQuota::filled(const std::string& station, Clock::time_point now) {
  const double full = static_cast<double>(per_minute_);
  const auto found = buckets_.find(station);
  if (found == buckets_.end()) {
    if (buckets_.size() >= BUCKETS_KEPT) {
      for (auto it = buckets_.begin(); it != buckets_.end();) {
        const double s = std::chrono::duration<double>(now - it->second.at).count();
        it = it->second.rows + s * full / 60.0 >= full ? buckets_.erase(it) : std::next(it);
      }
    }
    return buckets_[station] = Bucket{full, now};
  }
  Bucket& bucket = found->second;
  const double s = std::chrono::duration<double>(now - bucket.at).count();
  bucket.rows = std::min(full, bucket.rows + std::max(0.0, s) * full / 60.0);
  bucket.at = now;
  return bucket;
}

int RowQuota::seconds_to(const Bucket& bucket, size_t rows) const {
  const double needed = std::min(static_cast<double>(rows), static_cast<double>(per_minute_));
  if (bucket.rows >= needed) return 0;
  const double seconds = (needed - bucket.rows) * 60.0 / static_cast<double>(per_minute_);
  return std::max(1, static_cast<int>(std::ceil(seconds)));
}

int RowQuota::take(const std::string& station, size_t rows, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  Bucket& bucket = filled(station, now);
  const int wait = seconds_to(bucket, rows);
  if (wait == 0) bucket.rows -= static_cast<double>(rows);
  return wait;
}

int RowQuota::wait(const std::string& station, size_t rows, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  return seconds_to(filled(station, now), rows);
}

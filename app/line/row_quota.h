// How many rows each station may send a minute: a bucket per station that
// holds a minute's rows and fills at that rate. A batch goes when the bucket
// holds it (or, a batch larger than a minute's, when the bucket is full),
// and takes its rows out, so that over any long time no station stores
// more than its rate however many clients post for it. A batch refused is
// told how long to wait. Safe from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

constexpr int64_t LINE_ROWS_PER_MINUTE = 600;

class RowQuota {
public:
  using Clock = std::chrono::steady_clock;

  explicit RowQuota(int64_t per_minute = LINE_ROWS_PER_MINUTE) : per_minute_(per_minute) {}
  void set(int64_t per_minute);
  int64_t per_minute() const;

  // 0 when a batch of `rows` of `station` may go now (its rows taken out of
  // the bucket); else the whole seconds to wait before it may.
  int take(const std::string& station, size_t rows, Clock::time_point now);
  // The same, without taking the rows.
  int wait(const std::string& station, size_t rows, Clock::time_point now);

private:
  struct Bucket {
    double rows = 0;
    Clock::time_point at;
  };
  // The bucket of `station` filled up to `now`.
  Bucket& filled(const std::string& station, Clock::time_point now);
  // 0 when `bucket` holds a batch of `rows`; else the seconds until it does.
  int seconds_to(const Bucket& bucket, size_t rows) const;

  mutable std::mutex mutex_;
  int64_t per_minute_;
  std::map<std::string, Bucket> buckets_;
};

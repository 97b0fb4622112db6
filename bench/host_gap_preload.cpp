// Loaded into orvaload-cli by the benchmark (LD_PRELOAD) to time the
// upgrader's own share of each turnaround: from the return of the read that
// brought the last bytes of an answer to the start of the write of the next
// request. The port is the one terminal the program reads and writes (its
// standard streams are pipes under the benchmark). When the program ends, the
// times go to the file named by ORVA_GAP_FILE, one number of nanoseconds per
// line.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using ReadCall = ssize_t (*)(int, void*, size_t);
using WriteCall = ssize_t (*)(int, const void*, size_t);

constexpr int MAX_GAPS = 1 << 16;
constexpr int MAX_FD = 1024;

std::atomic<int64_t> last_read_ns{0};
int64_t gaps[MAX_GAPS];
std::atomic<int> gap_count{0};
// The descriptors found to be a terminal. Only that is kept: a descriptor
// that is something else is asked again, as the C library may close it
// without passing here and the number may come back as the port.
std::atomic<bool> terminal[MAX_FD];

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool is_port(int fd) {
  if (fd <= 2 || fd >= MAX_FD) return false;
  if (terminal[fd].load()) return true;
  const bool is = isatty(fd) != 0;
  if (is) terminal[fd].store(true);
  return is;
}

struct Report {
  ~Report() {
    const char* path = std::getenv("ORVA_GAP_FILE");
    FILE* out = path ? std::fopen(path, "w") : nullptr;
    if (!out) return;
    const int n = gap_count.load() < MAX_GAPS ? gap_count.load() : MAX_GAPS;
    for (int i = 0; i < n; ++i) std::fprintf(out, "%lld\n", static_cast<long long>(gaps[i]));
    std::fclose(out);
  }
} report;

} // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
  static const auto next = reinterpret_cast<ReadCall>(dlsym(RTLD_NEXT, "read"));
  const ssize_t n = next(fd, buffer, size);
  if (n > 0 && is_port(fd)) last_read_ns.store(now_ns());
  return n;
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  static const auto next = reinterpret_cast<WriteCall>(dlsym(RTLD_NEXT, "write"));
  if (is_port(fd)) {
    const int64_t read_at = last_read_ns.exchange(0);
    if (read_at != 0) {
      const int i = gap_count.fetch_add(1);
      if (i < MAX_GAPS) gaps[i] = now_ns() - read_at;
    }
  }
  return next(fd, data, size);
}

// The floor under the Windows figures: bare exchanges over a COM port, with
// the port's own open and read that ends when the answer is complete, and
// nothing of the upgrader around them. The benchmark maps a pseudo-terminal
// whose other end answers like the simulated controller as COMn and runs
// this under Wine:
//   orva-com-floor COMn EXCHANGES REQUEST_BYTES ANSWER_BYTES
// It prints the microseconds of each exchange, one per line, and exits 0;
// 1 when the port cannot be opened or an exchange fails.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "serial/serial.h"

namespace {

using Clock = std::chrono::steady_clock;

// The answer is whole once it has all its bytes.
class AnswerSize final : public ReadCheck {
public:
  explicit AnswerSize(size_t size) : size_(size) {}
  size_t missing(const uint8_t*, size_t size) const override {
    return size < size_ ? size_ - size : 0;
  }

private:
  size_t size_;
};

bool exchange(SerialPort* port, const std::vector<uint8_t>& request, size_t answer_bytes) {
  if (!port->write(request.data(), request.size())) return false;
  const AnswerSize check(answer_bytes);
  std::vector<uint8_t> answer(answer_bytes);
  size_t have = 0;
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(5);
  while (have < answer_bytes && Clock::now() < give_up) {
    size_t got = 0;
    if (!port->read_until(answer.data() + have, answer_bytes - have, &got, check)) return false;
    have += got;
  }
  return have == answer_bytes;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: orva-com-floor COMn EXCHANGES REQUEST_BYTES ANSWER_BYTES\n");
    return 2;
  }
  const int exchanges = std::atoi(argv[2]);
  const std::vector<uint8_t> request(static_cast<size_t>(std::atoi(argv[3])), 'r');
  const size_t answer_bytes = static_cast<size_t>(std::atoi(argv[4]));
  PortHandle slot = 0;
  char message[SERIAL_MESSAGE_SIZE];
  if (serial_open(argv[1], &slot, message) != 0) {
    std::fprintf(stderr, "orva-com-floor: %s", message);
    return 1;
  }
  SerialPort* port = port_from_handle(slot);
  std::vector<double> took_us;
  for (int i = 0; i < exchanges; ++i) {
    const Clock::time_point start = Clock::now();
    if (!exchange(port, request, answer_bytes)) {
      std::fprintf(stderr, "orva-com-floor: exchange %d failed\n", i + 1);
      serial_close(&slot, message);
      return 1;
    }
    took_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  serial_close(&slot, message);
  for (double us : took_us) std::printf("%.1f\n", us);
  return 0;
}

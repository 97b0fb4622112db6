// The pseudo-terminal, the stop signals and the serving loop on Linux.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "link/link_records.h"
#include "sim/bootsim_os.h"

namespace {

int signal_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int) {
  const int saved = errno;
  const char byte = 1;
  // Nothing to do if the pipe is full: one byte already says "stop".
  ssize_t ignored = write(signal_pipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

using Clock = std::chrono::steady_clock;

// The ending after a failed call, with errno's text.
BootsimEnding failed(const char* what) {
  return {BootsimEnd::error, std::string(what) + ": " + std::strerror(errno)};
}

int64_t ms_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// Longest single wait, so that every deadline is looked at often enough.
constexpr auto MAX_WAIT = std::chrono::milliseconds(50);
// A timed wait ends late by the kernel's timer slack (50 us) plus the time an
// idle processor takes to wake (about 140 us measured on a virtual machine),
// 818 times in a paced run. So the wait for a paced answer ends this early and
// polls the rest of the way.
constexpr auto WAKE_LEAD = std::chrono::microseconds(300);
// While no client has the terminal open the master reports a hang-up at
// once; this keeps the loop from spinning on it.
constexpr int NO_CLIENT_WAIT_MS = 20;
// A frame that stops in the middle for this long is given up.
constexpr int64_t PARTIAL_FRAME_MS = 1000;
// Gap between the bytes of an answer sent one byte at a time: longer than
// the inter-byte time-out of the upgrader's reads, so each byte is a read.
constexpr auto BYTE_GAP = std::chrono::milliseconds(2);

struct Pending {
  Clock::time_point due;
  std::vector<uint8_t> bytes;
  size_t sent = 0;
  bool byte_at_a_time = false;
  uint8_t request_command = 0;
  uint32_t request = 0;
};

class Server {
public:
  Server(PseudoTerminal& terminal, SimController& controller, const BootsimOptions& options,
         std::vector<uint32_t>* turnaround_us)
      : terminal_(terminal),
        controller_(controller),
        options_(options),
        turnaround_us_(turnaround_us) {}

  BootsimEnding run();

private:
  timespec wait_time(Clock::time_point now) const;
  bool take_input(Clock::time_point now, BootsimEnding* end);
  bool send_due(Clock::time_point now, BootsimEnding* end);
  void client_left();
  bool stopped() const;

  PseudoTerminal& terminal_;
  SimController& controller_;
  const BootsimOptions& options_;
  std::deque<Pending> pending_;
  Clock::time_point last_rx_ = Clock::now();
  Clock::time_point last_activity_ = Clock::now();
  Clock::time_point last_due_ = Clock::now();
  uint32_t jumps_answered_ = 0;
  bool client_ = false;
  std::vector<uint32_t>* turnaround_us_;
  // When the last answer went out whole, while no byte has come since.
  Clock::time_point answered_at_;
  bool answered_ = false;
};

bool Server::stopped() const {
  char byte;
  return read(signal_pipe[0], &byte, 1) == 1;
}

// Until shortly before the next answer is due, to the nanosecond, so that a
// paced answer goes out on time with a short poll at the end.
timespec Server::wait_time(Clock::time_point now) const {
  std::chrono::nanoseconds wait = MAX_WAIT;
  if (!pending_.empty()) {
    wait = std::clamp<std::chrono::nanoseconds>(pending_.front().due - WAKE_LEAD - now,
                                                std::chrono::nanoseconds(0), wait);
  }
  const auto ns = wait.count();
  return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

void Server::client_left() {
  controller_.drop_partial_frame("the host closed the line");
  if (!pending_.empty()) {
    controller_.note_violation("the host closed the line before reading " +
                               std::to_string(pending_.size()) + " answer(s)");
  }
  pending_.clear();
  answered_ = false;
  terminal_.discard_unread();
}

bool Server::take_input(Clock::time_point now, BootsimEnding* end) {
  uint8_t buffer[4096];
  const ssize_t n = read(terminal_.fd(), buffer, sizeof buffer);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) {
      return true;
    }
    if (errno == EIO) { // the last client closed the terminal
      if (client_) {
        client_ = false;
        client_left();
      }
      return true;
    }
    *end = failed("reading the terminal");
    return false;
  }
  if (n == 0) {
    return true;
  }
  last_rx_ = last_activity_ = now;
  if (answered_ && turnaround_us_ && !controller_.in_frame()) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - answered_at_);
    turnaround_us_->push_back(static_cast<uint32_t>(std::max<int64_t>(0, us.count())));
  }
  answered_ = false;
  std::vector<SimAnswer> answers;
  const uint32_t before = controller_.requests();
  controller_.feed(buffer, static_cast<size_t>(n), &answers);
  // The upgrader waits for the answer to one request before it sends the next.
  if (controller_.requests() > before && !pending_.empty()) {
    controller_.note_violation("request " + std::to_string(before + 1) +
                               " arrived before the answer to request " +
                               std::to_string(pending_.front().request) + " was sent");
  }
  for (SimAnswer& answer : answers) {
    // The controller works through the requests one after the other.
    const Clock::time_point start = std::max(now, last_due_);
    Pending p;
    p.due = start + std::chrono::microseconds(answer.delay_us);
    p.bytes = std::move(answer.bytes);
    p.byte_at_a_time = answer.byte_at_a_time;
    p.request_command = answer.request_command;
    p.request = answer.request;
    last_due_ = p.due;
    pending_.push_back(std::move(p));
  }
  return true;
}

bool Server::send_due(Clock::time_point now, BootsimEnding* end) {
  while (!pending_.empty() && pending_.front().due <= now) {
    Pending& p = pending_.front();
    const size_t want = p.byte_at_a_time ? 1 : p.bytes.size() - p.sent;
    const ssize_t n = write(terminal_.fd(), p.bytes.data() + p.sent, want);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) {
        return true; // the client is not reading; try again on the next pass
      }
      if (errno == EIO) {
        client_left();
        return true;
      }
      *end = failed("writing the terminal");
      return false;
    }
    p.sent += static_cast<size_t>(n);
    last_activity_ = now;
    if (p.sent < p.bytes.size()) {
      if (p.byte_at_a_time) {
        p.due = now + BYTE_GAP;
      }
      return true;
    }
    if (p.request_command == CMD_JUMP) {
      ++jumps_answered_;
    }
    answered_at_ = Clock::now();
    answered_ = pending_.size() == 1;
    pending_.pop_front();
  }
  return true;
}

BootsimEnding Server::run() {
  BootsimEnding end;
  for (;;) {
    Clock::time_point now = Clock::now();
    pollfd fds[2] = {{signal_pipe[0], POLLIN, 0}, {terminal_.fd(), POLLIN, 0}};
    const timespec wait = wait_time(now);
    const int count = ppoll(fds, 2, &wait, nullptr);
    if (count < 0 && errno != EINTR) {
      return failed("ppoll");
    }
    now = Clock::now();
    if ((fds[0].revents & POLLIN) && stopped()) {
      return {BootsimEnd::signal, ""};
    }
    const short seen = fds[1].revents;
    if (seen & POLLIN) {
      if (!take_input(now, &end)) {
        return end;
      }
      client_ = client_ || !(seen & POLLHUP);
    } else if (seen & POLLHUP) {
      if (client_) {
        client_ = false;
        client_left();
      }
      pollfd signal_only = {signal_pipe[0], POLLIN, 0};
      if (poll(&signal_only, 1, NO_CLIENT_WAIT_MS) > 0 && stopped()) {
        return {BootsimEnd::signal, ""};
      }
      now = Clock::now();
    } else {
      client_ = true;
    }
    if (controller_.line_closed()) {
      terminal_.close(); // the host sees its line drop
      return {BootsimEnd::closed, ""};
    }
    if (!send_due(now, &end)) {
      return end;
    }
    if (controller_.in_frame() && ms_between(last_rx_, now) >= PARTIAL_FRAME_MS) {
      controller_.drop_partial_frame("the line went quiet");
    }
    if (options_.runs > 0 && jumps_answered_ >= options_.runs && pending_.empty() &&
        ms_between(last_activity_, now) >= options_.quiet_ms) {
      return {BootsimEnd::jump, ""};
    }
    if (options_.idle_timeout_s > 0 &&
        ms_between(last_rx_, now) >= int64_t{options_.idle_timeout_s} * 1000) {
      return {BootsimEnd::idle, ""};
    }
  }
}

} // namespace

PseudoTerminal::~PseudoTerminal() {
  close();
}

bool PseudoTerminal::open(std::string* error) {
  fd_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd_ < 0) {
    *error = std::string("posix_openpt: ") + std::strerror(errno);
    return false;
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  fcntl(fd_, F_SETFD, FD_CLOEXEC);
  if (grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
    *error = std::string("grantpt/unlockpt: ") + std::strerror(errno);
    close();
    return false;
  }
  char name[128];
  if (ptsname_r(fd_, name, sizeof name) != 0) {
    *error = std::string("ptsname: ") + std::strerror(errno);
    close();
    return false;
  }
  path_ = name;
  // The line settings live with the terminal's slave side and outlast every
  // client, so set them once through a short open of our own.
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios tio{};
  if (slave < 0 || tcgetattr(slave, &tio) != 0) {
    *error = "cannot open " + path_ + ": " + std::strerror(errno);
    if (slave >= 0) {
      ::close(slave);
    }
    close();
    return false;
  }
  cfmakeraw(&tio);
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tio.c_cflag |= CLOCAL | CREAD;
  const bool raw = tcsetattr(slave, TCSANOW, &tio) == 0;
  ::close(slave);
  if (!raw) {
    *error = "cannot make " + path_ + " raw: " + std::strerror(errno);
    close();
    return false;
  }
  return true;
}

void PseudoTerminal::discard_unread() {
  // Answers written but not read would greet the next client as stale
  // bytes. They wait in the slave side's input queue, which only a flush
  // through the slave reaches.
  const int slave = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave >= 0) {
    tcflush(slave, TCIFLUSH);
    ::close(slave);
  }
  tcflush(fd_, TCIOFLUSH);
}

void PseudoTerminal::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool bootsim_catch_signals(std::string* error) {
  if (pipe(signal_pipe) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  for (int fd : signal_pipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigaction(sig, &action, nullptr) != 0) {
      *error = std::string("sigaction: ") + std::strerror(errno);
      return false;
    }
  }
  return true;
}

BootsimEnding bootsim_serve(PseudoTerminal& terminal, SimController& controller,
                            const BootsimOptions& options, std::vector<uint32_t>* turnaround_us) {
  Server server(terminal, controller, options, turnaround_us);
  return server.run();
}

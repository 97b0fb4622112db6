// orvaload-cli against orva-bootsim with faults drawn at random anywhere in
// the run, the jump and its retransmissions among them. Whatever happens, a
// script that reads exit status 0 must be able to rely on the controller
// having taken the whole image and the jump. Seeded (ORVA_RANDOM_SEED picks
// another seed) and bounded in time: rounds stop once the budget is spent.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "tests/support/bootsim_process.h"
#include "tests/support/child_process.h"

namespace {

constexpr double BUDGET_S = 25.0;
constexpr int MAX_ROUNDS = 20;
constexpr double RUN_S = 30.0;
// Request numbers of a clean run with the built-in image: the jump is the
// last of 818.
constexpr uint32_t JUMP = 818;

struct Round {
  std::vector<std::string> options; // orva-bootsim's fault options
  uint32_t closed_at = 0;           // request at which the line drops, 0: never
  bool slow = false;                // costs a five-second time-out
  bool byte_at_a_time = false;
};

class FaultDraw {
public:
  explicit FaultDraw(uint32_t seed) : random_(seed) {}

  Round next(bool allow_slow) {
    Round round;
    const int faults = pick(1, 2);
    for (int i = 0; i < faults; ++i) add_fault(round, allow_slow);
    if (pick(0, 3) == 0) add(round, "--stray", std::to_string(pick(1, 40)));
    // orva-bootsim spaces single bytes 2 ms apart, so a whole run byte by
    // byte takes some 20 s: at most one such round, cut short by an early
    // fault. The closing exchange's split answers are the in-process tests'.
    if (allow_slow && pick(0, 1) == 0) {
      round.byte_at_a_time = true;
      round.slow = true;
      round.options.push_back("--byte-at-a-time");
      close_at(round, static_cast<uint32_t>(pick(40, 250)));
    }
    return round;
  }

private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  // Half the faults fall around the end of the run: the last progress
  // message, the jump and the retransmissions a refusal of it brings.
  uint32_t request() {
    return static_cast<uint32_t>(pick(0, 1) ? pick(JUMP - 3, JUMP + 4) : pick(1, JUMP));
  }

  static void add(Round& round, const std::string& name, const std::string& value) {
    round.options.push_back(name);
    round.options.push_back(value);
  }

  static void close_at(Round& round, uint32_t k) {
    add(round, "--close-at", std::to_string(k));
    if (round.closed_at == 0 || k < round.closed_at) round.closed_at = k;
  }

  void add_fault(Round& round, bool allow_slow) {
    const uint32_t k = request();
    switch (pick(0, 8)) {
    case 0:
      add(round, "--refuse", std::to_string(k) + ":" + std::to_string(pick(1, 5)));
      break;
    case 1:
      add(round, "--device-error", std::to_string(k) + ":" + std::to_string(pick(1, 255)));
      break;
    case 2:
      add(round, "--bad-checksum", std::to_string(k));
      break;
    case 3:
      add(round, "--bad-command", std::to_string(k));
      break;
    case 4:
      add(round, "--no-etx", std::to_string(k));
      break;
    case 5:
      add(round, "--bad-length", std::to_string(k));
      break;
    case 6:
      add(round, "--double-ack", std::to_string(k));
      break;
    case 7:
      close_at(round, k);
      break;
    default: {
      // Silence before the jump costs the host its five-second wait: rarely.
      const uint32_t from =
          allow_slow && pick(0, 3) == 0 ? k : static_cast<uint32_t>(pick(JUMP, JUMP + 4));
      round.slow = round.slow || from < JUMP;
      add(round, "--silent-from", std::to_string(from));
      break;
    }
    }
  }

  std::mt19937 random_;
};

enum class Verdict { fail, succeed, either };

// What the host must report for what the controller did, as its report
// tells it request by request: success when every message was acknowledged
// without a device error, no message refused more than three times, nothing
// garbled, no acknowledgement twice before the last message, and the jump
// came last. After the jump (sent anew after a refusal, too) silence is no
// failure: the host cannot tell it from a controller that started the
// application at once. Two acknowledgements delivered byte by byte are not
// seen together, so the host may go on one acknowledgement ahead; then
// either verdict may come, but success must still be true.
Verdict expected_verdict(const nlohmann::json& frames, uint32_t closed_at, bool byte_at_a_time) {
  int refusals = 0;
  Verdict verdict = Verdict::succeed;
  for (size_t i = 0; i < frames.size(); ++i) {
    const nlohmann::json& f = frames[i];
    const std::string answer = f.at("answer");
    const bool last_is_jump = i + 1 == frames.size() && f.at("command") == "jump";
    if (answer == "nak") {
      if (++refusals > 3) return Verdict::fail;
      continue;
    }
    refusals = 0;
    if (answer == "none")
      return last_is_jump && f.at("index") != closed_at ? verdict : Verdict::fail;
    if (f.at("error") != 0) return Verdict::fail;
    if (answer == "ack twice" && !last_is_jump) {
      if (!byte_at_a_time) return Verdict::fail;
      verdict = Verdict::either;
    } else if (answer != "ack" && answer != "ack twice") {
      return Verdict::fail;
    }
  }
  return !frames.empty() && frames.back().at("command") == "jump" ? verdict : Verdict::fail;
}

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

TEST(RandomFaults, ExitZeroExactlyWhenTheControllerTookTheImageAndTheJump) {
  const char* seed_text = getenv("ORVA_RANDOM_SEED");
  const uint32_t seed =
      seed_text ? static_cast<uint32_t>(strtoul(seed_text, nullptr, 10)) : 20261208u;
  std::cout << "seed " << seed << " (ORVA_RANDOM_SEED)\n";
  FaultDraw draw(seed);
  const double start = monotonic_seconds();
  bool slow_left = true;
  int rounds = 0;
  int successes = 0;
  for (; rounds < MAX_ROUNDS && monotonic_seconds() - start < BUDGET_S; ++rounds) {
    const Round round = draw.next(slow_left);
    slow_left = slow_left && !round.slow;
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(rounds) + ": " +
                 joined(round.options));

    BootsimProcess sim;
    ASSERT_FALSE(sim.dir().empty());
    std::vector<std::string> args{"--image",         FIRMWARE_FILE,    "--report",
                                  sim.report_path(), "--idle-timeout", "60"};
    args.insert(args.end(), round.options.begin(), round.options.end());
    ASSERT_TRUE(sim.start(args, 10.0));
    ASSERT_FALSE(sim.path().empty()) << "orva-bootsim named no terminal";

    ChildProcess cli;
    ASSERT_TRUE(cli.start({ORVALOAD_CLI, "--port", sim.path()}, {"XDG_CONFIG_HOME=" + sim.dir()}));
    const int status = cli.finish(RUN_S);
    sim.signal(SIGTERM);
    sim.wait_exit(std::chrono::seconds(10));
    const nlohmann::json report = nlohmann::json::parse(sim.report(), nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << "no report";

    const nlohmann::json& frames = report.at("frames");
    const Verdict expected = expected_verdict(frames, round.closed_at, round.byte_at_a_time);
    const std::string tail = cli.out().substr(cli.out().size() > 400 ? cli.out().size() - 400 : 0);
    if (expected != Verdict::either) {
      EXPECT_EQ(status, expected == Verdict::succeed ? 0 : 1) << tail;
    } else {
      EXPECT_TRUE(status == 0 || status == 1) << status;
    }
    if (status == 0) {
      ++successes;
      EXPECT_TRUE(report.at("flash").at("image").at("matches").get<bool>()) << tail;
      EXPECT_TRUE(report.at("jump").at("received").get<bool>() ||
                  frames.back().at("answer") == "none");
    }
  }
  std::cout << rounds << " rounds, " << successes << " of them to succeed, in "
            << monotonic_seconds() - start << " s\n";
  EXPECT_GE(rounds, 8) << "too few rounds in the time budget to mean much";
}

} // namespace

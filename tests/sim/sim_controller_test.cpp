// The controller model: flash rules, the host's numbering as the simulator
// checks it, a whole clean run, and every key and value of the report of a
// short exchange.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim/sim_controller.h"
#include "sim_test_util.h"

namespace {

uint8_t error_of(const Bytes& ack) {
  return ack.size() == 9 ? ack[6] : 0xEE;
}

TEST(SimController, FlashTakesOnlyErasedBytesInsideItself) {
  SimConfig config;
  config.flash_size = 0x8000;
  SimController sim(config);
  HostFrames h;
  EXPECT_EQ(error_of(ask(sim, h.progress(1, 0))), SIM_DEVICE_OK);
  EXPECT_EQ(error_of(ask(sim, h.program(1, 0x4000, {1, 2}))), SIM_DEVICE_NOT_ERASED);
  EXPECT_EQ(error_of(ask(sim, h.erase(2, 0x4000, 0x4000))), SIM_DEVICE_OK);
  EXPECT_EQ(error_of(ask(sim, h.program(3, 0x4000, {1, 2}))), SIM_DEVICE_OK);
  EXPECT_EQ(error_of(ask(sim, h.program(4, 0x4001, {9}))), SIM_DEVICE_NOT_ERASED);
  EXPECT_EQ(error_of(ask(sim, h.program(5, 0x7FFF, {1, 2}))), SIM_DEVICE_OUT_OF_RANGE);
  EXPECT_EQ(error_of(ask(sim, h.erase(6, 0x8000, 0x4000))), SIM_DEVICE_OUT_OF_RANGE);
  EXPECT_EQ(error_of(ask(sim, h.erase(7, 0xFFFFF000, 0x2000))), SIM_DEVICE_OUT_OF_RANGE);
  EXPECT_EQ(error_of(ask(sim, h.erase(8, 0x4000, 0))), SIM_DEVICE_BAD_SIZE);
  EXPECT_EQ(error_of(ask(sim, h.jump(9, 0x8000))), SIM_DEVICE_OUT_OF_RANGE);
  EXPECT_FALSE(sim.report().jumped);
  EXPECT_EQ(sim.flash().bytes[0x4000], 1);
  EXPECT_EQ(sim.flash().bytes[0x4001], 2);
  EXPECT_EQ(sim.flash().bytes[0x4002], 0xFF);
  // A refused write changes nothing, not even its first bytes.
  EXPECT_EQ(sim.flash().bytes[0x7FFF], 0xFF);
  EXPECT_EQ(error_of(ask(sim, h.program(10, 0x7FFF, {0x42}))), SIM_DEVICE_OK);
  EXPECT_TRUE(sim.report().violations.empty());
}

TEST(SimController, NumberingOfARunWithRetransmissions) {
  // The first message carries any number; the counter restarts after it and
  // the queued message takes its number before its predecessor's retransmissions.
  SimConfig config;
  config.faults.push_back(SimFault{SimFaultKind::refuse, 2, 2, 0});
  SimController sim(config);
  HostFrames h;
  ask(sim, h.progress(9, 0));
  ask(sim, h.erase(1, 0x4000, 0x4000)); // refused; program queued as 2
  ask(sim, h.erase(3, 0x4000, 0x4000)); // refused
  ask(sim, h.erase(4, 0x4000, 0x4000));
  ask(sim, h.program(2, 0x4000, {1}));
  ask(sim, h.program(5, 0x4001, {2}));
  EXPECT_TRUE(sim.report().violations.empty()) << sim.report().violations[0];
  EXPECT_EQ(sim.report().runs, 1u);
}

TEST(SimController, NumberingFaultsAreReported) {
  SimConfig config;
  config.faults.push_back(SimFault{SimFaultKind::refuse, 3, 2, 0});
  SimController sim(config);
  HostFrames h;
  ask(sim, h.progress(1, 0));
  ask(sim, h.erase(2, 0x4000, 0x4000)); // the counter restarted: 1 was due
  ask(sim, h.erase(3, 0x8000, 0x4000)); // refused
  ask(sim, h.erase(3, 0x8000, 0x4000)); // repeated under the same number; refused
  ask(sim, h.progress(6, 1));           // not the refused request
  const auto& v = sim.report().violations;
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0], "request 2 carries sequence 2, expected 1");
  EXPECT_EQ(v[1], "request 4 repeats refused request 3 under the same sequence number 3");
  EXPECT_EQ(v[2], "request 4, a retransmission, carries sequence 3, expected 5");
  EXPECT_EQ(v[3], "request 5 follows the refusal of request 4 but does not repeat it");
}

TEST(SimController, AWholeCleanRunFitsTheDefaultFlashAndLeavesTheImage) {
  const uint32_t load = 0x4000;
  const uint32_t size = 180036;
  SimConfig config;
  config.load_address = load;
  for (uint32_t i = 0; i < size; ++i) {
    config.image.push_back(static_cast<uint8_t>(i * 7 + (i >> 8)));
  }
  SimController sim(config);
  HostFrames h;
  uint8_t seq = 0;
  int last_percent = -1;
  // The upgrader's run: progress whenever the whole percent changes.
  auto progress = [&](int per_mille) {
    if (per_mille / 10 != last_percent) {
      last_percent = per_mille / 10;
      ask(sim, h.progress(++seq, static_cast<uint8_t>(last_percent)));
      if (last_percent == 0) {
        seq = 0;
      }
    }
  };
  progress(0);
  const uint32_t end = load + size + 255;
  for (uint32_t address = load; address < end; address += 0x4000) {
    ASSERT_EQ(error_of(ask(sim, h.erase(++seq, address, 0x4000))), 0);
    progress(static_cast<int>(120u * (address + 0x4000) / end));
  }
  for (uint32_t offset = 0; offset < size; offset += 256) {
    const uint32_t n = std::min<uint32_t>(256, size - offset);
    const Bytes chunk(config.image.begin() + offset, config.image.begin() + offset + n);
    ASSERT_EQ(error_of(ask(sim, h.program(++seq, load + offset, chunk))), 0);
    progress(static_cast<int>(121u + 879u * (offset + 256) / size));
  }
  progress(1000);
  EXPECT_EQ(error_of(ask(sim, h.jump(++seq, load))), 0);

  const SimReport& r = sim.report();
  EXPECT_EQ(r.progress, 101u);
  EXPECT_EQ(r.erase, 12u);
  EXPECT_EQ(r.program, 704u);
  EXPECT_EQ(r.jump, 1u);
  ASSERT_EQ(r.percents.size(), 101u);
  for (size_t i = 0; i < r.percents.size(); ++i) {
    EXPECT_EQ(r.percents[i], i);
  }
  EXPECT_TRUE(r.violations.empty()) << r.violations[0];
  EXPECT_TRUE(r.jumped);
  EXPECT_EQ(r.jump_address, load);
  EXPECT_TRUE(sim.image_matches());
  EXPECT_EQ(sim.flash().bytes[load + size], 0xFF); // the erased tail stays blank
}

TEST(SimController, PacingAddsWireAndFlashTime) {
  SimConfig config;
  config.baud = 10000; // 1 ms per byte
  config.erase_ms = 40;
  config.program_ms = 3;
  SimController sim(config);
  HostFrames h;
  std::vector<SimAnswer> a;
  ask(sim, h.progress(1, 0), &a);
  EXPECT_EQ(a.at(0).delay_us, (8u + 9u) * 1000u);
  ask(sim, h.erase(1, 0x4000, 0x4000), &a);
  EXPECT_EQ(a.at(0).delay_us, (15u + 9u) * 1000u + 40000u);
  ask(sim, h.program(2, 0x4000, Bytes(256, 0)), &a);
  EXPECT_EQ(a.at(0).delay_us, (269u + 9u) * 1000u + 3000u);
}

TEST(SimController, ReportOfAShortCleanExchange) {
  SimConfig config;
  config.flash_size = 0x8000;
  config.image = {0x11, 0x22, 0x33, 0x44};
  SimController sim(config);
  HostFrames h;
  ask(sim, h.progress(1, 0));
  ask(sim, h.erase(1, 0x4000, 0x4000));
  ask(sim, h.program(2, 0x4000, {0x11, 0x22, 0x33, 0x44}));
  ask(sim, h.progress(3, 100));
  ask(sim, h.jump(4, 0x4000));
  // Same keys in the same order, same values.
  using Json = nlohmann::ordered_json;
  EXPECT_EQ(Json::parse(sim.report_json("jump")), Json::parse(R"({
  "end": "jump",
  "requests": 5,
  "runs": 1,
  "counts": {"progress": 2, "erase": 1, "program": 1, "jump": 1, "malformed": 0},
  "answers": {"ack": 5, "nak": 0, "none": 0, "garbled": 0, "device_errors": 0},
  "percent_values": [0, 100],
  "violations": [],
  "jump": {"received": true, "address": "0x00004000"},
  "flash": {"base": "0x00000000", "size": 32768, "image": {"load_address": "0x00004000", "size": 4, "matches": true, "differing_bytes": 0, "first_difference": null}},
  "frames": [
    {"index": 1, "sequence": 1, "command": "progress", "command_byte": "0x25", "length": 1, "payload_head": "00", "answer": "ack", "error": 0},
    {"index": 2, "sequence": 1, "command": "erase", "command_byte": "0x65", "length": 8, "payload_head": "0000400000004000", "answer": "ack", "error": 0},
    {"index": 3, "sequence": 2, "command": "program", "command_byte": "0x70", "length": 10, "payload_head": "0000400000041122", "answer": "ack", "error": 0},
    {"index": 4, "sequence": 3, "command": "progress", "command_byte": "0x25", "length": 1, "payload_head": "64", "answer": "ack", "error": 0},
    {"index": 5, "sequence": 4, "command": "jump", "command_byte": "0x6a", "length": 4, "payload_head": "00004000", "answer": "ack", "error": 0}
  ]
}
)"));
}

TEST(SimController, ReportEscapesAndFlagsTrouble) {
  SimConfig config;
  config.image = {0x11, 0x22};
  config.faults.push_back(SimFault{SimFaultKind::silent, 2, 1, 0});
  SimController sim(config);
  HostFrames h;
  ask(sim, h.progress(1, 0));
  ask(sim, h.erase(1, 0x4000, 0x4000));
  sim.feed(hex_bytes("02 07").data(), 2, nullptr);
  EXPECT_TRUE(sim.in_frame());
  sim.drop_partial_frame("the host closed the line");
  sim.note_violation("a\"b\\c\r\n\x01 \xff");
  const nlohmann::json json = nlohmann::json::parse(sim.report_json("signal"));
  EXPECT_EQ(json["frames"][1]["answer"], "none");
  EXPECT_EQ(json["violations"],
            nlohmann::json({"a frame was cut off after 2 bytes: the host closed the line",
                            "a\"b\\c\r\n\x01 \xef\xbf\xbd"}))
      << "a byte that is not UTF-8 becomes U+FFFD";
  EXPECT_EQ(json["flash"]["image"]["matches"], false);
  EXPECT_EQ(json["flash"]["image"]["differing_bytes"], 2);
  EXPECT_EQ(json["flash"]["image"]["first_difference"], "0x00004000");
  EXPECT_EQ(json["jump"], nlohmann::json({{"received", false}, {"address", nullptr}}));
}

} // namespace

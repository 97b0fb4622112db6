// The in-memory line and the program's command line.
#include <gtest/gtest.h>

#include "sim/bootsim_options.h"
#include "sim/sim_line.h"
#include "sim_test_util.h"

namespace {

TEST(SimLine, AnswersWaitForReadsAndHonourTheCapacity) {
  SimConfig config;
  config.faults.push_back(SimFault{SimFaultKind::bad_length, 1, 1, 0});
  config.baud = 115200;
  SimLine line(config);
  SerialPort* port = port_from_handle(line.handle());
  uint8_t buffer[256];
  size_t got = 99;
  ASSERT_TRUE(port->read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);

  const Bytes request = HostFrames().progress(1, 0);
  ASSERT_TRUE(port->write(request.data(), request.size()));
  EXPECT_EQ(line.unread(), 271u);
  ASSERT_TRUE(port->read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 256u);
  ASSERT_TRUE(port->read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 15u);
  EXPECT_EQ(buffer[14], SIM_ETX);
  EXPECT_EQ(line.total_delay_us(), (8u + 271u) * 10u * 1000000u / 115200u);
}

TEST(SimLine, ARequestSplitOverWritesIsAnsweredOnce) {
  SimLine line;
  const Bytes request = HostFrames().erase(2, 0x4000, 0x4000);
  ASSERT_TRUE(line.write(request.data(), 6));
  EXPECT_EQ(line.unread(), 0u);
  ASSERT_TRUE(line.write(request.data() + 6, request.size() - 6));
  EXPECT_EQ(line.unread(), 9u);
  line.close();
  uint8_t buffer[16];
  size_t got = 0;
  EXPECT_FALSE(line.read(buffer, sizeof buffer, &got));
  EXPECT_FALSE(line.write(request.data(), request.size()));
}

const char* const FULL[] = {"orva-bootsim",
                            "--image",
                            "fw.bin",
                            "--load-address=0x4000",
                            "--flash-size",
                            "0x80000",
                            "--baud",
                            "115200",
                            "--erase-ms",
                            "30",
                            "--program-ms=2",
                            "--refuse",
                            "3:4",
                            "--silent-from",
                            "700",
                            "--bad-checksum",
                            "5",
                            "--bad-command",
                            "6",
                            "--no-etx",
                            "7",
                            "--bad-length",
                            "8",
                            "--device-error",
                            "9:7",
                            "--close-at",
                            "10",
                            "--double-ack",
                            "11",
                            "--stray",
                            "5",
                            "--byte-at-a-time",
                            "--link-com",
                            "5",
                            "--wine-com",
                            "6",
                            "--report",
                            "r.json",
                            "--runs",
                            "2",
                            "--quiet-ms",
                            "100",
                            "--idle-timeout",
                            "30",
                            "--require-match",
                            "--path-file",
                            "p.txt",
                            "--turnaround",
                            "t.txt"};

TEST(BootsimOptions, EveryOptionLandsWhereItBelongs) {
  BootsimOptions o;
  std::string error;
  ASSERT_TRUE(bootsim_parse_args(static_cast<int>(std::size(FULL)), FULL, &o, &error)) << error;
  EXPECT_EQ(o.image_path, "fw.bin");
  EXPECT_EQ(o.sim.load_address, 0x4000u);
  EXPECT_EQ(o.sim.flash_size, 0x80000u);
  EXPECT_EQ(o.sim.baud, 115200u);
  EXPECT_EQ(o.sim.erase_ms, 30u);
  EXPECT_EQ(o.sim.program_ms, 2u);
  ASSERT_EQ(o.sim.faults.size(), 9u);
  EXPECT_EQ(o.sim.faults[0].kind, SimFaultKind::refuse);
  EXPECT_EQ(o.sim.faults[0].request, 3u);
  EXPECT_EQ(o.sim.faults[0].count, 4u);
  EXPECT_EQ(o.sim.faults[6].kind, SimFaultKind::device_error);
  EXPECT_EQ(o.sim.faults[6].code, 7);
  EXPECT_EQ(o.sim.faults[8].kind, SimFaultKind::double_ack);
  EXPECT_EQ(o.sim.stray_bytes, 5u);
  EXPECT_TRUE(o.sim.byte_at_a_time);
  EXPECT_EQ(o.link_com, 5);
  EXPECT_EQ(o.wine_com, 6);
  EXPECT_EQ(o.report_path, "r.json");
  EXPECT_EQ(o.path_file, "p.txt");
  EXPECT_EQ(o.turnaround_path, "t.txt");
  EXPECT_EQ(o.runs, 2u);
  EXPECT_EQ(o.quiet_ms, 100u);
  EXPECT_EQ(o.idle_timeout_s, 30u);
  EXPECT_TRUE(o.require_match);
  EXPECT_FALSE(o.help);
  // Every option is in the help text.
  const std::string help = bootsim_help();
  for (const char* arg : FULL) {
    std::string name = arg;
    if (name.rfind("--", 0) == 0) {
      EXPECT_NE(help.find(name.substr(0, name.find('='))), std::string::npos) << name;
    }
  }
}

TEST(BootsimOptions, BadUsageIsRefusedWithAReason) {
  const std::vector<std::vector<const char*>> bad = {{"--refuse", "3"},
                                                     {"--refuse", "0:2"},
                                                     {"--device-error", "4:0"},
                                                     {"--device-error", "4:256"},
                                                     {"--bad-checksum", "0"},
                                                     {"--link-com", "0"},
                                                     {"--baud", "-5"},
                                                     {"--baud", "fast"},
                                                     {"--flash-size", "0"},
                                                     {"--stray", "5000"},
                                                     {"--report"},
                                                     {"--turnaround", ""},
                                                     {"--frobnicate", "1"},
                                                     {"extra"},
                                                     {"--require-match"},
                                                     {"--help=yes"},
                                                     {"--load-address", "0x1ffffffff"},
                                                     {"--wine-com", "256"}};
  for (const auto& args : bad) {
    std::vector<const char*> argv = {"orva-bootsim"};
    argv.insert(argv.end(), args.begin(), args.end());
    BootsimOptions o;
    std::string error;
    EXPECT_FALSE(bootsim_parse_args(static_cast<int>(argv.size()), argv.data(), &o, &error))
        << args[0];
    EXPECT_FALSE(error.empty());
  }
  BootsimOptions o;
  std::string error;
  const char* help[] = {"orva-bootsim", "-h"};
  EXPECT_TRUE(bootsim_parse_args(2, help, &o, &error));
  EXPECT_TRUE(o.help);
}

TEST(BootsimOptions, LeftoversAreNamedALaterValueWinsFaultsAddUp) {
  const auto parse = [](std::vector<const char*> args, BootsimOptions* o) {
    args.insert(args.begin(), "orva-bootsim");
    std::string error;
    bootsim_parse_args(static_cast<int>(args.size()), args.data(), o, &error);
    return error;
  };
  BootsimOptions o;
  EXPECT_EQ(parse({"--runs", "2", "--frobnicate=1"}, &o), "unknown option --frobnicate");
  EXPECT_EQ(parse({"--runs", "2", "extra"}, &o), "unexpected argument 'extra'");
  EXPECT_EQ(parse({"--baud", "-5"}, &o), "--baud needs a number: '-5'");
  EXPECT_EQ(parse({"--flash-size", "010"}, &o), "") << "no octal";
  EXPECT_EQ(o.sim.flash_size, 10u);
  BootsimOptions later;
  EXPECT_EQ(parse({"--baud", "9600", "--runs", "3", "--baud=115200", "--runs", "4"}, &later), "");
  EXPECT_EQ(later.sim.baud, 115200u);
  EXPECT_EQ(later.runs, 4u);
  // A fault option given again adds a fault, in command-line order.
  BootsimOptions faults;
  EXPECT_EQ(parse({"--refuse", "3:1", "--bad-checksum", "4", "--refuse=9:2"}, &faults), "");
  ASSERT_EQ(faults.sim.faults.size(), 3u);
  EXPECT_EQ(faults.sim.faults[1].kind, SimFaultKind::bad_checksum);
  EXPECT_EQ(faults.sim.faults[2].request, 9u);
  EXPECT_EQ(faults.sim.faults[2].count, 2u);
}

} // namespace

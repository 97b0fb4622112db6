// orvaload-cli as a script sees it: a whole process against orva-bootsim on
// a pseudo-terminal, judged by its output and exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/runs/run_record.h"
#include "tests/support/bootsim_process.h"
#include "tests/support/child_process.h"
#include "upgrade/firmware.h"

namespace {

constexpr double SIM_START_S = 10.0;
constexpr double RUN_S = 60.0;

// The simulator's private folder holds the port links and the report, and
// serves as every program's configuration folder, so tests run side by side.
class CliProcess : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(sim_.dir().empty());
    env_ = {"XDG_CONFIG_HOME=" + sim_.dir()};
  }
  void TearDown() override { EXPECT_TRUE(sim_.clean_up()); }

  // Starts the simulator linked as COM7; returns its device path.
  std::string start_sim(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--image",          ORVA_FIRMWARE_FILE, "--report",
                                  sim_.report_path(), "--link-com",       "7"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_TRUE(sim_.start(args, SIM_START_S));
    EXPECT_FALSE(sim_.path().empty()) << "orva-bootsim named no terminal";
    // The link appears with the path; give the simulator a moment if not.
    std::string link = sim_.link_path(7);
    for (int i = 0; i < 200 && access(link.c_str(), F_OK) != 0; ++i) usleep(10000);
    return sim_.path();
  }

  int run_cli(ChildProcess& cli, std::vector<std::string> args, double timeout_s = RUN_S) {
    args.insert(args.begin(), ORVALOAD_CLI);
    EXPECT_TRUE(cli.start(args, env_));
    return cli.finish(timeout_s);
  }

  std::string report() {
    sim_.signal(SIGTERM);
    sim_.wait_exit(std::chrono::seconds(10));
    return sim_.report();
  }

  std::vector<std::string> env_;
  BootsimProcess sim_;
};

// Every text a clean run of the built-in image shows, in order.
std::string clean_run_output() {
  const FirmwareImage& image = firmware_image();
  std::string out;
  char line[128];
  uint32_t end = image.load_address + image.size + 255;
  for (uint32_t address = image.load_address; address < end; address += 16384) {
    std::snprintf(line, sizeof line, "Erase address %08xh %d bytes\n", address, 16384);
    out += line;
  }
  for (uint32_t offset = 0; offset < image.size; offset += 256) {
    uint32_t n = image.size - offset < 256 ? image.size - offset : 256;
    std::snprintf(line, sizeof line, "Program address %08xh %u bytes\n",
                  image.load_address + offset, n);
    out += line;
  }
  return out + "Program success, starting application...\n";
}

std::string last_line(const std::string& text) {
  if (text.empty()) return "";
  size_t end = text.size() - (text.back() == '\n' ? 1 : 0);
  size_t start = text.rfind('\n', end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1));
}

} // namespace

TEST_F(CliProcess, CleanRunPrintsEveryTextAndExitsZero) {
  start_sim();
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--port", "COM7"}), 0) << cli.err();
  EXPECT_EQ(cli.out(), clean_run_output());
  EXPECT_EQ(cli.err(), "") << "standard error is no terminal here";
  std::string json = report();
  EXPECT_NE(json.find("\"matches\": true"), std::string::npos) << json.substr(0, 600);
}

TEST_F(CliProcess, ProgressLineGoesToATerminalOnStandardError) {
  int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  std::string device = ptsname(terminal);
  std::string screen;
  std::atomic<bool> stop{false};
  // The terminal is drained all along, as a real one would be, and once more
  // after the program has ended: its last line may still be on its way.
  std::thread reader([&] {
    char buffer[4096];
    for (;;) {
      const bool last = stop;
      pollfd fd{terminal, POLLIN, 0};
      if (poll(&fd, 1, last ? 100 : 50) <= 0) {
        if (last) break;
        continue;
      }
      ssize_t got = read(terminal, buffer, sizeof buffer);
      if (got <= 0) break;
      screen.append(buffer, static_cast<size_t>(got));
    }
  });

  start_sim();
  ChildProcess cli;
  ASSERT_TRUE(cli.start({ORVALOAD_CLI, "--port", "COM7"}, env_, device));
  EXPECT_EQ(cli.finish(RUN_S), 0);
  stop = true;
  reader.join();
  close(terminal);

  EXPECT_EQ(cli.out(), clean_run_output())
      << "standard output is the same with a terminal beside it";
  EXPECT_NE(screen.find("\r[##"), std::string::npos) << "the line redraws itself in place";
  EXPECT_NE(screen.find("] 100.0% 180036/180036 bytes"), std::string::npos)
      << screen.substr(0, 400);
  EXPECT_EQ(screen.find("Program address"), std::string::npos) << "texts stay on standard output";
}

TEST_F(CliProcess, DeviceErrorEndsTheRunWithItsTextAndStatusOne) {
  std::string path = start_sim({"--device-error", "20:7"});
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--port", path}), 1);
  EXPECT_NE(cli.out().find("\nORVA had an internal error(7)!\nMessage id "), std::string::npos)
      << cli.out();
  EXPECT_EQ(cli.out().find("Program success"), std::string::npos);
  EXPECT_EQ(cli.out().find("Program address"), std::string::npos) << "erasing failed";
  EXPECT_EQ(cli.err(), "");
}

TEST_F(CliProcess, SilentControllerTimesOut) {
  start_sim({"--silent-from", "40"});
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--port", "COM7"}), 1);
  EXPECT_EQ(last_line(cli.out()), "serial port timeout during transmission, error!");
}

TEST_F(CliProcess, InterruptCancelsLikeTheDialog) {
  // Paced like the real line, so the run is still going when the signal comes.
  start_sim({"--baud", "115200"});
  ChildProcess cli;
  ASSERT_TRUE(cli.start({ORVALOAD_CLI, "--port", "COM7"}, env_));
  ASSERT_TRUE(cli.wait_for_output("Program address 00008000h", RUN_S)) << cli.out() << cli.err();
  cli.send_signal(SIGINT);
  EXPECT_EQ(cli.finish(RUN_S), 1);
  EXPECT_EQ(last_line(cli.out()), "user canceled transmission, upgrade not complete!");
  EXPECT_EQ(cli.err(), "");
  std::string json = report();
  EXPECT_NE(json.find("\"received\": false"), std::string::npos) << "no jump after a cancel";
}

TEST_F(CliProcess, ListShowsALinkedPort) {
  std::string path = start_sim();
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--list"}), 0);
  EXPECT_NE(cli.out().find("COM7\t" + path + "\t\n"), std::string::npos) << cli.out();
}

TEST_F(CliProcess, MissingPortExitsThreeWithAHint) {
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--port", "/dev/orva-no-such-port"}), 3);
  EXPECT_EQ(cli.out(), "");
  EXPECT_EQ(cli.err().rfind("serial port open failed!\n", 0), 0u) << cli.err();
  EXPECT_NE(cli.err().find("/dev/orva-no-such-port"), std::string::npos) << cli.err();
}

// A port another process holds: the hint names that process.
TEST_F(CliProcess, BusyPortNamesTheProcessHoldingIt) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
    prctl(PR_SET_NAME, "orva-holder");
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the holder did not take the port";
  close(ready[0]);

  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--port", slave}), 3);
  EXPECT_EQ(cli.err(), "serial port open failed!\n" + slave +
                           " is busy, held by orva-holder (pid " + std::to_string(holder) + ")\n");
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  close(master);
}

// Two USB adapters faked through umockdev: a CP2102 and an FT232R.
class CliUsbAdapters : public CliProcess {
protected:
  int run_with_adapters(ChildProcess& cli, std::vector<std::string> args,
                        const std::string& testbed = ORVA_USB_ADAPTERS) {
    args.insert(args.begin(), {UMOCKDEV_RUN, "-d", testbed, "--", ORVALOAD_CLI});
    std::vector<std::string> env = env_;
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
    EXPECT_TRUE(cli.start(args, env));
    return cli.finish(RUN_S);
  }
};

TEST_F(CliUsbAdapters, ListShowsIdsAndSerialsAndUsbSerialPicksTheAdapter) {
  ChildProcess list;
  EXPECT_EQ(run_with_adapters(list, {"--list"}), 0);
  EXPECT_EQ(list.out(),
            "COM33\t/dev/ttyUSB0\t10c4:ea60 Silicon Labs CP2102 USB to UART Bridge Controller "
            "serial=0001 usb-port=1-1\n"
            "COM34\t/dev/ttyUSB1\t0403:6001 FTDI FT232R USB UART serial=A50285BI usb-port=1-2\n");

  // The fake adapters open as no real tty, so the open fails; the hint
  // shows which device was chosen, by serial number or by socket.
  for (const auto& pick : {std::pair<std::string, std::string>{"usb:0001", "COM33 is /dev/ttyUSB0"},
                           {"usb:A50285BI", "COM34 is /dev/ttyUSB1"},
                           {"usb-port:1-2", "COM34 is /dev/ttyUSB1"}}) {
    ChildProcess cli;
    EXPECT_EQ(run_with_adapters(cli, {"--port", pick.first}), 3);
    EXPECT_NE(cli.err().find("\n" + pick.second + ", which"), std::string::npos) << cli.err();
  }

  ChildProcess unknown;
  EXPECT_EQ(run_with_adapters(unknown, {"--port", "usb:0002"}), 3);
  EXPECT_EQ(unknown.err(),
            "no port has USB serial number '0002'; USB adapters here: COM33 (/dev/ttyUSB0, "
            "serial=0001), COM34 (/dev/ttyUSB1, serial=A50285BI)\n");
  ChildProcess empty_socket;
  EXPECT_EQ(run_with_adapters(empty_socket, {"--port", "usb-port:1-3"}), 3);
  EXPECT_EQ(empty_socket.err(),
            "no port is plugged into USB port '1-3'; USB adapters here: COM33 (/dev/ttyUSB0, "
            "usb-port=1-1), COM34 (/dev/ttyUSB1, usb-port=1-2)\n");
}

TEST_F(CliUsbAdapters, TwoAdaptersWithOneSerialNumberAreNamedNotGuessed) {
  std::ifstream in(ORVA_USB_ADAPTERS);
  std::string testbed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t at = testbed.find("serial=A50285BI");
  ASSERT_NE(at, std::string::npos);
  testbed.replace(at, std::string("serial=A50285BI").size(), "serial=0001");
  const std::string path = sim_.dir() + "/twins.umockdev";
  std::ofstream(path) << testbed;

  ChildProcess cli;
  EXPECT_EQ(run_with_adapters(cli, {"--port", "usb:0001"}, path), 3);
  EXPECT_EQ(cli.err(),
            "2 ports have USB serial number '0001': COM33 (/dev/ttyUSB0), COM34 (/dev/ttyUSB1); "
            "give one of them with --port COMn\n");
}

TEST_F(CliProcess, UsageAndVersion) {
  ChildProcess bad;
  EXPECT_EQ(run_cli(bad, {"--port"}), 2);
  EXPECT_NE(bad.err(), "");
  ChildProcess none;
  EXPECT_EQ(run_cli(none, {}), 2);
  ChildProcess version;
  EXPECT_EQ(run_cli(version, {"--version"}), 0);
  EXPECT_EQ(version.out(), "2.00\n");
}

// Firmware files: the same random 100 KiB image as a raw binary, as Intel HEX
// and as S-records (both made by objcopy) must each leave exactly that image
// in the controller's flash; a bad file is refused before a single frame.
namespace {

struct ImageFile {
  const char* name;
  const char* objcopy_format; // null: the raw binary itself
  std::vector<std::string> extra;
};

class CliImageFile : public CliProcess, public ::testing::WithParamInterface<ImageFile> {
protected:
  std::string raw_path() { return sim_.dir() + "/random.bin"; }

  // The raw image at 0x4000, and the file of the format asked for.
  std::string make_files(const ImageFile& file) {
    std::mt19937 random(20261208);
    std::string bytes(100 * 1024, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::ofstream(raw_path(), std::ios::binary) << bytes;
    if (file.objcopy_format == nullptr) return raw_path();
    const std::string path = sim_.dir() + "/" + file.name;
    ChildProcess objcopy;
    EXPECT_TRUE(objcopy.start({ORVA_OBJCOPY, "-I", "binary", "-O", file.objcopy_format,
                               "--change-addresses", "0x4000", raw_path(), path}));
    EXPECT_EQ(objcopy.finish(20), 0) << objcopy.err();
    return path;
  }
};

TEST_P(CliImageFile, UpgradesTheControllerWithExactlyThatImage) {
  if (std::string(ORVA_OBJCOPY).empty()) GTEST_SKIP() << "objcopy was not found at configure time";
  const ImageFile& file = GetParam();
  const std::string path = make_files(file);
  EXPECT_TRUE(sim_.start({"--image", raw_path(), "--load-address", "0x4000", "--report",
                          sim_.report_path(), "--link-com", "7"},
                         SIM_START_S));
  std::vector<std::string> args{"--image", path, "--port", sim_.path()};
  args.insert(args.end(), file.extra.begin(), file.extra.end());
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, args), 0) << cli.err();
  EXPECT_EQ(cli.out().rfind("Erase address 00004000h 16384 bytes\n", 0), 0u)
      << "no gap line: the image is whole";
  EXPECT_EQ(last_line(cli.out()), "Program success, starting application...");
  EXPECT_NE(cli.out().find("Program address 0001cf00h 256 bytes\n"), std::string::npos);
  const std::string json = report();
  EXPECT_NE(json.find("\"matches\": true"), std::string::npos) << json.substr(0, 600);
}

INSTANTIATE_TEST_SUITE_P(Formats, CliImageFile,
                         ::testing::Values(ImageFile{"raw", nullptr, {"--address", "0x4000"}},
                                           ImageFile{"ihex", "ihex", {}},
                                           ImageFile{"srec", "srec", {}}),
                         [](const ::testing::TestParamInfo<ImageFile>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(CliProcess, BadFirmwareFilesAreRefusedBeforeAnyFrame) {
  start_sim();
  const struct {
    const char* name;
    const char* text;
    const char* reason;
  } files[] = {
      {"checksum.hex", ":0440000001020304B3\n:00000001FF\n",
       "line 1: checksum error (record says 0xB3, its bytes give 0xB2)"},
      {"type.hex", ":0440000001020304B2\n:0000000AF6\n:00000001FF\n",
       "line 2: record type 0x0A is not taken"},
      {"overlap.srec", "S10740000102030AA8\nS1054002FF0BAE\nS9030000FC\n",
       "line 2: data for 0x00004002 differs from an earlier record for that address"},
      {"low.srec", "S1053FFF0102B9\nS9030000FC\n",
       "the image starts at 0x00003FFF, below 0x00004000 where the boot loader lives"},
  };
  for (const auto& f : files) {
    const std::string path = sim_.dir() + "/" + f.name;
    std::ofstream(path, std::ios::binary) << f.text;
    ChildProcess cli;
    EXPECT_EQ(run_cli(cli, {"--image", path, "--port", "COM7"}), 2) << f.name;
    EXPECT_EQ(cli.err(), "orvaload-cli: " + path + ": " + f.reason + "\n");
    EXPECT_EQ(cli.out(), "");
  }
  const std::string json = report();
  EXPECT_NE(json.find("\"requests\": 0,"), std::string::npos) << json.substr(0, 600);
}

// A named pipe would block the open for ever, and a device or a huge sparse
// file would be read up to the limit first: each is refused at once.
TEST_F(CliProcess, AnythingButARegularFileOfSensibleSizeIsRefusedBeforeItIsRead) {
  start_sim();
  const std::string fifo = sim_.dir() + "/pipe.hex";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string sparse = sim_.dir() + "/sparse.bin";
  std::ofstream(sparse, std::ios::binary).close();
  std::filesystem::resize_file(sparse, uint64_t{4} << 30);
  const std::string not_regular = "cannot read the file: it is not a regular file";
  const std::string too_large = "the file is larger than 64 MiB, too large for an image";
  for (const auto& [path, reason] :
       {std::pair{fifo, not_regular}, std::pair{std::string("/dev/zero"), not_regular},
        std::pair{sparse, too_large}}) {
    ChildProcess cli;
    EXPECT_EQ(run_cli(cli, {"--image", path, "--port", "COM7"}, 10), 2) << path;
    EXPECT_EQ(cli.err(), "orvaload-cli: " + path + ": " + reason + "\n");
    EXPECT_EQ(cli.out(), "");
  }
  const std::string json = report();
  EXPECT_NE(json.find("\"requests\": 0,"), std::string::npos) << json.substr(0, 600);
}

// With --release-key a file goes only with its signature beside it, made
// as a release engineer makes it with openssl; anything else is one line,
// exit 2, and nothing is sent.
TEST_F(CliProcess, AReleaseKeyTakesOnlyAFileItSigned) {
  start_sim();
  const std::string dir = sim_.dir() + "/";
  const auto openssl = [](std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/openssl");
    ChildProcess run;
    EXPECT_TRUE(run.start(args));
    EXPECT_EQ(run.finish(30), 0) << run.err();
  };
  for (const char* who : {"ours", "theirs"}) {
    openssl({"genpkey", "-algorithm", "ed25519", "-out", dir + who + ".key"});
    openssl({"pkey", "-in", dir + who + ".key", "-pubout", "-out", dir + who + ".pem"});
  }
  const auto copy = [&dir](const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, dir + to, std::filesystem::copy_options::overwrite_existing);
  };
  const auto sign = [&](const std::string& file, const std::string& who) {
    openssl({"pkeyutl", "-sign", "-rawin", "-inkey", dir + who + ".key", "-in", dir + file, "-out",
             dir + file + ".sig"});
  };
  copy(ORVA_FIRMWARE_FILE, "signed.bin");
  sign("signed.bin", "ours");
  copy(ORVA_FIRMWARE_FILE, "unsigned.bin");
  copy(ORVA_FIRMWARE_FILE, "theirs.bin");
  sign("theirs.bin", "theirs");
  {
    std::fstream changed(dir + "changed.bin", std::ios::binary | std::ios::out);
    changed << std::ifstream(ORVA_FIRMWARE_FILE, std::ios::binary).rdbuf();
    changed.seekp(1000);
    changed.put('\x5a');
  }
  copy(dir + "signed.bin.sig", "changed.bin.sig");
  std::ofstream(dir + "short.bin", std::ios::binary) << "abc";
  std::ofstream(dir + "short.bin.sig", std::ios::binary) << "0123456789";

  ChildProcess fingerprint;
  ASSERT_TRUE(fingerprint.start({"/bin/sh", "-c",
                                 "/usr/bin/openssl pkey -pubin -in '" + dir +
                                     "ours.pem' -outform DER | tail -c 32 | sha256sum"}));
  ASSERT_EQ(fingerprint.finish(30), 0);
  const std::string key_id = fingerprint.out().substr(0, 16);
  const std::string not_ours = "its signature does not verify with the release key " + key_id;
  for (const auto& [file, reason] :
       {std::pair<std::string, std::string>{"unsigned.bin", "no signature " + dir +
                                                                "unsigned.bin.sig beside it (with "
                                                                "--release-key every image is "
                                                                "signed)"},
        {"theirs.bin", not_ours},
        {"changed.bin", not_ours},
        {"short.bin", "its signature " + dir +
                          "short.bin.sig is not the 64 bytes of an Ed25519 "
                          "signature"}}) {
    ChildProcess cli;
    EXPECT_EQ(run_cli(cli, {"--release-key", dir + "ours.pem", "--image", dir + file, "--port",
                            sim_.path()}),
              2)
        << file;
    EXPECT_EQ(cli.err(), "orvaload-cli: " + dir + file + ": " + reason + "\n");
    EXPECT_EQ(cli.out(), "");
  }
  ChildProcess no_key;
  EXPECT_EQ(run_cli(no_key, {"--release-key", dir + "ours.key", "--port", sim_.path()}), 2);
  EXPECT_EQ(no_key.err(), "orvaload-cli: --release-key " + dir +
                              "ours.key: holds no public key in PEM (make one with: openssl pkey "
                              "-in KEY -pubout)\n");
  const std::string json = report();
  EXPECT_NE(json.find("\"requests\": 0,"), std::string::npos) << json.substr(0, 600);

  ChildProcess info;
  EXPECT_EQ(run_cli(info,
                    {"--release-key", dir + "ours.pem", "--image", dir + "signed.bin", "--info"}),
            0)
      << info.err();
  EXPECT_NE(info.out().find("sha256: "), std::string::npos) << info.out();
}

TEST_F(CliProcess, InfoDescribesTheImageWithoutAPort) {
  ChildProcess builtin;
  EXPECT_EQ(run_cli(builtin, {"--info"}), 0);
  EXPECT_EQ(builtin.out().rfind(
                "image: built-in\nspan: 0x00004000-0x0002FF43\nsize: 180036 bytes\nsha256: ", 0),
            0u)
      << builtin.out();
  const std::string path = sim_.dir() + "/gap.srec";
  std::ofstream(path, std::ios::binary) << "S1054000AABB55\nS10540100102A7\nS9030000FC\n";
  ChildProcess file;
  EXPECT_EQ(run_cli(file, {"--image", path, "--info"}), 0);
  EXPECT_EQ(file.out(), "image: " + path +
                            " (S-record)\nspan: 0x00004000-0x00004011\nsize: 18 bytes\nsha256: "
                            "21beac94be9ed29bf4eadcdc099a83adde8e396567d1c983b27edd7d11ef3e14\n"
                            "gap of 14 bytes at 0x00004002 filled with 0xFF\n");
}

} // namespace

namespace {

// Three simulated controllers, each in a process of its own; the third
// reports a device error while erasing.
class CliSeveralPorts : public ::testing::Test {
protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i) {
      std::vector<std::string> args{"--image", ORVA_FIRMWARE_FILE, "--report",
                                    sims_[i].report_path()};
      if (i == 2) args.insert(args.end(), {"--device-error", "20:7"});
      ASSERT_TRUE(sims_[i].start(args, SIM_START_S));
      ASSERT_FALSE(sims_[i].path().empty()) << "orva-bootsim named no terminal";
    }
    record_ = sims_[0].dir() + "/station.jsonl";
  }

  int run_cli(ChildProcess& cli, std::vector<std::string> extra) {
    std::vector<std::string> args{ORVALOAD_CLI};
    for (BootsimProcess& sim : sims_) args.insert(args.end(), {"--port", sim.path()});
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_TRUE(cli.start(args, {"XDG_CONFIG_HOME=" + sims_[0].dir()}));
    return cli.finish(RUN_S);
  }

  // Whether each controller's flash holds the image, once they have ended.
  std::vector<bool> flash_matches() {
    std::vector<bool> matches;
    for (BootsimProcess& sim : sims_) {
      sim.signal(SIGTERM);
      sim.wait_exit(std::chrono::seconds(10));
      matches.push_back(sim.report().find("\"matches\": true") != std::string::npos);
    }
    return matches;
  }

  std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    return lines;
  }

  std::string read_record() {
    std::ifstream file(record_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  BootsimProcess sims_[3];
  std::string record_;
};

} // namespace

TEST_F(CliSeveralPorts, TwoSucceedTheFaultyOneFailsAndTheSummarySaysWhich) {
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--log", record_}), 1) << cli.err();
  const std::string faulty = sims_[2].path();
  // Each port's texts, in order, behind its name.
  for (int i = 0; i < 2; ++i) {
    std::string mine;
    for (const std::string& line : lines_of(cli.out())) {
      if (line.rfind(sims_[i].path() + ": ", 0) == 0)
        mine += line.substr(sims_[i].path().size() + 2) + "\n";
    }
    EXPECT_EQ(mine, clean_run_output()) << sims_[i].path();
  }
  EXPECT_NE(cli.out().find(faulty + ": ORVA had an internal error(7)!\n" + faulty +
                           ": Message id "),
            std::string::npos)
      << cli.out();
  const size_t summary = cli.out().find("\nPort ");
  ASSERT_NE(summary, std::string::npos) << cli.out();
  const std::vector<std::string> table = lines_of(cli.out().substr(summary + 1));
  ASSERT_EQ(table.size(), 4u) << cli.out().substr(summary);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(table[i + 1].rfind(sims_[i].path(), 0), 0u) << table[i + 1];
    EXPECT_NE(table[i + 1].find(i < 2 ? "  ok  " : "  failed  "), std::string::npos)
        << table[i + 1];
  }
  EXPECT_NE(table[3].find("ORVA had an internal error(7)! Message id"), std::string::npos);
  EXPECT_EQ(cli.err(), "");
  EXPECT_EQ(flash_matches(), (std::vector<bool>{true, true, false}));

  // The station's record: one line per port, whatever became of it.
  const std::vector<std::string> records = lines_of(read_record());
  ASSERT_EQ(records.size(), 3u);
  std::map<std::string, std::string> results;
  for (const std::string& record : records) {
    const nlohmann::json line = nlohmann::json::parse(record);
    results[line.at("port")] = line.at("result");
    EXPECT_EQ(line.at("image_sha256").get<std::string>().size(), 64u);
    EXPECT_TRUE(line.at("usb_serial").is_null()) << "a pseudo-terminal is on no USB";
  }
  EXPECT_EQ(results[sims_[0].path()], "ok");
  EXPECT_EQ(results[sims_[1].path()], "ok");
  EXPECT_EQ(results[faulty], "failed");
}

TEST_F(CliSeveralPorts, JsonEventsParseLineByLineWithOneEndPerPort) {
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--json", "--port", "/dev/orva-no-such-port"}), 3)
      << "a port that cannot be opened wins over a failed run";
  std::map<std::string, nlohmann::json> ends;
  std::map<std::string, int> progress;
  for (const std::string& line : lines_of(cli.out())) {
    const nlohmann::json event = nlohmann::json::parse(line); // throws on anything but one object
    if (event.at("event") == "progress") ++progress[event.at("port")];
    if (event.at("event") != "end") continue;
    EXPECT_EQ(ends.count(event.at("port")), 0u) << line;
    ends[event.at("port")] = event;
  }
  ASSERT_EQ(ends.size(), 4u) << cli.out().substr(0, 400);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(ends[sims_[i].path()].at("result"), "ok");
    EXPECT_EQ(ends[sims_[i].path()].at("frames_sent"), 818);
    EXPECT_EQ(progress[sims_[i].path()], 101);
  }
  EXPECT_EQ(ends[sims_[2].path()].at("result"), "failed");
  EXPECT_EQ(ends["/dev/orva-no-such-port"].at("result"), "not-opened");
  EXPECT_EQ(ends["/dev/orva-no-such-port"].at("exit_code"), 3);
  EXPECT_EQ(flash_matches(), (std::vector<bool>{true, true, false}));
}

TEST(RecordFile, ProcessesAppendingAtOnceNeverMixTheirLines) {
  char folder[] = "/tmp/orva-record-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/station.jsonl";
  constexpr int WRITERS = 4;
  constexpr int LINES = 200;
  std::vector<pid_t> writers;
  for (int w = 0; w < WRITERS; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Long lines, so a write that was not kept whole would show.
      const std::string line = "{\"writer\":" + std::to_string(w) + ",\"pad\":\"" +
                               std::string(3000, static_cast<char>('a' + w)) + "\"}\n";
      bool ok = true;
      for (int i = 0; i < LINES; ++i) ok = run_record_append(path, line).ok() && ok;
      _exit(ok ? 0 : 1);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::ifstream file(path);
  std::string line;
  std::map<int, int> count;
  while (std::getline(file, line)) {
    const nlohmann::json record = nlohmann::json::parse(line);
    const int w = record.at("writer");
    EXPECT_EQ(record.at("pad"), std::string(3000, static_cast<char>('a' + w)));
    ++count[w];
  }
  for (int w = 0; w < WRITERS; ++w) EXPECT_EQ(count[w], LINES) << w;
  std::filesystem::remove_all(folder);
}

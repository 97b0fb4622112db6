// Speed of a whole upgrade: orvaload-cli against orva-bootsim over a
// pseudo-terminal, unpaced (host overhead per exchange) and paced like a
// 115200-baud line (how close the run comes to the wire time, and how much
// CPU the upgrader burns while it waits for the controller).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"

namespace {

constexpr double kBaud = 115200.0;
constexpr double kBitsPerByte = 10.0; // start, 8 data, stop
constexpr int kAnswerBytes = 9;       // acknowledgement: 7 bytes of frame, id and error code
constexpr int kFrameOverhead = 7;
constexpr double kRunTimeoutS = 120.0;

struct Options {
  std::string cli, sim, image, work_dir = "/tmp";
  int runs = 3;
};

struct RunResult {
  bool ok = false;
  double wall_s = 0;
  double cpu_s = 0;
  double wire_s = 0; // the wire-time model of the frames the controller saw
  int requests = 0;
};

// The lengths of the request frames in the simulator's report; empty when
// the report cannot be read.
std::vector<long> frame_lengths(const std::string& json) {
  std::vector<long> lengths;
  const nlohmann::json report = nlohmann::json::parse(json, nullptr, false);
  if (report.is_discarded() || !report.contains("frames") || !report.at("frames").is_array()) {
    return lengths;
  }
  for (const nlohmann::json& frame : report.at("frames")) {
    lengths.push_back(frame.value("length", 0L));
  }
  return lengths;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The device path the simulator prints once its pseudo-terminal is open.
std::string device_path(const std::string& out) {
  size_t at = out.find("/dev/");
  if (at == std::string::npos) return "";
  size_t end = out.find_first_of(" \t\r\n", at);
  return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

RunResult one_run(const Options& o, bool paced, int index) {
  RunResult r;
  std::string report = o.work_dir + "/orva-bench-" + std::to_string(getpid()) + "-" +
                       std::to_string(index) + ".json";
  std::vector<std::string> sim_args{o.sim, "--image", o.image, "--report", report};
  if (paced) {
    sim_args.insert(sim_args.end(), {"--baud", "115200", "--erase-ms", "0", "--program-ms", "0"});
  }
  ChildProcess sim;
  if (!sim.start(sim_args) || !sim.wait_for_output("/dev/", 10.0)) {
    std::fprintf(stderr, "bench: orva-bootsim did not start: %s\n", sim.err().c_str());
    return r;
  }
  // The path is complete once its line has ended.
  sim.wait_for_output("\n", 2.0);
  std::string port = device_path(sim.out());

  ChildProcess cli;
  double start = monotonic_seconds();
  if (!cli.start({o.cli, "--port", port})) return r;
  int status = cli.finish(kRunTimeoutS);
  r.wall_s = monotonic_seconds() - start;
  const struct rusage& u = cli.usage();
  r.cpu_s = u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;

  sim.send_signal(SIGTERM);
  sim.finish(10.0);
  std::string json = read_file(report);
  std::remove(report.c_str());
  if (status != 0) {
    std::fprintf(stderr, "bench: orvaload-cli exited %d\n%s%s\n", status, cli.out().c_str(),
                 cli.err().c_str());
    return r;
  }
  std::vector<long> lengths = frame_lengths(json);
  r.requests = static_cast<int>(lengths.size());
  long bytes = 0;
  for (long length : lengths) bytes += length + kFrameOverhead + kAnswerBytes;
  r.wire_s = bytes * kBitsPerByte / kBaud;
  r.ok = r.requests > 0;
  if (!r.ok) std::fprintf(stderr, "bench: no frames in the simulator's report %s\n", report.c_str());
  return r;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

bool run_mode(const Options& o, bool paced) {
  std::vector<double> wall, cpu, wire, per_exchange;
  int requests = 0;
  for (int i = 0; i < o.runs; ++i) {
    RunResult r = one_run(o, paced, i);
    if (!r.ok) return false;
    wall.push_back(r.wall_s);
    cpu.push_back(r.cpu_s / r.wall_s);
    wire.push_back(r.wire_s);
    per_exchange.push_back(r.wall_s / r.requests);
    requests = r.requests;
    std::printf("  run %d: wall %.3f s, cpu %.3f s, %d exchanges\n", i + 1, r.wall_s, r.cpu_s,
                r.requests);
  }
  double w = median(wall);
  if (!paced) {
    double ms = median(per_exchange) * 1000;
    std::printf("unpaced: median of %d runs: wall %.3f s, %.3f ms per exchange (%d exchanges); "
                "goal <= 1.5 ms: %s\n",
                o.runs, w, ms, requests, verdict(ms <= 1.5));
  } else {
    double model = median(wire);
    double ratio = w / model;
    double share = median(cpu) * 100;
    std::printf("paced 115200 baud, no flash time: median of %d runs: wall %.3f s, wire model "
                "%.3f s, ratio %.3f (goal <= 1.05: %s), upgrader CPU %.1f%% of wall (goal <= 10%%: "
                "%s)\n",
                o.runs, w, model, ratio, verdict(ratio <= 1.05), share, verdict(share <= 10.0));
  }
  std::fflush(stdout);
  return true;
}

int usage() {
  std::fprintf(stderr, "usage: orva-bench --cli PATH --sim PATH --image PATH [--runs N] "
                       "[--work-dir DIR]\n");
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string key = argv[i];
    std::string value = argv[i + 1];
    if (key == "--cli") o.cli = value;
    else if (key == "--sim") o.sim = value;
    else if (key == "--image") o.image = value;
    else if (key == "--runs") o.runs = std::max(3, std::atoi(value.c_str()));
    else if (key == "--work-dir") o.work_dir = value;
    else return usage();
  }
  if (argc % 2 == 0 || o.cli.empty() || o.sim.empty() || o.image.empty()) return usage();
  std::printf("orvaload-cli against orva-bootsim over a pseudo-terminal\n");
  std::fflush(stdout);
  bool ok = run_mode(o, false) && run_mode(o, true);
  return ok ? 0 : 1;
}

// Speed of a whole upgrade: orvaload-cli against orva-bootsim over a
// pseudo-terminal, unpaced (host overhead per exchange) and paced like a
// 115200-baud line (how close the run comes to the wire time, and how much
// CPU the upgrader burns while it waits for the controller). Both report the
// turnaround the simulator sees: from the last byte of an answer leaving it
// to the first byte of the next request arriving. With one message in
// flight, that time is added to every exchange.
//
// With --wine-cli the upgrader is the Windows orvaload-cli.exe under Wine,
// on the simulator's terminal mapped as COM5; its floor is a Windows probe
// (com_floor_probe.cpp) exchanging bare frames over the same kind of port.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "bench/pty_floor.h"
#include "tests/support/child_process.h"

namespace {

constexpr double BAUD = 115200.0;
constexpr double BITS_PER_BYTE = 10.0; // start, 8 data, stop
constexpr int ANSWER_BYTES = 9;        // acknowledgement: 7 bytes of frame, id and error code
constexpr int FRAME_OVERHEAD = 7;
// A program frame with 256 data bytes, most of the run's requests.
constexpr int PROGRAM_REQUEST_BYTES = 269;
constexpr double RUN_TIMEOUT_S = 120.0;

// The COM number the Windows runs use.
constexpr int WINE_COM = 5;

struct Options {
  std::string cli, sim, image, work_dir = "/tmp";
  std::string gap_lib;                       // host_gap_preload.cpp built, or empty
  std::string wine_cli, wine_probe, scripts; // the Windows programs and scripts/
  int runs = 3;
  bool wine() const { return !wine_cli.empty(); }
};

struct RunResult {
  bool ok = false;
  double wall_s = 0;
  double cpu_s = 0;
  double wire_s = 0; // the wire-time model of the frames the controller saw
  int requests = 0;
  std::vector<double> turnaround_us;
  std::vector<double> host_gap_us; // the upgrader's own share, when measured
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
  const std::string stem =
      o.work_dir + "/orva-bench-" + std::to_string(getpid()) + "-" + std::to_string(index);
  const std::string report = stem + ".json";
  const std::string turnaround = stem + "-turnaround.txt";
  std::vector<std::string> sim_args{o.sim,  "--image",      o.image,   "--report",
                                    report, "--turnaround", turnaround};
  if (paced) {
    sim_args.insert(sim_args.end(), {"--baud", "115200", "--erase-ms", "0", "--program-ms", "0"});
  }
  if (o.wine()) {
    sim_args.insert(sim_args.end(), {"--wine-com", std::to_string(WINE_COM), "--wine-map-script",
                                     o.scripts + "/wine-map-com"});
  }
  ChildProcess sim;
  // Mapping a port for Wine restarts its server, which takes a few seconds.
  if (!sim.start(sim_args) || !sim.wait_for_output("/dev/", o.wine() ? 120.0 : 10.0)) {
    std::fprintf(stderr, "bench: orva-bootsim did not start: %s\n", sim.err().c_str());
    return r;
  }
  // The path is complete once its line has ended.
  sim.wait_for_output("\n", 2.0);
  const std::string port = o.wine() ? "COM" + std::to_string(WINE_COM) : device_path(sim.out());
  std::vector<std::string> cli_args{o.cli, "--port", port};
  if (o.wine()) cli_args = {o.scripts + "/wine-run", o.wine_cli, "--port", port};

  const std::string gap_file = stem + "-gap.txt";
  std::vector<std::string> env;
  if (!o.gap_lib.empty()) env = {"LD_PRELOAD=" + o.gap_lib, "ORVA_GAP_FILE=" + gap_file};
  ChildProcess cli;
  double start = monotonic_seconds();
  if (!cli.start(cli_args, env)) return r;
  int status = cli.finish(RUN_TIMEOUT_S);
  // Wine's own processes hold the program's output a while after it ended.
  r.wall_s = cli.ended_s() - start;
  const struct rusage& u = cli.usage();
  r.cpu_s =
      u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;

  sim.send_signal(SIGTERM);
  sim.finish(10.0);
  std::string json = read_file(report);
  std::remove(report.c_str());
  std::istringstream gaps(read_file(turnaround));
  std::remove(turnaround.c_str());
  for (double us = 0; gaps >> us;) r.turnaround_us.push_back(us);
  std::istringstream host_gaps(read_file(gap_file));
  std::remove(gap_file.c_str());
  for (double ns = 0; host_gaps >> ns;) r.host_gap_us.push_back(ns / 1000);
  if (status != 0) {
    std::fprintf(stderr, "bench: orvaload-cli exited %d\n%s%s\n", status, cli.out().c_str(),
                 cli.err().c_str());
    return r;
  }
  std::vector<long> lengths = frame_lengths(json);
  r.requests = static_cast<int>(lengths.size());
  long bytes = 0;
  for (long length : lengths) bytes += length + FRAME_OVERHEAD + ANSWER_BYTES;
  r.wire_s = bytes * BITS_PER_BYTE / BAUD;
  r.ok = r.requests > 0;
  if (!r.ok)
    std::fprintf(stderr, "bench: no frames in the simulator's report %s\n", report.c_str());
  return r;
}

struct MultiResult {
  bool ok = false;
  double wall_s = 0;
  double cpu_s = 0;
};

// One orvaload-cli upgrading `count` simulated controllers at once.
MultiResult multi_run(const Options& o, bool paced, int count) {
  MultiResult r;
  std::vector<std::unique_ptr<ChildProcess>> sims;
  std::vector<std::string> cli_args{o.cli};
  for (int i = 0; i < count; ++i) {
    std::vector<std::string> sim_args{o.sim, "--image", o.image, "--require-match"};
    if (paced) {
      sim_args.insert(sim_args.end(), {"--baud", "115200", "--erase-ms", "0", "--program-ms", "0"});
    }
    sims.push_back(std::make_unique<ChildProcess>());
    if (!sims.back()->start(sim_args) || !sims.back()->wait_for_output("/dev/", 10.0)) {
      std::fprintf(stderr, "bench: orva-bootsim did not start: %s\n", sims.back()->err().c_str());
      return r;
    }
    sims.back()->wait_for_output("\n", 2.0);
    cli_args.insert(cli_args.end(), {"--port", device_path(sims.back()->out())});
  }

  ChildProcess cli;
  double start = monotonic_seconds();
  if (!cli.start(cli_args)) return r;
  int status = cli.finish(RUN_TIMEOUT_S);
  r.wall_s = monotonic_seconds() - start;
  const struct rusage& u = cli.usage();
  r.cpu_s =
      u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
  bool all_matched = true;
  for (auto& sim : sims) {
    // Each ends by itself after the jump; its status says whether its flash holds the image.
    all_matched = sim->finish(10.0) == 0 && all_matched;
  }
  if (status != 0 || !all_matched) {
    std::fprintf(stderr, "bench: orvaload-cli exited %d, every flash %s the image\n%s\n", status,
                 all_matched ? "holds" : "does NOT hold", cli.err().c_str());
    return r;
  }
  r.ok = true;
  return r;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The value below which a share p (0..1) of the values lie; 0 for none.
double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(p * static_cast<double>(values.size()) + 0.999999);
  return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

// Whether every goal printed was met: the bench's exit status.
bool every_goal_met = true;

const char* verdict(bool met) {
  every_goal_met = every_goal_met && met;
  return met ? "met" : "MISSED";
}

// Eight controllers from one command: paced, against one paced run on its
// own; unpaced, against eight runs one after another.
bool run_parallel(const Options& o) {
  constexpr int PORTS = 8;
  std::vector<double> single_paced, multi_paced, multi_cpu;
  for (int i = 0; i < o.runs; ++i) {
    RunResult one = one_run(o, true, 100 + i);
    MultiResult many = multi_run(o, true, PORTS);
    if (!one.ok || !many.ok) return false;
    single_paced.push_back(one.wall_s);
    multi_paced.push_back(many.wall_s);
    multi_cpu.push_back(many.cpu_s / many.wall_s);
    std::printf("  round %d: one paced run %.3f s; %d paced at once %.3f s, cpu %.3f s\n", i + 1,
                one.wall_s, PORTS, many.wall_s, many.cpu_s);
  }
  double ratio = median(multi_paced) / median(single_paced);
  double share = median(multi_cpu) * 100;
  std::printf(
      "%d controllers paced at 115200 baud by one command: median wall %.3f s against %.3f s "
      "for one, ratio %.3f (goal <= 1.10: %s), upgrader CPU %.1f%% of one core in total "
      "(goal <= 10%%: %s)\n",
      PORTS, median(multi_paced), median(single_paced), ratio, verdict(ratio <= 1.10), share,
      verdict(share <= 10.0));

  std::vector<double> sequential, parallel;
  for (int i = 0; i < o.runs; ++i) {
    double one_after_another = 0;
    for (int k = 0; k < PORTS; ++k) {
      RunResult one = one_run(o, false, 200 + k);
      if (!one.ok) return false;
      one_after_another += one.wall_s;
    }
    MultiResult many = multi_run(o, false, PORTS);
    if (!many.ok) return false;
    sequential.push_back(one_after_another);
    parallel.push_back(many.wall_s);
    std::printf("  round %d: %d unpaced one after another %.3f s; at once %.3f s, cpu %.3f s\n",
                i + 1, PORTS, one_after_another, many.wall_s, many.cpu_s);
  }
  std::printf(
      "%d controllers unpaced: median wall %.3f s at once against %.3f s one after another, "
      "speed-up %.2f\n",
      PORTS, median(parallel), median(sequential), median(sequential) / median(parallel));
  std::fflush(stdout);
  return true;
}

// A station's slots, one simulated controller each (paced like a real line,
// or never asked anything); the station's process; its port.
struct BenchStation {
  std::vector<std::unique_ptr<ChildProcess>> sims;
  ChildProcess station;
  std::string store;
  int port = 0;

  bool start(const Options& o, int slots) {
    store = o.work_dir + "/orva-bench-" + std::to_string(getpid()) + ".db";
    std::vector<std::string> args{o.cli, "--serve", "127.0.0.1:0", "--records", store};
    for (int i = 0; i < slots; ++i) {
      sims.push_back(std::make_unique<ChildProcess>());
      if (!sims.back()->start({o.sim, "--image", o.image, "--require-match", "--baud", "115200",
                               "--erase-ms", "0", "--program-ms", "0"}) ||
          !sims.back()->wait_for_output("\n", 10.0)) {
        std::fprintf(stderr, "bench: orva-bootsim did not start\n");
        return false;
      }
      args.insert(args.end(), {"--port", device_path(sims.back()->out())});
    }
    if (!station.start(args) || !station.wait_for_output("/ with slots", 10.0)) {
      std::fprintf(stderr, "bench: the station did not start: %s\n", station.err().c_str());
      return false;
    }
    const std::string& out = station.out();
    port = std::atoi(out.c_str() + out.find(':', out.find("http://") + 7) + 1);
    return true;
  }

  // Ends the station and the controllers; whether every flash holds the image.
  bool end() {
    station.send_signal(SIGTERM);
    station.finish(30.0);
    for (const char* tail : {"", "-wal", "-shm"}) std::remove((store + tail).c_str());
    bool all_matched = true;
    for (auto& sim : sims) {
      sim->send_signal(SIGTERM);
      all_matched = sim->finish(10.0) == 0 && all_matched;
    }
    return all_matched;
  }
};

// A station of 64 slots that runs nothing: what it costs to wait.
bool run_idle_station(const Options& o) {
  constexpr int SLOTS = 64;
  constexpr double LOOK_S = 10.0;
  BenchStation bench;
  if (!bench.start(o, SLOTS)) return false;
  usleep(2000000); // settled after its start
  const double cpu_before = cpu_seconds_of(bench.station.pid());
  usleep(static_cast<useconds_t>(LOOK_S * 1e6));
  const double share = (cpu_seconds_of(bench.station.pid()) - cpu_before) / LOOK_S * 100;
  bench.end();
  std::printf("station: %d idle slots: station CPU %.3f%% of one core over %.0f s (goal <= 0.1%%: "
              "%s)\n",
              SLOTS, share, LOOK_S, verdict(share <= 0.1));
  std::fflush(stdout);
  return true;
}

// 64 paced controllers as a station's slots, started with one request to
// its API while an event stream (what the page reads) is open: the wall time
// against one paced run, the station's CPU, and how late its events arrive.
bool run_station(const Options& o) {
  constexpr int SLOTS = 64;
  std::vector<double> single, together, cpu, late_p99;
  for (int round = 0; round < o.runs; ++round) {
    RunResult one = one_run(o, true, 300 + round);
    if (!one.ok) return false;
    BenchStation bench;
    if (!bench.start(o, SLOTS)) return false;
    ChildProcess& station = bench.station;
    const int port = bench.port;

    std::mutex mutex;
    std::vector<double> late_ms;
    int ends = 0;
    httplib::Client events("127.0.0.1", port);
    std::thread reader([&] {
      std::string text;
      events.Get("/api/events", [&](const char* data, size_t size) {
        const double now_ms = std::chrono::duration<double, std::milli>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
        text.append(data, size);
        for (size_t end; (end = text.find("\n\n")) != std::string::npos; text.erase(0, end + 2)) {
          if (text.compare(0, 6, "data: ") != 0) continue;
          const nlohmann::json event =
              nlohmann::json::parse(text.substr(6, end - 6), nullptr, false);
          if (event.is_discarded()) continue;
          std::lock_guard<std::mutex> lock(mutex);
          late_ms.push_back(now_ms - event.value("sent_ms", now_ms));
          ends += event.value("event", "") == "end";
        }
        return true;
      });
    });
    usleep(200000); // the stream is open
    const double cpu_before = cpu_seconds_of(station.pid());
    const double start = monotonic_seconds();
    httplib::Client api("127.0.0.1", port);
    const auto started = api.Post("/api/run", "{}", "application/json");
    bool done = false;
    while (started && started->status == 202 && monotonic_seconds() - start < RUN_TIMEOUT_S) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        done = ends == SLOTS;
      }
      if (done) break;
      usleep(5000);
    }
    const double wall = monotonic_seconds() - start;
    const double station_cpu = cpu_seconds_of(station.pid()) - cpu_before;
    events.stop();
    reader.join();
    const bool all_matched = bench.end();
    if (!done || !all_matched) {
      std::fprintf(stderr, "bench: the station's %d runs did not all end well\n", SLOTS);
      return false;
    }
    single.push_back(one.wall_s);
    together.push_back(wall);
    cpu.push_back(station_cpu / wall * 100);
    late_p99.push_back(percentile(late_ms, 0.99));
    std::printf("  round %d: one paced run %.3f s; %d slots from the API %.3f s, station cpu "
                "%.3f s, events late by median %.1f ms, p99 %.1f ms\n",
                round + 1, one.wall_s, SLOTS, wall, station_cpu, percentile(late_ms, 0.5),
                late_p99.back());
  }
  const double ratio = median(together) / median(single);
  std::printf("station: %d paced slots started from the API: median wall %.3f s against %.3f s "
              "for one run, ratio %.3f (goal <= 1.03: %s); station CPU %.1f%% of one core with "
              "an event stream open (goal <= 15%%: %s); events late by %.1f ms at the 99th "
              "percentile (goal <= 200 ms: %s)\n",
              SLOTS, median(together), median(single), ratio, verdict(ratio <= 1.03), median(cpu),
              verdict(median(cpu) <= 15.0), median(late_p99), verdict(median(late_p99) <= 200.0));
  std::fflush(stdout);
  return true;
}

// The same exchanges with nothing but a read and a write on each side: what
// this machine's terminals add whatever the host does.
void print_floor(const Options& o, int requests, double model_s, double wall_s) {
  constexpr int EXCHANGES = 200;
  double host_cpu_us = 0;
  const std::vector<double> beyond =
      o.wine() ? wine_floor_us(o.scripts, o.wine_probe, WINE_COM, EXCHANGES, PROGRAM_REQUEST_BYTES,
                               ANSWER_BYTES, BAUD)
               : pty_floor_us(EXCHANGES, PROGRAM_REQUEST_BYTES, ANSWER_BYTES, BAUD, &host_cpu_us);
  const char* over = o.wine() ? "a COM port under Wine" : "a pseudo-terminal";
  if (beyond.empty()) {
    std::printf("paced: no bare exchanges over %s\n", over);
    return;
  }
  // Means, not medians: a run's wall time is the sum of its exchanges.
  double floor_us = 0;
  for (double us : beyond) floor_us += us / static_cast<double>(beyond.size());
  const double ours_us = (wall_s - model_s) * 1e6 / requests;
  std::printf("paced: a bare exchange over %s takes %.0f us beyond its wire time "
              "(mean of %d; median %.0f us, p99 %.0f us), a floor ratio of %.3f for %d exchanges; "
              "the upgrader's run takes %.0f us per exchange beyond the wire model, start and end "
              "included\n",
              over, floor_us, EXCHANGES, median(beyond), percentile(beyond, 0.99),
              (model_s + floor_us * requests / 1e6) / model_s, requests, ours_us);
  // What blocking for each answer costs a host that does nothing else: the
  // machine's floor under the upgrader's CPU per run.
  if (!o.wine()) {
    std::printf("paced: the bare host spends %.0f us of CPU on each exchange, %.3f s for %d "
                "exchanges: the floor under the upgrader's CPU per run on this machine\n",
                host_cpu_us, host_cpu_us * requests / 1e6, requests);
  }
}

bool run_mode(const Options& o, bool paced) {
  std::vector<double> wall, cpu, cpu_s, wire, per_exchange, turnaround_median, turnaround_p99;
  std::vector<double> host_median, host_p99;
  int requests = 0;
  for (int i = 0; i < o.runs; ++i) {
    RunResult r = one_run(o, paced, i);
    if (!r.ok) return false;
    wall.push_back(r.wall_s);
    cpu.push_back(r.cpu_s / r.wall_s);
    cpu_s.push_back(r.cpu_s);
    wire.push_back(r.wire_s);
    per_exchange.push_back(r.wall_s / r.requests);
    turnaround_median.push_back(percentile(r.turnaround_us, 0.5));
    turnaround_p99.push_back(percentile(r.turnaround_us, 0.99));
    if (!r.host_gap_us.empty()) {
      host_median.push_back(percentile(r.host_gap_us, 0.5));
      host_p99.push_back(percentile(r.host_gap_us, 0.99));
    }
    requests = r.requests;
    std::printf("  run %d: wall %.3f s, cpu %.3f s, %d exchanges, answer to next request: "
                "median %.0f us, p99 %.0f us\n",
                i + 1, r.wall_s, r.cpu_s, r.requests, turnaround_median.back(),
                turnaround_p99.back());
  }
  double w = median(wall);
  const char* mode = paced ? "paced" : "unpaced";
  if (!paced) {
    double ms = median(per_exchange) * 1000;
    std::printf("unpaced: median of %d runs: wall %.3f s, %.3f ms per exchange (%d exchanges)",
                o.runs, w, ms, requests);
    if (o.wine()) std::printf(", start of Wine included\n");
    else std::printf("; goal <= 0.2 ms: %s\n", verdict(ms <= 0.2));
  } else {
    double model = median(wire);
    double ratio = w / model;
    double share = median(cpu) * 100;
    // Wine's start and its serial calls weigh on the Windows program's figure.
    const double goal = o.wine() ? 1.05 : 1.015;
    std::printf("paced 115200 baud, no flash time: median of %d runs: wall %.3f s, wire model "
                "%.3f s, ratio %.3f (goal <= %.3f: %s), upgrader CPU %.1f%% of wall (goal <= 5%%: "
                "%s)\n",
                o.runs, w, model, ratio, goal, verdict(ratio <= goal), share,
                verdict(share <= 5.0));
    if (!o.wine()) {
      std::printf("paced: the upgrader's CPU per run, median %.3f s (goal <= 0.05 s: %s)\n",
                  median(cpu_s), verdict(median(cpu_s) <= 0.05));
    }
    print_floor(o, requests, model, w);
  }
  std::printf("%s: from the last byte of an answer to the first byte of the next request, median "
              "of the runs' medians %.0f us, of their 99th percentiles %.0f us\n",
              mode, median(turnaround_median), median(turnaround_p99));
  if (!host_median.empty()) {
    std::printf("%s: of that, the upgrader's own time from the read that completes an answer to "
                "the write of the next request: median %.1f us, 99th percentile %.1f us\n",
                mode, median(host_median), median(host_p99));
  }
  std::fflush(stdout);
  return true;
}

int usage() {
  std::fprintf(stderr, "usage: orva-bench --cli PATH --sim PATH --image PATH [--runs N] "
                       "[--gap-lib PATH] [--work-dir DIR]\n"
                       "       [--wine-cli CLI.exe --wine-probe PROBE.exe --scripts DIR]\n");
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
    else if (key == "--gap-lib") o.gap_lib = value;
    else if (key == "--wine-cli") o.wine_cli = value;
    else if (key == "--wine-probe") o.wine_probe = value;
    else if (key == "--scripts") o.scripts = value;
    else return usage();
  }
  if (argc % 2 == 0 || o.sim.empty() || o.image.empty()) return usage();
  if (o.wine() ? o.wine_probe.empty() || o.scripts.empty() : o.cli.empty()) return usage();
  if (o.wine()) {
    std::printf("orvaload-cli.exe under Wine against orva-bootsim mapped as COM%d\n", WINE_COM);
  } else {
    std::printf("orvaload-cli against orva-bootsim over a pseudo-terminal\n");
  }
  std::fflush(stdout);
  bool ok = run_mode(o, false) && run_mode(o, true) &&
            (o.wine() || (run_parallel(o) && run_station(o) && run_idle_station(o)));
  if (ok && !every_goal_met) std::printf("bench: a goal was MISSED\n");
  return ok && every_goal_met ? 0 : 1;
}

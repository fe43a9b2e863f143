// A whole run of 2048 lines over four fake nameservers that answer at once:
// the wall time against the floor set by the longest slice (212 domains, two
// probes each, one loopback round trip per probe), the CPU time and the peak
// memory of the run. The fake servers serve from a child process, so the
// figures are the run's own. Only inside the network sandbox.
//   run_bench [RUNS]   (1 to 10 runs, default 3)
// Exits non-zero when a run went wrong or a target was missed.
#include "net/probe.h"
#include "net/sock.h"
#include "tests/support/classic_probes.h"
#include "run/domain_list.h"
#include "run/local_dns.h"
#include "run/test_driver.h"
#include "tests/support/fake_ns.h"
#include "tests/support/files.h"
#include "tests/support/sandbox_check.h"
#include "tests/support/window_double.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::chrono::steady_clock bench_clock;

const char *const SERVERS[] = {"127.0.0.41", "127.0.0.42", public_dns_1,
                               public_dns_2};
const int SERVER_COUNT = 4;
const int LIST_LINES = 2048;
const int LONGEST_SLICE = 212; // 2048 / 10 plus the remainder
const int PASSES = 4;
const int RTT_WARMUP = 100;
const int RTT_PROBES = 2000;
const int MAX_RUNS = 10;
const int CHILD_SECONDS = 600; // the fake servers give up after this

double ms_between(bench_clock::time_point a, bench_clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

double cpu_ms(const rusage &u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Serves until the parent closes `quit` (or exits); says so on `ready`.
[[noreturn]] void serve_fakes(int ready, int quit) {
  alarm(CHILD_SECONDS);
  fake_ns *servers[SERVER_COUNT] = {};
  char ok = 1;
  for (int i = 0; i < SERVER_COUNT; ++i) {
    servers[i] = fake_ns_start(SERVERS[i], FAKE_ANSWER_A);
    if (!servers[i])
      ok = 0;
  }
  if (write(ready, &ok, 1) != 1)
    ok = 0;
  char byte;
  while (ok && read(quit, &byte, 1) > 0) {
  }
  for (fake_ns *ns : servers) {
    if (ns)
      fake_ns_stop(ns);
  }
  _exit(ok ? 0 : 1);
}

struct round_trip {
  double mean_us;
  double median_us;
};

// The time of one probe answered at once: a query out, a reply back.
bool measure_round_trip(round_trip *rt) {
  const std::vector<std::string> warm_up(RTT_WARMUP, "warmup.example");
  if (count_ok(run_classic_probes(SERVERS[0], warm_up)) != RTT_WARMUP)
    return false;
  const std::vector<std::string> names(RTT_PROBES, "rtt.example");
  bench_clock::time_point start = bench_clock::now();
  const std::vector<classic_probe> probes =
      run_classic_probes(SERVERS[0], names);
  const int ok = count_ok(probes);
  std::vector<double> us;
  for (const classic_probe &probe : probes)
    us.push_back(probe.us);
  rt->mean_us = ms_between(start, bench_clock::now()) * 1e3 / RTT_PROBES;
  std::sort(us.begin(), us.end());
  rt->median_us = us.empty() ? 0 : us[us.size() / 2];
  return ok == RTT_PROBES;
}

std::size_t count_of(const std::string &text, const std::string &part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size()))
    ++n;
  return n;
}

// CPU time of the fake servers' process so far, from /proc (10 ms ticks).
double child_cpu_ms(pid_t child) {
  std::string stat = read_file("/proc/" + std::to_string(child) + "/stat");
  std::size_t end = stat.rfind(')');
  if (end == std::string::npos)
    return 0;
  // After the command: state, then fields 4 to 13, then utime and stime.
  unsigned long utime = 0, stime = 0;
  if (std::sscanf(stat.c_str() + end + 1,
                  " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                  &utime, &stime) != 2)
    return 0;
  return static_cast<double>(utime + stime) * 1e3 /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct run_figures {
  double wall_ms;
  double cpu_ms;
  double fake_cpu_ms;
  bool all_resolved;
};

// One whole run on a thread of its own, as the window starts it, with
// standard output going nowhere.
run_figures one_run(pid_t child) {
  run_figures f{};
  std::fflush(stdout);
  int saved = dup(1);
  int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 1);
  close(null_fd);

  rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  double fake_before = child_cpu_ms(child);
  bench_clock::time_point start = bench_clock::now();
  const driver_settings settings =
      classic_driver_settings(domain_list, domain_count);
  std::thread driver(test_driver, &settings);
  driver.join();
  bench_clock::time_point end = bench_clock::now();
  getrusage(RUSAGE_SELF, &after);
  f.fake_cpu_ms = child_cpu_ms(child) - fake_before;

  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  window_drain();
  window_double_reset();

  f.wall_ms = ms_between(start, end);
  f.cpu_ms = cpu_ms(after) - cpu_ms(before);
  std::string log = read_file("log.txt");
  f.all_resolved = count_of(log, " total: 4096/4096, 100.0000%") == PASSES;
  return f;
}

} // namespace

int main(int argc, char **argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  if (runs < 1 || runs > MAX_RUNS) {
    std::fprintf(stderr, "usage: run_bench [RUNS]  (1 to %d)\n", MAX_RUNS);
    return 2;
  }
  std::string problem = sandbox_problem();
  if (!problem.empty()) {
    std::fprintf(stderr, "run_bench: only inside the network sandbox: %s\n",
                 problem.c_str());
    return 2;
  }

  int ready[2], quit[2];
  if (pipe(ready) != 0 || pipe(quit) != 0) {
    std::perror("run_bench: pipe");
    return 1;
  }
  pid_t child = fork();
  if (child < 0) {
    std::perror("run_bench: fork");
    return 1;
  }
  if (child == 0) {
    close(ready[0]);
    close(quit[1]);
    serve_fakes(ready[1], quit[0]);
  }
  close(ready[1]);
  close(quit[0]);
  pollfd wait_ready = {ready[0], POLLIN, 0};
  char ok = 0;
  if (poll(&wait_ready, 1, 5000) != 1 || read(ready[0], &ok, 1) != 1 || !ok) {
    std::fprintf(stderr, "run_bench: the fake nameservers did not start\n");
    return 1;
  }
  if (sock_startup() != 0)
    return 1;

  char dir[] = "/tmp/zelkor-run-bench-XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) {
    std::perror("run_bench: scratch directory");
    return 1;
  }
  std::string resolv = std::string("nameserver ") + SERVERS[0] +
                       "\nnameserver " + SERVERS[1] + "\n";
  std::string list;
  for (int i = 0; i < LIST_LINES; ++i)
    list += std::string(provider_tags[i % PROVIDER_TAG_COUNT]) + ":d" +
            std::to_string(i) + ".example\n";
  if (!write_bytes("resolv.conf", resolv) ||
      !write_bytes("domains.txt", list)) {
    std::perror("run_bench: input files");
    return 1;
  }
  std::string resolv_path = std::string(dir) + "/resolv.conf";
  resolv_conf_path = resolv_path.c_str();
  split_local_dns();
  if (load_domain_list("domains.txt") != 0 || domain_count != LIST_LINES)
    return 1;

  round_trip rt;
  if (!measure_round_trip(&rt)) {
    std::fprintf(stderr, "run_bench: the round trip probes failed\n");
    return 1;
  }
  double floor_ms = PASSES * LONGEST_SLICE * 2 * rt.median_us / 1e3;
  double target_ms = 1.5 * floor_ms + 50;

  std::vector<run_figures> figures;
  bool all_resolved = true;
  for (int i = 0; i < runs; ++i) {
    figures.push_back(one_run(child));
    all_resolved = all_resolved && figures.back().all_resolved;
  }

  close(quit[1]);
  int status = 0;
  waitpid(child, &status, 0);
  rusage self, children;
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);

  std::printf("run_bench: %d lines, %d passes (2 local, 2 public), 10 "
              "workers, fake nameservers answering at once\n",
              LIST_LINES, PASSES);
  std::printf("  round trip of one probe     %8.1f us median, %.1f us mean "
              "(%d probes, one client)\n",
              rt.median_us, rt.mean_us, RTT_PROBES);
  std::printf("  floor (%d x %d x 2 probes)  %8.1f ms\n", PASSES, LONGEST_SLICE,
              floor_ms);
  std::printf("  target wall (1.5 x floor + 50 ms) %8.1f ms\n", target_ms);
  std::vector<double> walls;
  int number = 0;
  for (const run_figures &f : figures) {
    // Two cores: the run and the fake servers share them.
    double bound = (f.cpu_ms + f.fake_cpu_ms) / 2;
    std::printf("  run %d: wall %8.1f ms (%.2f x floor), cpu %8.1f ms, fake "
                "servers' cpu %8.1f ms, (cpu + fake cpu) / 2 = %8.1f ms%s\n",
                ++number, f.wall_ms, f.wall_ms / floor_ms, f.cpu_ms,
                f.fake_cpu_ms, bound,
                f.all_resolved ? "" : "  NOT ALL RESOLVED");
    walls.push_back(f.wall_ms);
  }
  std::sort(walls.begin(), walls.end());
  double median = walls[walls.size() / 2];
  std::printf("  median wall %8.1f ms: %s\n", median,
              median <= target_ms ? "within target" : "OVER TARGET");
  double peak_mib = static_cast<double>(self.ru_maxrss) / 1024.0;
  std::printf("  peak memory (ru_maxrss) %8.2f MiB: %s\n", peak_mib,
              peak_mib < 16.0 ? "within target (< 16 MiB)" : "OVER TARGET");
  // One server answers a whole pass, one datagram after another.
  std::printf("  fake nameservers' cpu (child) %8.1f ms over all runs, "
              "%.1f us per query\n",
              cpu_ms(children),
              cpu_ms(children) /
                  (runs * PASSES * 2.0 * LIST_LINES + RTT_WARMUP + RTT_PROBES) *
                  1e3);

  unlink("log.txt");
  unlink("domains.txt");
  unlink("resolv.conf");
  if (chdir("/") == 0)
    rmdir(dir);
  bool served = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  bool on_target = median <= target_ms && peak_mib < 16.0;
  return all_resolved && served && on_target ? 0 : 1;
}

// One worker probing names against the fake nameserver on loopback: probes per
// second, CPU time per probe, and the probe's time against the bare round trip
// of one datagram on the same socket. Target: the probe adds no more than 10%.
// Run inside the network sandbox (scripts/bench).
#include "net/dns_message.h"
#include "net/probe.h"
#include "tests/support/classic_probes.h"
#include "tests/support/fake_ns.h"
#include "tests/support/sandbox_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

const char *const FAKE_IP = "127.0.0.28"; // the fake nameserver
const char *const ECHO_IP = "127.0.0.29"; // a minimal server, for the floor
const int ROUNDS = 20;                    // blocks of probes and round trips
const int PER_ROUND = 1000;               // 20000 of each in all
const int WARM_UP = 500;
const double TIME_LIMIT_S = 120;
const double TARGET_RATIO = 1.10;

typedef std::chrono::steady_clock bench_clock;

double us_since(bench_clock::time_point start) {
  return std::chrono::duration<double, std::micro>(bench_clock::now() - start)
      .count();
}

double thread_cpu_us() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 +
         static_cast<double>(t.tv_nsec) / 1e3;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double mean(const std::vector<double> &v) {
  double sum = 0;
  for (double x : v)
    sum += x;
  return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

// The bare round trip: a prebuilt query out and the reply in, plain calls.
double bare_round_trip(int fd, const unsigned char *query, int length,
                       const sockaddr_in *to) {
  unsigned char reply[REPLY_BUFFER_SIZE];
  sockaddr_in from;
  socklen_t from_len = sizeof from;
  bench_clock::time_point start = bench_clock::now();
  sendto(fd, query, static_cast<std::size_t>(length), 0,
         reinterpret_cast<const sockaddr *>(to), sizeof *to);
  long n = recvfrom(fd, reply, sizeof reply, 0,
                    reinterpret_cast<sockaddr *>(&from), &from_len);
  double us = us_since(start);
  return n >= DNS_HEADER_SIZE ? us : -1;
}

// The least a server can do: turn each query around as an answer at once.
std::atomic<bool> echo_stop{false};

void serve_echo(int fd) {
  unsigned char d[REPLY_BUFFER_SIZE];
  while (!echo_stop.load()) {
    sockaddr_in from;
    socklen_t from_len = sizeof from;
    long n = recvfrom(fd, d, sizeof d, 0, reinterpret_cast<sockaddr *>(&from),
                      &from_len);
    if (n < DNS_HEADER_SIZE)
      continue;
    d[DNS_FLAGS_OFFSET] |= 0x80; // QR
    d[DNS_ANCOUNT_OFFSET + 1] = 1;
    sendto(fd, d, static_cast<std::size_t>(n), 0,
           reinterpret_cast<sockaddr *>(&from), from_len);
  }
}

int open_echo(sockaddr_in *at) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  std::memset(at, 0, sizeof *at);
  at->sin_family = AF_INET;
  at->sin_port = htons(DNS_PORT);
  at->sin_addr.s_addr = inet_addr(ECHO_IP);
  timeval tv = {0, 100000}; // so that the stop is seen
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (bind(fd, reinterpret_cast<sockaddr *>(at), sizeof *at) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

} // namespace

int main() {
  std::string problem = sandbox_problem();
  if (!problem.empty()) {
    std::fprintf(stderr, "probe_bench: only inside the network sandbox: %s\n",
                 problem.c_str());
    return 2;
  }
  fake_ns *ns = fake_ns_start(FAKE_IP, FAKE_ANSWER_A);
  const std::vector<std::string> warm_up(WARM_UP, "bench.example");
  const std::vector<std::string> block_names(PER_ROUND, "bench.example");
  if (!ns || count_ok(run_classic_probes(FAKE_IP, warm_up)) != WARM_UP) {
    std::fprintf(stderr, "probe_bench: no fake nameserver on %s\n", FAKE_IP);
    return 2;
  }
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(DNS_PORT);
  address.sin_addr.s_addr = inet_addr(FAKE_IP);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  unsigned char query[QUERY_BUFFER_SIZE];
  int length = build_query("bench.example", DNS_TYPE_A, query, sizeof query);
  for (int i = 0; i < WARM_UP; i++)
    bare_round_trip(fd, query, length, &address);
  std::vector<double> probe_us, bare_us;
  double probe_cpu = 0, bare_cpu = 0, probe_wall = 0;
  int failed = 0;
  bench_clock::time_point begin = bench_clock::now();
  // Alternating blocks, so that both see the same load on the machine. A
  // block of probes is one engine run, as a worker's pass is.
  for (int round = 0; round < ROUNDS; round++) {
    if (us_since(begin) > TIME_LIMIT_S * 1e6)
      break;
    double cpu = thread_cpu_us();
    bench_clock::time_point block = bench_clock::now();
    const std::vector<classic_probe> block_probes =
        run_classic_probes(FAKE_IP, block_names);
    failed += PER_ROUND - count_ok(block_probes);
    for (const classic_probe &probe : block_probes)
      probe_us.push_back(probe.us);
    probe_wall += us_since(block);
    probe_cpu += thread_cpu_us() - cpu;
    cpu = thread_cpu_us();
    for (int i = 0; i < PER_ROUND; i++) {
      double us = bare_round_trip(fd, query, length, &address);
      if (us < 0)
        failed++;
      else
        bare_us.push_back(us);
    }
    bare_cpu += thread_cpu_us() - cpu;
    fake_ns_forget(ns); // its record would only grow
  }
  close(fd);
  fake_ns_stop(ns);

  // The floor: the same bare round trip against a server that does nothing.
  std::vector<double> echo_us;
  sockaddr_in echo_at;
  int echo_fd = open_echo(&echo_at);
  if (echo_fd >= 0) {
    std::thread echo(serve_echo, echo_fd);
    int client = socket(AF_INET, SOCK_DGRAM, 0);
    for (int i = 0; i < WARM_UP + ROUNDS * PER_ROUND / 2; i++) {
      double us = bare_round_trip(client, query, length, &echo_at);
      if (i >= WARM_UP && us >= 0)
        echo_us.push_back(us);
    }
    echo_stop.store(true);
    echo.join();
    close(client);
    close(echo_fd);
  }

  double n = static_cast<double>(probe_us.size());
  double ratio_median = median(probe_us) / median(bare_us);
  double ratio_mean = mean(probe_us) / mean(bare_us);
  std::printf("probe_bench: %zu probes and %zu bare round trips against the "
              "fake nameserver on %s (FAKE_ANSWER_A), one worker\n",
              probe_us.size(), bare_us.size(), FAKE_IP);
  std::printf("probes per second:        %.0f\n", n / (probe_wall / 1e6));
  std::printf("probe wall time:          median %.1f us, mean %.1f us\n",
              median(probe_us), mean(probe_us));
  std::printf("bare round trip:          median %.1f us, mean %.1f us\n",
              median(bare_us), mean(bare_us));
  std::printf("probe / round trip:       median %.3f, mean %.3f (target <= "
              "%.2f)\n",
              ratio_median, ratio_mean, TARGET_RATIO);
  std::printf("CPU time per probe:       %.2f us (bare round trip %.2f us)\n",
              probe_cpu / n, bare_cpu / static_cast<double>(bare_us.size()));
  if (!echo_us.empty())
    std::printf("floor, minimal server:    median %.1f us, mean %.1f us "
                "(the fake adds %.1f us)\n",
                median(echo_us), mean(echo_us),
                median(bare_us) - median(echo_us));
  if (failed)
    std::printf("failed probes or round trips: %d\n", failed);
  bool met = ratio_median <= TARGET_RATIO && failed == 0;
  std::printf("probe_bench: %s\n", met ? "target met" : "TARGET MISSED");
  return met ? 0 : 1;
}

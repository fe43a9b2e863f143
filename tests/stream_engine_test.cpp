// The stream engine against servers of the test's own: one that closes
// every connection after three replies (every probe is decided, over as
// many connections as it took, and no query is counted twice), and one
// that never answers the TLS handshake.
#include "net/dns_message.h"
#include "net/probe.h"
#include "net/stream_engine.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const int REPLIES_PER_CONNECTION = 3;

// Answers each query with itself turned into a reply holding one answer,
// and closes the connection after REPLIES_PER_CONNECTION.
void serve_connection(int fd) {
  std::string in;
  int replied = 0;
  while (replied < REPLIES_PER_CONNECTION) {
    char chunk[4096];
    long n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0)
      break;
    in.append(chunk, static_cast<std::size_t>(n));
    while (in.size() >= 2 && replied < REPLIES_PER_CONNECTION) {
      const std::size_t length =
          static_cast<std::size_t>(static_cast<unsigned char>(in[0]) << 8 |
                                   static_cast<unsigned char>(in[1]));
      if (in.size() < 2 + length)
        break;
      std::string message = in.substr(0, 2 + length);
      in.erase(0, 2 + length);
      message[2 + DNS_FLAGS_OFFSET] |= static_cast<char>(0x80); // QR
      message[2 + DNS_ANCOUNT_OFFSET + 1] = 1;
      send(fd, message.data(), message.size(), MSG_NOSIGNAL);
      ++replied;
    }
  }
  close(fd);
}

// Each connection on a thread of its own, as a real server serves them side
// by side. Bounded by `stop`.
void serve(int listener, std::atomic<bool> *stop) {
  std::vector<std::thread> connections;
  while (!stop->load()) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0)
      continue;
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0)
      connections.emplace_back(serve_connection, fd);
  }
  for (std::thread &t : connections)
    t.join();
}

struct names {
  std::vector<std::string> text;
  std::vector<probe_result> results;
};

const char *name_of(std::size_t i, void *context) {
  return static_cast<names *>(context)->text[i].c_str();
}

void done(std::size_t i, const probe_result *r, void *context) {
  static_cast<names *>(context)->results[i] = *r;
}

TEST(StreamEngineTest, ClosedConnectionsAreReopenedAndNoProbeIsLost) {
  ns_target target;
  ASSERT_EQ(parse_ns_target("tcp://127.0.0.71", &target), 0);
  const ns_address &ns = target.address;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr *>(&ns.sa),
                 static_cast<socklen_t>(ns.length)),
            0);
  ASSERT_EQ(listen(listener, 16), 0);
  std::atomic<bool> stop{false};
  std::thread server(serve, listener, &stop);

  names n;
  for (int i = 0; i < 30; ++i)
    n.text.push_back("n" + std::to_string(i) + ".example");
  n.results.resize(n.text.size());
  const engine_settings settings{5, 2000, 2, 0.0, DNS_TYPE_A, false, false};
  engine_job job{n.text.size(), name_of, done, &n, nullptr};
  stream_stats stats;
  const stream_options options{2, nullptr, false, false};
  EXPECT_EQ(stream_run(&target, &settings, &options, &job, &stats), 0);
  stop.store(true);
  server.join();
  close(listener);

  for (std::size_t i = 0; i < n.results.size(); ++i) {
    EXPECT_EQ(n.results[i].outcome, PROBE_OK) << n.text[i];
    EXPECT_EQ(n.results[i].attempts, 1) << n.text[i];
  }
  // Thirty replies at three a connection.
  EXPECT_GE(stats.opened, 10);
  EXPECT_EQ(stats.reconnections, stats.opened - 2);
  EXPECT_EQ(stats.setup_failures, 0);
  EXPECT_EQ(static_cast<int>(stats.setup_us.size()), stats.opened);
}

// A server that takes the connection but never answers the TLS handshake:
// its probes fail as "tls" when their time is up, not as a plain timeout.
TEST(StreamEngineTest, HandshakeThatNeverEndsFailsAsTls) {
  ns_target target;
  ASSERT_EQ(parse_ns_target("tls://127.0.0.72", &target), 0);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ASSERT_EQ(bind(listener,
                 reinterpret_cast<const sockaddr *>(&target.address.sa),
                 static_cast<socklen_t>(target.address.length)),
            0);
  ASSERT_EQ(listen(listener, 16), 0); // the kernel completes the connect

  names n;
  n.text = {"a.example", "b.example"};
  n.results.resize(n.text.size());
  const engine_settings settings{2, 200, 2, 0.0, DNS_TYPE_A, false, false};
  const stream_options options{1, nullptr, true, false};
  engine_job job{n.text.size(), name_of, done, &n, nullptr};
  stream_stats stats;
  EXPECT_EQ(stream_run(&target, &settings, &options, &job, &stats), 0);
  close(listener);
  for (const probe_result &r : n.results) {
    EXPECT_EQ(r.outcome, PROBE_FAILED);
    EXPECT_EQ(r.error, PROBE_ERROR_TLS);
  }
  EXPECT_EQ(stats.opened, 0);
}

} // namespace

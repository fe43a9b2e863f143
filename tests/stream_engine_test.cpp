// The TCP engine against a server that closes every connection after three
// replies: every probe is decided, over as many connections as it took,
// and no query is counted twice.
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

const char SERVER_IP[] = "127.0.0.71";
const int REPLIES_PER_CONNECTION = 3;

// Answers each query with itself turned into a reply holding one answer;
// closes each connection after REPLIES_PER_CONNECTION. Bounded by `stop`.
void serve(int listener, std::atomic<bool> *stop) {
  while (!stop->load()) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0)
      continue;
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
      continue;
    std::string in;
    int replied = 0;
    while (replied < REPLIES_PER_CONNECTION && !stop->load()) {
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
  ns_address ns;
  ASSERT_EQ(parse_ns_address(SERVER_IP, 53, &ns), 0);
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
  EXPECT_EQ(stream_run(&ns, &settings, 2, &job, &stats), 0);
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

} // namespace

// The stream transports against servers of the test's own: one that closes
// every connection after three replies (every probe is decided, over as
// many connections as it took, and no query is counted twice), one that
// never answers the TLS handshake, hostile ones that break the stream
// in every way a server can (over TCP, and over QUIC through the suite's
// own DoQ double), and a DoH server that refuses streams.
#include "net/dns_message.h"
#include "net/probe.h"
#include "net/target_run.h"
#include "tests/support/doq_process.h"
#include "tests/support/h2_refusing_server.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
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

// Two names at 200 ms an attempt and two attempts, on one connection
// whose certificate is not checked.
names run_two(const ns_target &target, stream_stats *stats) {
  names n;
  n.text = {"n0.example", "n1.example"};
  n.results.resize(n.text.size());
  const engine_settings settings{2, 200, 2, 0.0, DNS_TYPE_A, false, false};
  const stream_options options{1, nullptr, true, false};
  engine_job job{n.text.size(), name_of, done, &n, nullptr};
  EXPECT_EQ(target_run(&target, &settings, &options, &job, stats), 0);
  return n;
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
  EXPECT_EQ(target_run(&target, &settings, &options, &job, &stats), 0);
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

  stream_stats stats;
  const names n = run_two(target, &stats);
  close(listener);
  for (const probe_result &r : n.results) {
    EXPECT_EQ(r.outcome, PROBE_FAILED);
    EXPECT_EQ(r.error, PROBE_ERROR_TLS);
  }
  EXPECT_EQ(stats.opened, 0);
}

// One misbehaviour at a time, each with the failure it must be named by.
enum misbehaviour {
  RANDOM_BYTES,
  LONGER_THAN_SENT, // a length, fewer bytes, then silence
  EMPTY_MESSAGE,
  WRONG_ID,
  SHORT_HEADER,
  BIG_JUNK, // a whole 65,535-byte message of junk
  ONE_BYTE_WRITES,
  CLOSE_AT_ONCE,
  OTHER_QUESTION,
  TRICKLE,
  HTTP_REPLY,
  MISBEHAVIOURS
};

struct hostile_server {
  int kind;
  int listener;
  std::atomic<bool> stop{false};
  std::atomic<int> accepted{0};
};

// Reads the next length-prefixed query of the connection (what came
// beyond it stays in `in`); false when the client went away or the test
// is over.
bool read_query(int fd, const hostile_server *server, std::string *in,
                std::string *query) {
  while (!server->stop.load()) {
    if (in->size() >= 2) {
      const std::size_t length =
          static_cast<std::size_t>(static_cast<unsigned char>((*in)[0]) << 8 |
                                   static_cast<unsigned char>((*in)[1]));
      if (in->size() >= 2 + length) {
        *query = in->substr(0, 2 + length);
        in->erase(0, 2 + length);
        return true;
      }
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0)
      continue;
    char chunk[4096];
    const long n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0)
      return false;
    in->append(chunk, static_cast<std::size_t>(n));
  }
  return false;
}

// The query as a reply holding one answer.
std::string reply_to(std::string query) {
  query[2 + DNS_FLAGS_OFFSET] |= static_cast<char>(0x80); // QR
  query[2 + DNS_ANCOUNT_OFFSET + 1] = 1;
  return query;
}

void send_all(int fd, const std::string &bytes) {
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void misbehave(int fd, hostile_server *server) {
  std::string in, query;
  if (server->kind != CLOSE_AT_ONCE && !read_query(fd, server, &in, &query)) {
    close(fd);
    return;
  }
  std::string reply = query.empty() ? query : reply_to(query);
  switch (server->kind) {
  case RANDOM_BYTES: {
    std::mt19937 random(7);
    std::string junk;
    for (int i = 0; i < 300; ++i)
      junk += static_cast<char>(random());
    send_all(fd, junk);
    break;
  }
  case LONGER_THAN_SENT:
    send_all(fd, std::string("\x00\x40", 2) + std::string(20, 'x'));
    while (read_query(fd, server, &in, &query)) {
    } // silence until the client closes
    break;
  case EMPTY_MESSAGE:
    send_all(fd, std::string(2, '\0'));
    while (read_query(fd, server, &in, &query)) {
    } // silence until the client closes
    break;
  case WRONG_ID:
    reply[2 + DNS_ID_OFFSET] = static_cast<char>(~reply[2 + DNS_ID_OFFSET]);
    send_all(fd, reply);
    while (read_query(fd, server, &in, &query)) {
    } // silence until the client closes
    break;
  case SHORT_HEADER:
    send_all(fd, std::string("\x00\x05", 2) + reply.substr(2, 5));
    while (read_query(fd, server, &in, &query)) {
    } // silence until the client closes
    break;
  case BIG_JUNK:
    send_all(fd, std::string("\xff\xff", 2) + std::string(65535, '\xab'));
    while (read_query(fd, server, &in, &query)) {
    } // silence until the client closes
    break;
  case ONE_BYTE_WRITES:
  case TRICKLE: {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Every query is answered, a byte at a time.
    do {
      for (char byte : reply_to(query)) {
        send_all(fd, std::string(1, byte));
        if (server->kind == TRICKLE)
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    } while (read_query(fd, server, &in, &query));
    break;
  }
  case CLOSE_AT_ONCE:
    break;
  case OTHER_QUESTION:
    reply[2 + DNS_HEADER_SIZE + 1] ^= 0x01; // "n0" becomes "o0"
    send_all(fd, reply);
    while (read_query(fd, server, &in, &query)) {
    } // silence until the client closes
    break;
  case HTTP_REPLY:
    send_all(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 11\r\n"
                 "Connection: close\r\n\r\nBad Request");
    break;
  }
  close(fd);
}

void serve_hostile(hostile_server *server) {
  std::vector<std::thread> connections;
  while (!server->stop.load()) {
    pollfd p{server->listener, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0)
      continue;
    int fd = accept(server->listener, nullptr, nullptr);
    if (fd < 0)
      continue;
    ++server->accepted;
    connections.emplace_back(misbehave, fd, server);
  }
  for (std::thread &t : connections)
    t.join();
}

const int HOSTILE_PROBES = 4, HOSTILE_ATTEMPTS = 2, HOSTILE_TIMEOUT_MS = 500;

// Probes of a hostile server: what came of them, and how long they took.
struct hostile_run {
  names n;
  stream_stats stats;
  std::chrono::steady_clock::duration took;
};

void run_hostile(const ns_target &target, bool insecure, hostile_run *run) {
  for (int i = 0; i < HOSTILE_PROBES; ++i)
    run->n.text.push_back("n" + std::to_string(i) + ".example");
  run->n.results.resize(run->n.text.size());
  const engine_settings settings{HOSTILE_PROBES,
                                 HOSTILE_TIMEOUT_MS,
                                 HOSTILE_ATTEMPTS,
                                 0.0,
                                 DNS_TYPE_A,
                                 false,
                                 false};
  const stream_options options{2, nullptr, insecure, false};
  engine_job job{run->n.text.size(), name_of, done, &run->n, nullptr};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(target_run(&target, &settings, &options, &job, &run->stats), 0);
  run->took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(run->took, std::chrono::milliseconds(
                           HOSTILE_ATTEMPTS * HOSTILE_TIMEOUT_MS + 1500));
}

// Each ends within its attempts' time, on no more connections than the
// probes have attempts (and a few), with the failure named.
TEST(StreamEngineTest, HostileServersAreNamedAndNeverFlooded) {
  const int expected[MISBEHAVIOURS] = {
      PROBE_ERROR_FORMAT,  PROBE_ERROR_TIMEOUT, PROBE_ERROR_FORMAT,
      PROBE_ERROR_TIMEOUT, PROBE_ERROR_FORMAT,  PROBE_ERROR_TIMEOUT,
      PROBE_ERROR_NONE,    PROBE_ERROR_CONNECT, PROBE_ERROR_TIMEOUT,
      PROBE_ERROR_NONE,    PROBE_ERROR_FORMAT};
  for (int kind = 0; kind < MISBEHAVIOURS; ++kind) {
    SCOPED_TRACE("misbehaviour " + std::to_string(kind));
    ns_target target;
    const std::string address =
        "tcp://127.0.0.73:" + std::to_string(5300 + kind);
    ASSERT_EQ(parse_ns_target(address.c_str(), &target), 0);
    hostile_server server;
    server.kind = kind;
    server.listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(bind(server.listener,
                   reinterpret_cast<const sockaddr *>(&target.address.sa),
                   static_cast<socklen_t>(target.address.length)),
              0);
    ASSERT_EQ(listen(server.listener, 64), 0);
    std::thread thread(serve_hostile, &server);

    hostile_run run;
    run_hostile(target, false, &run);
    server.stop.store(true);
    thread.join();
    close(server.listener);

    EXPECT_LE(server.accepted.load(), HOSTILE_PROBES * HOSTILE_ATTEMPTS + 4);
    for (const probe_result &r : run.n.results) {
      if (expected[kind] == PROBE_ERROR_NONE) {
        EXPECT_EQ(r.outcome, PROBE_OK);
      } else {
        EXPECT_EQ(r.outcome, PROBE_FAILED);
        EXPECT_EQ(r.error, expected[kind]);
      }
    }
  }
}

// The same over QUIC, one misbehaviour of the DoQ double at a time: each
// ends within its attempts' time, on no more connections than the probes
// have attempts (and a few), with the failure named. A server that gives
// no credit for streams leaves the queries waiting until their time is up.
TEST(StreamEngineTest, HostileQuicServersAreNamedAndNeverFlooded) {
  char dir[] = "/tmp/zelkor-doq-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  ASSERT_TRUE(make_test_key(dir));
  const struct {
    const char *how;
    int expected;
  } cases[] = {{"junk", PROBE_ERROR_FORMAT},
               {"reset", PROBE_ERROR_QUIC},
               {"close", PROBE_ERROR_CONNECT},
               {"nocredit", PROBE_ERROR_TIMEOUT},
               {"other", PROBE_ERROR_FORMAT}};
  int port = 8530;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.how);
    const std::string listen = "127.0.0.75:" + std::to_string(++port);
    std::vector<std::string> args = {"-listen", listen,
                                     "-cert",   std::string(dir) + "/doq.pem",
                                     "-key",    std::string(dir) + "/doq.key"};
    if (std::string(c.how) == "nocredit")
      args.insert(args.end(), {"-streams", "-1"});
    else
      args.insert(args.end(), {"-misbehave", c.how});
    doq_process server(DOQ_SERVER, std::string(dir) + "/doq.log", args);
    ASSERT_TRUE(server.ready()) << server.stop();
    ns_target target;
    ASSERT_EQ(parse_ns_target(("quic://" + listen).c_str(), &target), 0);
    hostile_run run;
    run_hostile(target, true, &run);
    const std::string log = server.stop();

    int connections = 0;
    for (std::size_t at = log.find("conn "); at != std::string::npos;
         at = log.find("conn ", at + 1))
      ++connections;
    EXPECT_LE(connections, HOSTILE_PROBES * HOSTILE_ATTEMPTS + 4) << log;
    for (const probe_result &r : run.n.results) {
      EXPECT_EQ(r.outcome, PROBE_FAILED);
      EXPECT_EQ(r.error, c.expected)
          << run.stats.reason << run.stats.closed_with;
    }
  }
  for (const char *file : {"doq.key", "doq.pem", "doq.log"})
    unlink((std::string(dir) + "/" + file).c_str());
  rmdir(dir);
}

// A reply later than its attempt's time, on the first attempt's stream,
// still decides the probe, as a late datagram does over UDP: at 200 ms an
// attempt, two attempts, and every answer 300 ms late.
TEST(StreamEngineTest, ALateQuicReplyToAnEarlierAttemptCounts) {
  char dir[] = "/tmp/zelkor-doq-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  ASSERT_TRUE(make_test_key(dir));
  const std::string listen = "127.0.0.75:8540";
  doq_process server(DOQ_SERVER, std::string(dir) + "/doq.log",
                     {"-listen", listen, "-cert", std::string(dir) + "/doq.pem",
                      "-key", std::string(dir) + "/doq.key", "-misbehave",
                      "slow"});
  ASSERT_TRUE(server.ready()) << server.stop();
  ns_target target;
  ASSERT_EQ(parse_ns_target(("quic://" + listen).c_str(), &target), 0);
  stream_stats stats;
  const names n = run_two(target, &stats);
  server.stop();
  for (const probe_result &r : n.results) {
    EXPECT_EQ(r.outcome, PROBE_OK) << r.error;
    EXPECT_EQ(r.attempts, 2);
    EXPECT_LT(r.reply_us, 400000); // the first attempt's, not the second's
  }
  for (const char *file : {"doq.key", "doq.pem", "doq.log"})
    unlink((std::string(dir) + "/" + file).c_str());
  rmdir(dir);
}

} // namespace

namespace {

// A DoH server that refuses half of all streams (the first of each
// question) and says GOAWAY after every few answers: each refused query
// goes again at once, as the same attempt, on the connection or a new
// one, so that every probe is answered at its first attempt and none
// waits for a timeout.
TEST(StreamEngineTest, RefusedStreamsAreSentAgainAtOnce) {
  h2_refusing_server *server = h2_refusing_start("127.0.0.74", 10);
  ASSERT_TRUE(server);
  ns_target target;
  ASSERT_EQ(parse_ns_target("https://127.0.0.74", &target), 0);
  names n;
  for (int i = 0; i < 60; ++i)
    n.text.push_back("n" + std::to_string(i) + ".example");
  n.results.resize(n.text.size());
  const int timeout_ms = 3000;
  const engine_settings settings{10,         timeout_ms, 1,    0.0,
                                 DNS_TYPE_A, false,      false};
  const stream_options options{1, nullptr, true, false};
  engine_job job{n.text.size(), name_of, done, &n, nullptr};
  stream_stats stats;
  EXPECT_EQ(target_run(&target, &settings, &options, &job, &stats), 0);
  const h2_refusing_counts counts = h2_refusing_stop(server);

  for (std::size_t i = 0; i < n.results.size(); ++i) {
    EXPECT_EQ(n.results[i].outcome, PROBE_OK)
        << n.text[i] << " error " << n.results[i].error;
    EXPECT_EQ(n.results[i].attempts, 1) << n.text[i];
    EXPECT_LT(n.results[i].reply_us, timeout_ms * 1000 / 2) << n.text[i];
  }
  EXPECT_EQ(counts.refused, 60);
  EXPECT_EQ(counts.answered, 60);
  // Some were refused by a GOAWAY too, and sent on the next connection.
  EXPECT_GE(counts.goaways, 5);
  EXPECT_EQ(stats.reconnections, stats.opened - 1);
  EXPECT_GE(stats.opened, counts.goaways);
}

} // namespace

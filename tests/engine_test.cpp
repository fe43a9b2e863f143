// The probe engine against the fake nameserver: outcomes and their causes,
// what reaches the wire, which replies count, and the pace: queries in
// flight, the rate limit, and a stop. Then the engine over a transport of
// the test's own, and the poller under both.
#include "net/dns_message.h"
#include "net/poller.h"
#include "net/probe.h"
#include "net/transport.h"
#include "net/udp_transport.h"
#include "tests/support/fake_ns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

const char *const NS_IP = "127.0.0.70";
typedef std::chrono::steady_clock test_clock;

struct run {
  std::vector<std::string> names;
  std::map<std::string, probe_result> results;
  std::atomic<bool> stop{false};
};

const char *name_of(std::size_t i, void *context) {
  return static_cast<run *>(context)->names[i].c_str();
}

void done(std::size_t i, const probe_result *r, void *context) {
  run *ctx = static_cast<run *>(context);
  ctx->results[ctx->names[i]] = *r;
}

class EngineTest : public testing::Test {
protected:
  void SetUp() override {
    ns = fake_ns_start(NS_IP, FAKE_ANSWER_A);
    ASSERT_NE(ns, nullptr);
    ASSERT_EQ(parse_ns_address(NS_IP, DNS_PORT, &address), 0);
  }
  void TearDown() override {
    fake_ns_stop(ns);
  }
  // Runs the engine over `r.names`; its status.
  int probe_all(run &r, engine_settings s) {
    engine_job job{r.names.size(), name_of, done, &r, &r.stop};
    int error = 0;
    return udp_run(&address, &s, &job, &error);
  }
  std::vector<test_clock::time_point> arrivals(void) {
    std::vector<test_clock::time_point> at;
    for (const fake_datagram &d : fake_ns_received(ns))
      at.push_back(d.at);
    return at;
  }

  fake_ns *ns = nullptr;
  ns_address address;
  const engine_settings defaults{10, 2000, 2, 0.0, DNS_TYPE_A, false, false};
};

TEST_F(EngineTest, EachOutcomeWithItsCause) {
  fake_ns_rule(ns, "nx.example", FAKE_NXDOMAIN);
  fake_ns_rule(ns, "nodata.example", FAKE_NODATA);
  fake_ns_rule(ns, "refused.example", FAKE_REFUSED);
  fake_ns_rule(ns, "servfail.example", FAKE_SERVFAIL);
  fake_ns_rule(ns, "silent.example", FAKE_SILENT);
  const std::string too_long = std::string(64, 'a') + ".example";
  run r;
  r.names = {"ok.example",      "nx.example",       "nodata.example",
             "refused.example", "servfail.example", "silent.example",
             too_long};
  engine_settings s = defaults;
  s.timeout_ms = 300;
  s.qtype = 28; // AAAA: the type asked reaches the wire
  ASSERT_EQ(probe_all(r, s), 0);
  ASSERT_EQ(r.results.size(), r.names.size());

  auto expect = [&](const std::string &name, int outcome, int attempts,
                    int rcode, int error) {
    const probe_result &p = r.results[name];
    EXPECT_EQ(p.outcome, outcome) << name;
    EXPECT_EQ(p.attempts, attempts) << name;
    EXPECT_EQ(p.rcode, rcode) << name;
    EXPECT_EQ(p.error, error) << name;
    EXPECT_EQ(p.reply_us >= 0, outcome != PROBE_FAILED) << name;
  };
  expect("ok.example", PROBE_OK, 1, 0, PROBE_ERROR_NONE);
  expect("nx.example", PROBE_NEGATIVE, 1, 3, PROBE_ERROR_NONE);
  expect("nodata.example", PROBE_NEGATIVE, 1, 0, PROBE_ERROR_NONE);
  expect("refused.example", PROBE_FAILED, 2, 5, PROBE_ERROR_RCODE);
  expect("servfail.example", PROBE_FAILED, 2, 2, PROBE_ERROR_RCODE);
  expect("silent.example", PROBE_FAILED, 2, -1, PROBE_ERROR_TIMEOUT);
  expect(too_long, PROBE_FAILED, 0, -1, PROBE_ERROR_UNSENDABLE);

  std::vector<fake_datagram> wire = fake_ns_received(ns);
  EXPECT_EQ(wire.size(), 1u + 1 + 1 + 2 + 2 + 2);
  std::map<std::uint16_t, int> ids;
  for (const fake_datagram &d : wire) {
    EXPECT_EQ(d.qtype, 28);
    EXPECT_NE(d.qname, too_long);
    ++ids[d.id];
  }
  // Every query in flight had an ID of its own.
  EXPECT_EQ(ids.size(), wire.size());
}

TEST_F(EngineTest, LateReplyDecidesAndRepliesComeOutOfOrder) {
  // The first attempt times out at 400 ms; its reply at 600 ms decides the
  // second. The quick names meanwhile finish before it.
  fake_ns_rule(ns, "late.example", FAKE_DELAYED, 600);
  run r;
  r.names = {"late.example", "a.example", "b.example", "c.example"};
  engine_settings s = defaults;
  s.timeout_ms = 400;
  ASSERT_EQ(probe_all(r, s), 0);
  const probe_result &late = r.results["late.example"];
  EXPECT_EQ(late.outcome, PROBE_OK);
  EXPECT_EQ(late.attempts, 2);
  EXPECT_GE(late.reply_us, 600000);
  EXPECT_LT(late.reply_us, 800000);
  EXPECT_EQ(r.results["c.example"].outcome, PROBE_OK);
  EXPECT_LT(r.results["c.example"].reply_us, 400000);
}

TEST_F(EngineTest, RepliesFromStrangersAreIgnored) {
  fake_ns_rule(ns, "id.example", FAKE_WRONG_ID);
  fake_ns_rule(ns, "port.example", FAKE_WRONG_PORT);
  fake_ns_rule(ns, "addr.example", FAKE_WRONG_ADDR);
  run r;
  r.names = {"id.example", "port.example", "addr.example"};
  engine_settings s = defaults;
  s.timeout_ms = 300;
  ASSERT_EQ(probe_all(r, s), 0);
  for (const std::string &name : r.names) {
    EXPECT_EQ(r.results[name].outcome, PROBE_FAILED) << name;
    EXPECT_EQ(r.results[name].error, PROBE_ERROR_TIMEOUT) << name;
    EXPECT_EQ(r.results[name].attempts, 2) << name;
  }
}

TEST_F(EngineTest, NoMoreInFlightThanAsked) {
  // Every reply comes 300 ms late, so each query holds its place that long:
  // no window shorter than that can see more arrivals than places.
  fake_ns_default(ns, FAKE_DELAYED, 300);
  run r;
  for (int i = 0; i < 60; ++i)
    r.names.push_back("n" + std::to_string(i) + ".example");
  engine_settings s = defaults;
  s.concurrency = 7;
  ASSERT_EQ(probe_all(r, s), 0);
  EXPECT_EQ(r.results.size(), 60u);
  std::vector<test_clock::time_point> at = arrivals();
  ASSERT_EQ(at.size(), 60u);
  std::sort(at.begin(), at.end());
  std::size_t most = 0;
  for (std::size_t i = 0; i < at.size(); ++i) {
    std::size_t j = i;
    while (j < at.size() && at[j] - at[i] < std::chrono::milliseconds(250))
      ++j;
    most = std::max(most, j - i);
  }
  EXPECT_EQ(most, 7u);
}

TEST_F(EngineTest, RateIsHeld) {
  run r;
  for (int i = 0; i < 41; ++i)
    r.names.push_back("r" + std::to_string(i) + ".example");
  engine_settings s = defaults;
  s.concurrency = 100;
  s.rate = 100.0;
  ASSERT_EQ(probe_all(r, s), 0);
  std::vector<test_clock::time_point> at = arrivals();
  ASSERT_EQ(at.size(), 41u);
  std::sort(at.begin(), at.end());
  // 40 intervals of 10 ms.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      at.back() - at.front())
                      .count();
  EXPECT_GE(ms, 360);
  EXPECT_LE(ms, 440);
}

TEST_F(EngineTest, StopEndsARunAtAnyConcurrency) {
  fake_ns_default(ns, FAKE_SILENT);
  run r;
  for (int i = 0; i < 5000; ++i)
    r.names.push_back("s" + std::to_string(i) + ".example");
  engine_settings s = defaults;
  s.concurrency = 1000;
  test_clock::time_point stopped;
  std::thread stopper([&r, &stopped, this] {
    // A burst of 1000 may overflow the fake's socket: half will do.
    fake_ns_wait(ns, 500, 10000);
    stopped = test_clock::now();
    r.stop.store(true);
  });
  ASSERT_EQ(probe_all(r, s), 0);
  const test_clock::time_point returned = test_clock::now();
  stopper.join();
  EXPECT_LT(returned - stopped, std::chrono::milliseconds(1000));
  EXPECT_TRUE(r.results.empty());
}

// What the scripted transport does with an attempt, one step each time the
// engine is about to wait.
enum {
  STEP_SENT,       // on the wire
  STEP_SENT_AGAIN, // on the wire again, on a new connection
  STEP_LOST,       // its connection is lost
  STEP_ANSWER,     // a reply with an answer
  STEP_SERVFAIL,   // a reply that settles nothing
  STEP_STOP,       // the user stops the run
  // After a later attempt began: the first attempt's query fails, or is
  // answered at last (a stream of its own, as over HTTPS or QUIC).
  STEP_FIRST_FAILS,
  STEP_FIRST_ANSWERED,
};

// A transport that sends nothing: each name's attempts play their script.
class scripted_transport : public transport {
public:
  // By name, then by attempt: the steps.
  std::vector<std::vector<std::vector<int>>> script;
  std::atomic<bool> *stop = nullptr;
  int sends = 0;
  int timeouts = 0;
  bool finished = false;

  int start(probe_engine *e, poller *) override {
    e_ = e;
    return 0;
  }
  void send(int slot, probe_clock::time_point) override {
    const probe_slot &s = engine_slot(e_, slot);
    ++sends;
    if (s.tries == 1)
      first_[s.index] = engine_attempt(e_, slot);
    for (int step : script[s.index][static_cast<std::size_t>(s.tries - 1)])
      due_.push_back({slot, step});
  }
  int timed_out(int, probe_clock::time_point) override {
    ++timeouts;
    return PROBE_ERROR_TIMEOUT;
  }
  int before_wait(probe_clock::time_point now, int wait_ms) override {
    // What it plays may make more due: the engine comes back at once.
    const bool played = !due_.empty();
    while (!due_.empty()) {
      const std::pair<int, int> next = due_.front();
      due_.pop_front();
      play(next.first, next.second, now);
    }
    return played ? 0 : wait_ms;
  }
  void ready(int, int, probe_clock::time_point) override {}
  void finish() override {
    finished = true;
  }

private:
  void play(int slot, int step, probe_clock::time_point now) {
    const probe_slot &s = engine_slot(e_, slot);
    std::vector<unsigned char> reply(s.query, s.query + s.query_length);
    reply[DNS_FLAGS_OFFSET] = 0x81;
    reply[DNS_FLAGS_OFFSET + 1] = step == STEP_SERVFAIL ? 0x82 : 0x80;
    reply[DNS_ANCOUNT_OFFSET + 1] =
        step == STEP_ANSWER || step == STEP_FIRST_ANSWERED ? 1 : 0;
    switch (step) {
    case STEP_FIRST_FAILS:
      engine_attempt_ended(e_, first_[s.index], PROBE_ERROR_QUIC, false);
      break;
    case STEP_FIRST_ANSWERED:
      engine_reply_to(e_, first_[s.index], reply.data(),
                      static_cast<long>(reply.size()), REPLY_BY_STREAM);
      break;
    case STEP_SENT:
    case STEP_SENT_AGAIN:
      engine_sent(e_, slot, now, step == STEP_SENT_AGAIN);
      break;
    case STEP_LOST:
      engine_end_attempt(e_, slot, PROBE_ERROR_CONNECT, true);
      break;
    case STEP_ANSWER:
    case STEP_SERVFAIL:
      engine_reply(e_, slot, reply.data(), static_cast<long>(reply.size()),
                   REPLY_BY_QUESTION);
      break;
    default:
      stop->store(true);
    }
  }

  probe_engine *e_ = nullptr;
  std::deque<std::pair<int, int>> due_;
  std::map<std::size_t, attempt_ref> first_; // by name
};

class TransportTest : public testing::Test {
protected:
  // Runs the script, a name for each of its entries.
  int play(engine_settings s) {
    for (std::size_t i = 0; i < t.script.size(); ++i)
      r.names.push_back("n" + std::to_string(i) + ".example");
    t.stop = &r.stop;
    engine_job job{r.names.size(), name_of, done, &r, &r.stop};
    return probe_run(&t, &s, &job);
  }
  const probe_result &result(std::size_t i) {
    return r.results[r.names[i]];
  }

  scripted_transport t;
  run r;
  // Long enough that a deadline reached is a fault of the test's.
  const engine_settings defaults{2, 10000, 2, 0.0, DNS_TYPE_A, false, false};
};

// An attempt that ends is followed at once, not at its deadline; a lost
// connection does not hide what an earlier reply said.
TEST_F(TransportTest, AnAttemptThatEndsIsFollowedAtOnce) {
  t.script = {{{STEP_SENT, STEP_LOST}, {STEP_SENT, STEP_ANSWER}},
              {{STEP_SENT, STEP_SERVFAIL}, {STEP_SENT, STEP_LOST}},
              {{STEP_SENT, STEP_LOST}, {STEP_SENT, STEP_LOST}}};
  ASSERT_EQ(play(defaults), 0);
  EXPECT_EQ(result(0).outcome, PROBE_OK);
  EXPECT_EQ(result(0).attempts, 2);
  EXPECT_EQ(result(1).outcome, PROBE_FAILED);
  EXPECT_EQ(result(1).error, PROBE_ERROR_RCODE);
  EXPECT_EQ(result(1).rcode, 2);
  EXPECT_EQ(result(2).error, PROBE_ERROR_CONNECT);
  EXPECT_EQ(result(2).attempts, 2);
  EXPECT_EQ(t.sends, 6);
  EXPECT_EQ(t.timeouts, 0);
  EXPECT_TRUE(t.finished);
}

// A query sent again on a new connection is the same attempt, and its
// reply decides the probe.
TEST_F(TransportTest, AReplyAfterAReconnectionCountsOnce) {
  t.script = {{{STEP_SENT, STEP_SENT_AGAIN, STEP_ANSWER}, {}}};
  ASSERT_EQ(play(defaults), 0);
  EXPECT_EQ(result(0).outcome, PROBE_OK);
  EXPECT_EQ(result(0).attempts, 1);
  EXPECT_GE(result(0).reply_us, 0);
  EXPECT_EQ(t.sends, 1);
}

// What a transport holds of an earlier attempt: its failure no longer
// ends the attempt under way, and its late reply still decides the probe,
// as a late datagram does over UDP.
TEST_F(TransportTest, AnEarlierAttemptsReplyCountsAndItsFailureDoesNot) {
  t.script = {{{STEP_SENT, STEP_LOST},
               {STEP_SENT, STEP_FIRST_FAILS, STEP_FIRST_ANSWERED}}};
  ASSERT_EQ(play(defaults), 0);
  EXPECT_EQ(result(0).outcome, PROBE_OK);
  EXPECT_EQ(result(0).attempts, 2);
  EXPECT_EQ(t.sends, 2);
  EXPECT_EQ(t.timeouts, 0);
}

// After a stop nothing more is sent or reported, and the transport closes.
TEST_F(TransportTest, AStopEndsTheRun) {
  t.script.assign(10, {{STEP_SENT}, {STEP_SENT}});
  t.script[0][0].push_back(STEP_ANSWER);
  t.script[1][0].push_back(STEP_STOP);
  ASSERT_EQ(play(defaults), 0);
  EXPECT_EQ(r.results.size(), 1u);
  EXPECT_EQ(result(0).outcome, PROBE_OK);
  EXPECT_EQ(t.sends, 2);
  EXPECT_TRUE(t.finished);
}

} // namespace

namespace {

std::string canonical(const char *text) {
  ns_address address;
  if (parse_ns_address(text, DNS_PORT, &address) != 0)
    return "refused";
  char shown[NS_TEXT_SIZE];
  format_ns_address(&address, DNS_PORT, shown, sizeof shown);
  return shown;
}

// The poller tells each socket's events by its tag: writing when asked
// for, nothing to read until something comes, nothing once forgotten.
TEST(PollerTest, EventsAsWatched) {
  poller *p = poller_open();
  ASSERT_NE(p, nullptr);
  sock_t sock = sock_udp_nonblocking(AF_INET);
  ASSERT_NE(sock, -1);
  poller_event ready[4];
  ASSERT_EQ(poller_watch(p, sock, 7, POLL_READ | POLL_WRITE), 0);
  ASSERT_EQ(poller_wait(p, 1000, ready, 4), 1);
  EXPECT_EQ(ready[0].tag, 7);
  EXPECT_EQ(ready[0].events, POLL_WRITE);
  ASSERT_EQ(poller_watch(p, sock, 7, POLL_READ), 0);
  EXPECT_EQ(poller_wait(p, 0, ready, 4), 0);
  ASSERT_EQ(poller_watch(p, sock, 8, POLL_WRITE), 0);
  ASSERT_EQ(poller_wait(p, 1000, ready, 4), 1);
  EXPECT_EQ(ready[0].tag, 8);
  poller_forget(p, sock);
  EXPECT_EQ(poller_wait(p, 0, ready, 4), 0);
  sock_close(sock);
  poller_close(p);
}

TEST(NsAddressTest, WrittenFormsAreParsedStrictly) {
  EXPECT_EQ(canonical("192.0.2.53"), "192.0.2.53");
  EXPECT_EQ(canonical("192.0.2.53:53"), "192.0.2.53");
  EXPECT_EQ(canonical("192.0.2.53:5353"), "192.0.2.53:5353");
  EXPECT_EQ(canonical("2001:db8::53"), "2001:db8::53");
  EXPECT_EQ(canonical("[2001:DB8::53]:5353"), "[2001:db8::53]:5353");
  EXPECT_EQ(canonical("[::1]"), "::1");
  for (const char *bad :
       {"", "1.2.3", "010.0.0.1", "1.2.3.256", "255.255.255.255", "1.2.3.4:0",
        "1.2.3.4:65536", "1.2.3.4:053", "1.2.3.4:", "[1.2.3.4]", "[::1",
        "[::1]x", "::1:53:", "fe80::1%eth0", "example.com", "1.2.3.4 "})
    EXPECT_EQ(canonical(bad), "refused") << bad;
}

// Stream nameservers: the forms, their defaults, and how they are shown.
TEST(NsTargetTest, FormsDefaultsAndTheirText) {
  const struct {
    const char *text;
    int transport;
    const char *shown;
  } good[] = {
      {"192.0.2.53:5353", NS_UDP, "192.0.2.53:5353"},
      {"tcp://192.0.2.53", NS_TCP, "tcp://192.0.2.53"},
      {"tls://dns.example", NS_TLS, "tls://dns.example"},
      {"tls://dns.example:8853", NS_TLS, "tls://dns.example:8853"},
      {"tls://dns.example@192.0.2.53:853", NS_TLS,
       "tls://dns.example@192.0.2.53"},
      {"tls://[2001:db8::53]:8853", NS_TLS, "tls://[2001:db8::53]:8853"},
      {"https://192.0.2.53", NS_HTTPS, "https://192.0.2.53"},
      {"https://dns.example@192.0.2.53/q", NS_HTTPS,
       "https://dns.example@192.0.2.53/q"},
  };
  for (const auto &c : good) {
    ns_target t;
    ASSERT_EQ(parse_ns_target(c.text, &t), 0) << c.text;
    EXPECT_EQ(t.transport, c.transport) << c.text;
    char shown[NS_TARGET_TEXT_SIZE];
    format_ns_target(&t, shown, sizeof shown);
    EXPECT_STREQ(shown, c.shown) << c.text;
  }
  ns_target t;
  ASSERT_EQ(parse_ns_target("https://dns.example", &t), 0);
  EXPECT_TRUE(t.resolve);
  EXPECT_EQ(t.port, 443);
  EXPECT_STREQ(t.path, "/dns-query");
  for (const char *bad :
       {"tls://", "tls://bad name", "tls://a..b", "tls://dns.example:0",
        "tls://@192.0.2.53", "https://dns.example/a b", "udp://192.0.2.53",
        "tcp://dns.example", "tls://dns.example@nowhere"})
    EXPECT_EQ(parse_ns_target(bad, &t), -1) << bad;
}

} // namespace

// The Windows program's probe: the engine at one query in flight, two
// attempts of 2000 ms, with the classic wire (IDs from the process-wide
// counter, replies judged by sender and ID). Against the fake nameserver:
// outcomes, the datagrams it saw, and which replies count.
#include "net/dns_message.h"
#include "net/engine.h"
#include "net/ns_address.h"
#include "net/probe.h"
#include "tests/support/classic_probes.h"
#include "tests/support/fake_ns.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// This suite's fake nameserver; the suites keep to addresses of their own.
const char *const NS_IP = "127.0.0.20";

typedef std::chrono::steady_clock test_clock;

long long ms_between(test_clock::time_point from, test_clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from)
      .count();
}

std::vector<fake_datagram> for_name(const std::vector<fake_datagram> &all,
                                    const std::string &name) {
  std::vector<fake_datagram> some;
  for (const fake_datagram &d : all)
    if (d.qname == name)
      some.push_back(d);
  return some;
}

std::vector<probe_result> probe_names(const std::vector<std::string> &names,
                                      int pause_ms = 0) {
  std::vector<probe_result> results;
  for (const classic_probe &p : run_classic_probes(NS_IP, names, pause_ms))
    results.push_back(p.result);
  EXPECT_EQ(results.size(), names.size()) << "the engine did not start";
  return results;
}

class ProbeTest : public testing::Test {
protected:
  void SetUp() override {
    ns = fake_ns_start(NS_IP, FAKE_ANSWER_A);
    ASSERT_NE(ns, nullptr) << "cannot serve on " << NS_IP << ":53";
  }
  void TearDown() override {
    fake_ns_stop(ns);
  }
  // Probes `name` under `behaviour`; the datagrams the nameserver saw for it.
  std::vector<fake_datagram> probe(const char *name, fake_behaviour behaviour,
                                   int *outcome, int delay_ms = 2500) {
    fake_ns_rule(ns, name, behaviour, delay_ms);
    *outcome = probe_names({name})[0].outcome;
    return for_name(fake_ns_received(ns), name);
  }
  fake_ns *ns = nullptr;
};

TEST(DottedNameserverTest, InetAddrTextsOnPort53) {
  ns_address ns;
  ASSERT_EQ(parse_dotted_ns("127.1", &ns), 0); // inet_addr's shorthand
  const sockaddr_in *sin = reinterpret_cast<const sockaddr_in *>(&ns.sa);
  EXPECT_EQ(ns.length, static_cast<int>(sizeof(sockaddr_in)));
  EXPECT_EQ(sin->sin_family, AF_INET);
  EXPECT_EQ(sin->sin_port, htons(53));
  EXPECT_EQ(sin->sin_addr.s_addr, inet_addr("127.0.0.1"));
  for (const char *text : {"ns.example", "1.2.3.4.5", "300.1.1.1", ""})
    EXPECT_EQ(parse_dotted_ns(text, &ns), -1) << text;
}

TEST_F(ProbeTest, OneDatagramDecidesWithTheNextId) {
  const struct {
    const char *name;
    fake_behaviour behaviour;
    int outcome;
  } cases[] = {
      {"answered.test", FAKE_ANSWER_A, PROBE_OK},
      {"alias.test", FAKE_CNAME_ONLY, PROBE_OK},
      {"nxdomain.test", FAKE_NXDOMAIN, PROBE_NEGATIVE},
      {"nodata.test", FAKE_NODATA, PROBE_NEGATIVE},
  };
  for (const auto &c : cases) {
    const std::uint16_t id = query_id.load();
    int outcome = 0;
    std::vector<fake_datagram> seen = probe(c.name, c.behaviour, &outcome);
    EXPECT_EQ(outcome, c.outcome) << c.name;
    ASSERT_EQ(seen.size(), 1u) << c.name;
    EXPECT_EQ(seen[0].id, id) << c.name;
    EXPECT_EQ(seen[0].qtype, 1) << c.name;
    EXPECT_EQ(seen[0].bytes.size(), 16 + std::strlen(c.name) + 2) << c.name;
  }
}

// Refused, server failure, 11 bytes and a datagram too long for the buffer
// are all "no usable reply": a second attempt, then failure, without waiting
// out the timeout.
TEST_F(ProbeTest, UnusableRepliesAreTriedTwice) {
  const struct {
    const char *name;
    fake_behaviour behaviour;
  } cases[] = {
      {"refused.test", FAKE_REFUSED},
      {"servfail.test", FAKE_SERVFAIL},
      {"short.test", FAKE_SHORT},
      {"oversize.test", FAKE_OVERSIZE},
  };
  for (const auto &c : cases) {
    int outcome = 0;
    test_clock::time_point start = test_clock::now();
    std::vector<fake_datagram> seen = probe(c.name, c.behaviour, &outcome);
    EXPECT_LT(ms_between(start, test_clock::now()), 1000) << c.name;
    EXPECT_EQ(outcome, PROBE_FAILED) << c.name;
    ASSERT_EQ(seen.size(), 2u) << c.name;
    EXPECT_EQ(seen[1].id, static_cast<std::uint16_t>(seen[0].id + 1)) << c.name;
  }
}

TEST_F(ProbeTest, SilenceMeansTwoAttemptsTwoSecondsApart) {
  int outcome = 0;
  test_clock::time_point start = test_clock::now();
  std::vector<fake_datagram> seen = probe("silent.test", FAKE_SILENT, &outcome);
  long long total = ms_between(start, test_clock::now());
  EXPECT_EQ(outcome, PROBE_FAILED);
  ASSERT_EQ(seen.size(), 2u);
  long long gap = ms_between(seen[0].at, seen[1].at);
  EXPECT_GE(gap, 1950);
  EXPECT_LE(gap, 2500);
  EXPECT_GE(total, 3950);
  EXPECT_LE(total, 5000);
}

TEST_F(ProbeTest, LateReplyToTheFirstAttemptDecidesTheSecond) {
  int outcome = 0;
  test_clock::time_point start = test_clock::now();
  std::vector<fake_datagram> seen =
      probe("late.test", FAKE_DELAYED, &outcome, 2500);
  EXPECT_EQ(outcome, PROBE_OK);
  ASSERT_EQ(seen.size(), 2u);
  // Decided by the first attempt's reply, not the second's (due at 4.5 s).
  EXPECT_LT(ms_between(start, test_clock::now()), 3500);
}

// Each runs on an engine of its own, side by side, so that the three cost
// the time of one.
TEST_F(ProbeTest, DatagramsFromElsewhereOrWithAnotherIdAreIgnored) {
  const char *names[] = {"wrong-id.test", "wrong-port.test", "wrong-addr.test"};
  fake_ns_rule(ns, names[0], FAKE_WRONG_ID);
  fake_ns_rule(ns, names[1], FAKE_WRONG_PORT);
  fake_ns_rule(ns, names[2], FAKE_WRONG_ADDR);
  int outcomes[3] = {0, 0, 0};
  std::vector<std::thread> probes;
  for (int i = 0; i < 3; i++)
    probes.emplace_back(
        [&, i] { outcomes[i] = probe_names({names[i]})[0].outcome; });
  for (std::thread &t : probes)
    t.join();
  std::vector<fake_datagram> all = fake_ns_received(ns);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(outcomes[i], PROBE_FAILED) << names[i];
    std::vector<fake_datagram> seen = for_name(all, names[i]);
    ASSERT_EQ(seen.size(), 2u) << names[i];
    // The stray reply came at once; the attempt still lasted its 2 s.
    long long gap = ms_between(seen[0].at, seen[1].at);
    EXPECT_GE(gap, 1950) << names[i];
    EXPECT_LE(gap, 2500) << names[i];
  }
}

TEST_F(ProbeTest, LateAnswerToThePreviousNameDoesNotDecideTheNext) {
  fake_ns_rule(ns, "previous.test", FAKE_DELAYED, 2500);
  fake_ns_rule(ns, "next.test", FAKE_SILENT);
  // The answer to previous.test's second attempt comes 2.5 s after it; the
  // pause makes it fall amid next.test's first attempt, on the same socket.
  std::vector<probe_result> got =
      probe_names({"previous.test", "next.test"}, 500);
  EXPECT_EQ(got[0].outcome, PROBE_OK);
  EXPECT_EQ(got[1].outcome, PROBE_FAILED);
  std::vector<fake_datagram> all = fake_ns_received(ns);
  std::vector<fake_datagram> previous = for_name(all, "previous.test");
  std::vector<fake_datagram> next = for_name(all, "next.test");
  ASSERT_EQ(previous.size(), 2u);
  ASSERT_EQ(next.size(), 2u);
  test_clock::time_point stray =
      previous[1].at + std::chrono::milliseconds(2500);
  EXPECT_GT(stray, next[0].at);
  EXPECT_LT(stray, next[1].at);
  // The stray datagram did not restart the attempt's clock (it came 1.5 s in).
  long long gap = ms_between(next[0].at, next[1].at);
  EXPECT_GE(gap, 1950);
  EXPECT_LE(gap, 2500);
}

TEST_F(ProbeTest, NameWithoutWireFormIsNeverSentButTakesItsIds) {
  std::string label64(64, 'x');
  const std::vector<std::string> names = {"a..b", ".com", label64 + ".test",
                                          "after.test"};
  const std::uint16_t before = query_id.load();
  std::vector<probe_result> got = probe_names(names);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(got[static_cast<std::size_t>(i)].outcome, PROBE_FAILED);
    EXPECT_EQ(got[static_cast<std::size_t>(i)].error, PROBE_ERROR_UNSENDABLE);
    EXPECT_EQ(got[static_cast<std::size_t>(i)].attempts, 0);
  }
  EXPECT_EQ(got[3].outcome, PROBE_OK);
  std::vector<fake_datagram> all = fake_ns_received(ns);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].qname, "after.test");
  // Each attempt of each unsendable name took its ID all the same.
  EXPECT_EQ(all[0].id, static_cast<std::uint16_t>(before + 6));
}

} // namespace

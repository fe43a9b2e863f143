// Probes against the fake nameserver: the outcome of every behaviour and the
// datagrams the nameserver saw, which replies count, and the diagnostics.
#include "net/dns_message.h"
#include "net/probe.h"
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

int count_of(const std::string &text, const std::string &piece) {
  int n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos;
       at = text.find(piece, at + piece.size()))
    n++;
  return n;
}

class ProbeTest : public testing::Test {
protected:
  void SetUp() override {
    ns = fake_ns_start(NS_IP, FAKE_ANSWER_A);
    ASSERT_NE(ns, nullptr) << "cannot serve on " << NS_IP << ":53";
    sock = open_probe_socket(&address, NS_IP);
    ASSERT_NE(sock, -1);
  }
  void TearDown() override {
    close_probe_socket(sock);
    fake_ns_stop(ns);
  }
  // Probes `name` under `behaviour`; the datagrams the nameserver saw for it.
  std::vector<fake_datagram> probe(const char *name, fake_behaviour behaviour,
                                   int *outcome, int delay_ms = 2500) {
    fake_ns_rule(ns, name, behaviour, delay_ms);
    *outcome = probe_name(name, sock, address);
    return for_name(fake_ns_received(ns), name);
  }
  fake_ns *ns = nullptr;
  sock_t sock = -1;
  sockaddr_in address;
};

TEST_F(ProbeTest, OpenFillsTheNameserverAddress) {
  EXPECT_EQ(address.sin_family, AF_INET);
  EXPECT_EQ(address.sin_port, htons(53));
  EXPECT_EQ(address.sin_addr.s_addr, inet_addr(NS_IP));
  const unsigned char *zero = reinterpret_cast<const unsigned char *>(&address);
  for (std::size_t i = 8; i < sizeof address; i++)
    EXPECT_EQ(zero[i], 0) << i;
}

TEST_F(ProbeTest, OneDatagramDecides) {
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
    int outcome = 0;
    std::vector<fake_datagram> seen = probe(c.name, c.behaviour, &outcome);
    EXPECT_EQ(outcome, c.outcome) << c.name;
    ASSERT_EQ(seen.size(), 1u) << c.name;
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
    EXPECT_NE(seen[0].id, seen[1].id) << c.name;
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

// Each runs on a socket of its own, side by side, so that the three cost the
// time of one.
TEST_F(ProbeTest, DatagramsFromElsewhereOrWithAnotherIdAreIgnored) {
  const char *names[] = {"wrong-id.test", "wrong-port.test", "wrong-addr.test"};
  fake_ns_rule(ns, names[0], FAKE_WRONG_ID);
  fake_ns_rule(ns, names[1], FAKE_WRONG_PORT);
  fake_ns_rule(ns, names[2], FAKE_WRONG_ADDR);
  int outcomes[3] = {0, 0, 0};
  std::vector<std::thread> probes;
  for (int i = 0; i < 3; i++) {
    probes.emplace_back([&, i] {
      sockaddr_in own_address;
      sock_t own = open_probe_socket(&own_address, NS_IP);
      outcomes[i] = probe_name(names[i], own, own_address);
      close_probe_socket(own);
    });
  }
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
  int outcome = 0;
  std::vector<fake_datagram> previous =
      probe("previous.test", FAKE_DELAYED, &outcome, 2500);
  ASSERT_EQ(outcome, PROBE_OK);
  ASSERT_EQ(previous.size(), 2u);
  // The answer to previous.test's second attempt is still to come, 2.5 s
  // after it arrived; wait so that it falls amid next.test's first attempt.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<fake_datagram> next = probe("next.test", FAKE_SILENT, &outcome);
  EXPECT_EQ(outcome, PROBE_FAILED);
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

TEST_F(ProbeTest, NameWithoutWireFormIsNeverSent) {
  std::string label64(64, 'x');
  const std::string names[] = {"a..b", ".com", label64 + ".test"};
  for (const std::string &name : names) {
    std::uint16_t before = query_id.load();
    testing::internal::CaptureStderr();
    int outcome = probe_name(name.c_str(), sock, address);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(outcome, PROBE_FAILED) << name;
    EXPECT_EQ(err, "make dns package failed\nmake dns package failed\n")
        << name;
    // Each attempt took its ID all the same.
    EXPECT_EQ(query_id.load(), static_cast<std::uint16_t>(before + 2)) << name;
  }
  int outcome = 0;
  probe("after.test", FAKE_ANSWER_A, &outcome);
  EXPECT_EQ(outcome, PROBE_OK);
  std::vector<fake_datagram> all = fake_ns_received(ns);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].qname, "after.test");
}

TEST_F(ProbeTest, NameserverTextThatIsNoAddressFails) {
  for (const char *text : {"ns.example", "1.2.3.4.5", "300.1.1.1"}) {
    sockaddr_in other;
    testing::internal::CaptureStderr();
    sock_t s = open_probe_socket(&other, text);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s, -1) << text;
    EXPECT_EQ(err.rfind("inet_addr failed: ", 0), 0u) << text << ": " << err;
    EXPECT_EQ(count_of(err, "\n"), 1) << text;
  }
}

TEST_F(ProbeTest, NoSocketFailsEveryProbeWithTwoSendErrors) {
  for (const char *name : {"one.test", "two.test"}) {
    testing::internal::CaptureStderr();
    int outcome = probe_name(name, -1, address);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(outcome, PROBE_FAILED) << name;
    EXPECT_EQ(count_of(err, "sendto failed: "), 2) << err;
    EXPECT_EQ(err.rfind("sendto failed: ", 0), 0u) << err;
    EXPECT_EQ(count_of(err, "\n"), 2) << err;
  }
  int outcome = 0;
  probe("after.test", FAKE_ANSWER_A, &outcome);
  EXPECT_EQ(fake_ns_received(ns).size(), 1u);
}

} // namespace

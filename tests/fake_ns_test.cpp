// The fake nameserver itself: what it answers for each behaviour, and what it
// records. Everything else stands on it.
#include "tests/support/fake_ns.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

const char *const FAKE_IP = "127.0.0.10";

// RFC 1035 4.1: header (ID, RD set, one question), then the question.
std::vector<std::uint8_t> query_for(const char *name, unsigned id) {
  std::vector<std::uint8_t> q = {static_cast<std::uint8_t>(id >> 8),
                                 static_cast<std::uint8_t>(id & 0xFF),
                                 1,
                                 0,
                                 0,
                                 1,
                                 0,
                                 0,
                                 0,
                                 0,
                                 0,
                                 0};
  std::string n(name);
  std::size_t at = 0;
  while (at <= n.size() && !n.empty()) {
    std::size_t dot = n.find('.', at);
    if (dot == std::string::npos)
      dot = n.size();
    q.push_back(static_cast<std::uint8_t>(dot - at));
    q.insert(q.end(), n.begin() + static_cast<std::ptrdiff_t>(at),
             n.begin() + static_cast<std::ptrdiff_t>(dot));
    at = dot + 1;
  }
  q.insert(q.end(), {0, 0, 1, 0, 1});
  return q;
}

unsigned field(const std::vector<std::uint8_t> &r, std::size_t at) {
  return static_cast<unsigned>(r[at] << 8 | r[at + 1]);
}

class FakeNsTest : public testing::Test {
protected:
  void SetUp() override {
    ns = fake_ns_start(FAKE_IP, FAKE_ANSWER_A);
    ASSERT_NE(ns, nullptr) << "cannot serve on " << FAKE_IP << ":53";
    client = fake_client_open();
    ASSERT_NE(client, nullptr);
  }
  void TearDown() override {
    if (client)
      fake_client_close(client);
    fake_ns_stop(ns);
  }
  // Sends one query and returns the reply (empty when none came in time).
  std::vector<std::uint8_t> ask(const char *name, unsigned id,
                                int timeout_ms = 1000) {
    fake_client_send(client, FAKE_IP, query_for(name, id));
    std::vector<std::uint8_t> reply;
    from_port = 0;
    if (fake_client_recv(client, reply, from_ip, from_port, timeout_ms) != 0)
      reply.clear();
    return reply;
  }
  fake_ns *ns = nullptr;
  fake_client *client = nullptr;
  std::string from_ip;
  int from_port = 0;
};

TEST_F(FakeNsTest, AnswersOneARecordAndRecordsTheQuery) {
  std::vector<std::uint8_t> r = ask("example.com", 0x1234);
  ASSERT_GE(r.size(), 12u);
  EXPECT_EQ(field(r, 0), 0x1234u);
  EXPECT_EQ(r[2] & 0x80, 0x80); // QR
  EXPECT_EQ(r[3] & 0x0F, 0);    // RCODE
  EXPECT_EQ(field(r, 4), 1u);   // QDCOUNT
  EXPECT_EQ(field(r, 6), 1u);   // ANCOUNT
  EXPECT_EQ(field(r, 8), 0u);   // NSCOUNT
  EXPECT_EQ(from_ip, FAKE_IP);
  EXPECT_EQ(from_port, 53);
  // The A record's address closes the datagram.
  std::vector<std::uint8_t> tail(r.end() - 4, r.end());
  EXPECT_EQ(tail, (std::vector<std::uint8_t>{192, 0, 2, 1}));

  std::vector<fake_datagram> got = fake_ns_received(ns);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 0x1234);
  EXPECT_EQ(got[0].qname, "example.com");
  EXPECT_EQ(got[0].qtype, 1);
  EXPECT_EQ(got[0].bytes, query_for("example.com", 0x1234));
}

TEST_F(FakeNsTest, CountsAndCodesFollowTheRuleForEachName) {
  struct {
    const char *name;
    fake_behaviour behaviour;
    unsigned rcode, qd, an, ns;
  } cases[] = {
      {"cname.test", FAKE_CNAME_ONLY, 0, 1, 1, 0},
      {"nx.test", FAKE_NXDOMAIN, 3, 1, 0, 1},
      {"nodata.test", FAKE_NODATA, 0, 1, 0, 1},
      {"refused.test", FAKE_REFUSED, 5, 0, 0, 0},
      {"servfail.test", FAKE_SERVFAIL, 2, 0, 0, 0},
  };
  for (auto &c : cases)
    fake_ns_rule(ns, c.name, c.behaviour);
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> r = ask(c.name, 7);
    ASSERT_GE(r.size(), 12u);
    EXPECT_EQ(r[3] & 0x0Fu, c.rcode);
    EXPECT_EQ(field(r, 4), c.qd);
    EXPECT_EQ(field(r, 6), c.an);
    EXPECT_EQ(field(r, 8), c.ns);
    if (c.qd == 0) {
      EXPECT_EQ(r.size(), 12u);
    }
  }
  // CNAME only: the one answer record is of type 5.
  std::vector<std::uint8_t> r = ask("cname.test", 8);
  std::size_t answer = query_for("cname.test", 8).size();
  ASSERT_GT(r.size(), answer + 4);
  EXPECT_EQ(field(r, answer + 2), 5u);
}

TEST_F(FakeNsTest, MalformedRepliesHaveTheirSizesAndIds) {
  fake_ns_rule(ns, "short.test", FAKE_SHORT);
  fake_ns_rule(ns, "big.test", FAKE_OVERSIZE);
  fake_ns_rule(ns, "id.test", FAKE_WRONG_ID);
  EXPECT_EQ(ask("short.test", 1).size(), 11u);
  std::vector<std::uint8_t> big = ask("big.test", 2);
  EXPECT_EQ(big.size(), 1500u);
  EXPECT_EQ(field(big, 6), 1u);
  std::vector<std::uint8_t> wrong = ask("id.test", 0xFFFF);
  ASSERT_GE(wrong.size(), 12u);
  EXPECT_EQ(field(wrong, 0), 0u);
}

TEST_F(FakeNsTest, WrongSourcesSendFromElsewhere) {
  fake_ns_rule(ns, "port.test", FAKE_WRONG_PORT);
  fake_ns_rule(ns, "addr.test", FAKE_WRONG_ADDR);
  ASSERT_FALSE(ask("port.test", 3).empty());
  EXPECT_EQ(from_ip, FAKE_IP);
  EXPECT_NE(from_port, 53);
  ASSERT_FALSE(ask("addr.test", 4).empty());
  EXPECT_EQ(from_ip, "127.0.1.10");
}

TEST_F(FakeNsTest, SilentStaysSilentAndDelayedComesLate) {
  fake_ns_rule(ns, "quiet.test", FAKE_SILENT);
  fake_ns_rule(ns, "late.test", FAKE_DELAYED, 300);
  EXPECT_TRUE(ask("quiet.test", 5, 300).empty());
  EXPECT_TRUE(fake_ns_wait(ns, 1, 1000));

  fake_client_send(client, FAKE_IP, query_for("late.test", 6));
  std::vector<std::uint8_t> r;
  EXPECT_NE(fake_client_recv(client, r, from_ip, from_port, 150), 0);
  ASSERT_EQ(fake_client_recv(client, r, from_ip, from_port, 1000), 0);
  std::vector<fake_datagram> got = fake_ns_received(ns);
  ASSERT_EQ(got.size(), 2u);
  auto waited = std::chrono::steady_clock::now() - got[1].at;
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_EQ(field(r, 0), 6u);
}

TEST_F(FakeNsTest, RecordsDatagramsThatAreNoQuestion) {
  fake_client_send(client, FAKE_IP, {1, 2, 3});
  ASSERT_TRUE(fake_ns_wait(ns, 1, 1000));
  std::vector<fake_datagram> got = fake_ns_received(ns);
  EXPECT_EQ(got[0].bytes, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(got[0].qname, "");
  fake_ns_forget(ns);
  EXPECT_TRUE(fake_ns_received(ns).empty());
}

TEST(FakeNsStart, RefusesATextThatIsNoAddress) {
  EXPECT_EQ(fake_ns_start("not an address", FAKE_ANSWER_A), nullptr);
}

} // namespace

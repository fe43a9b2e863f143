// The query datagram byte for byte, its IDs, the names that have no wire form,
// and the reply kinds from crafted headers.
#include "net/dns_message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The datagram build_query makes in the probe's zero-filled 300-byte buffer;
// empty when it refuses.
std::vector<unsigned char> query_for(const char *name) {
  unsigned char buffer[300];
  std::memset(buffer, 0, sizeof buffer);
  int n = build_query(name, DNS_TYPE_A, buffer, sizeof buffer);
  return n < 0 ? std::vector<unsigned char>()
               : std::vector<unsigned char>(buffer, buffer + n);
}

// A name of `length` characters: labels of 62 letters, then what is left.
std::string name_of_length(std::size_t length) {
  std::string name;
  for (char c = 'a'; name.size() + 63 < length; c++)
    name += std::string(62, c) + ".";
  return name + std::string(length - name.size(), 'z');
}

unsigned id_of(const std::vector<unsigned char> &q) {
  return static_cast<unsigned>(q.at(0) << 8 | q.at(1));
}

// query_id is process-wide: this query is built during static initialisation,
// before main, so it is the process's first whatever order or filter the
// tests below run with.
const std::vector<unsigned char> first_query = query_for("example.com");

TEST(QueryIdTest, FirstQueryOfTheProcessCarries1234) {
  ASSERT_GE(first_query.size(), 2u);
  EXPECT_EQ(first_query[0], 0x04);
  EXPECT_EQ(first_query[1], 0xD2);
}

TEST(QueryIdTest, ConsecutiveQueriesTakeConsecutiveIdsAndWrap) {
  unsigned before = query_id.load();
  EXPECT_EQ(id_of(query_for("a.example")), before);
  EXPECT_EQ(id_of(query_for("b.example")), (before + 1) & 0xFFFF);

  query_id.store(65534);
  EXPECT_EQ(id_of(query_for("a.example")), 65534u);
  EXPECT_EQ(id_of(query_for("a.example")), 65535u);
  EXPECT_EQ(id_of(query_for("a.example")), 0u);
  EXPECT_EQ(query_id.load(), 1);
}

TEST(BuildQueryTest, ExampleComByteForByte) {
  std::uint16_t id = query_id.load();
  std::vector<unsigned char> expected = {static_cast<unsigned char>(id >> 8),
                                         static_cast<unsigned char>(id & 0xFF),
                                         0x01,
                                         0x00,
                                         0x00,
                                         0x01,
                                         0x00,
                                         0x00,
                                         0x00,
                                         0x00,
                                         0x00,
                                         0x00,
                                         7,
                                         'e',
                                         'x',
                                         'a',
                                         'm',
                                         'p',
                                         'l',
                                         'e',
                                         3,
                                         'c',
                                         'o',
                                         'm',
                                         0,
                                         0x00,
                                         0x01,
                                         0x00,
                                         0x01};
  std::vector<unsigned char> q = query_for("example.com");
  EXPECT_EQ(q.size(), 29u);
  EXPECT_EQ(q, expected);
}

TEST(BuildQueryTest, TrailingDotGivesTheSameDatagram) {
  std::vector<unsigned char> plain = query_for("example.com");
  std::vector<unsigned char> dotted = query_for("example.com.");
  ASSERT_EQ(plain.size(), 29u);
  ASSERT_EQ(dotted.size(), 29u);
  EXPECT_EQ(id_of(dotted), (id_of(plain) + 1) & 0xFFFF);
  EXPECT_TRUE(std::equal(plain.begin() + 2, plain.end(), dotted.begin() + 2));
}

TEST(BuildQueryTest, EmptyNameAndLoneDotAskForTheRoot) {
  for (const char *name : {"", "."}) {
    std::vector<unsigned char> q = query_for(name);
    ASSERT_EQ(q.size(), 17u) << '"' << name << '"';
    EXPECT_EQ(q[12], 0);
    EXPECT_EQ(q[14], 1); // QTYPE A right after the root's zero byte
  }
}

TEST(BuildQueryTest, NamesWithoutWireFormAreRefusedAfterTakingAnId) {
  std::string label64(64, 'x');
  std::string long_name = name_of_length(254); // 256 octets in label form
  const std::string refused[] = {
      "a..b",           ".com",           "..",     "com..", "example..com.",
      label64 + ".com", "com." + label64, long_name};
  for (const std::string &name : refused) {
    unsigned char buffer[300];
    std::memset(buffer, 0xAA, sizeof buffer);
    std::uint16_t before = query_id.load();
    EXPECT_EQ(build_query(name.c_str(), DNS_TYPE_A, buffer, sizeof buffer), -1)
        << name;
    EXPECT_EQ(query_id.load(), static_cast<std::uint16_t>(before + 1)) << name;
    EXPECT_EQ(buffer[0], 0xAA) << name;
  }
}

TEST(BuildQueryTest, LongestValidLabelAndNameAreBuilt) {
  std::string label63(63, 'x');
  EXPECT_EQ(query_for((label63 + ".com").c_str()).size(), 16u + 69u);
  std::string name253 = name_of_length(253);
  EXPECT_EQ(query_for(name253.c_str()).size(), 16u + 255u);
  EXPECT_EQ(query_for((name253 + ".").c_str()).size(), 16u + 255u);
}

TEST(BuildQueryTest, DatagramLongerThanTheBufferIsRefused) {
  unsigned char buffer[29];
  std::memset(buffer, 0xAA, sizeof buffer);
  std::uint16_t before = query_id.load();
  EXPECT_EQ(build_query("example.com", DNS_TYPE_A, buffer, 28), -1);
  EXPECT_EQ(query_id.load(), static_cast<std::uint16_t>(before + 1));
  EXPECT_EQ(buffer[0], 0xAA);
  EXPECT_EQ(build_query("example.com", DNS_TYPE_A, buffer, 29), 29);
}

TEST(EncodeQnameTest, WalksTheNameBackwards) {
  unsigned char out[256];
  std::memset(out, 0, sizeof out);
  const unsigned char expected[] = {3,   'w', 'w', 'w', 7,   'e', 'x', 'a', 'm',
                                    'p', 'l', 'e', 3,   'c', 'o', 'm', 0};
  ASSERT_EQ(encode_qname("www.example.com", 15, out), 17);
  EXPECT_EQ(std::memcmp(out, expected, sizeof expected), 0);

  // The walk itself stops at an empty label; build_query refuses such names.
  std::memset(out, 0, sizeof out);
  EXPECT_EQ(encode_qname("a..b", 4, out), 3);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 'a');
}

std::vector<unsigned char> header(unsigned rcode, unsigned an, unsigned ns) {
  return {0x04, 0xD2,
          0x81, static_cast<unsigned char>(0x80 | rcode),
          0,    1,
          0,    static_cast<unsigned char>(an),
          0,    static_cast<unsigned char>(ns),
          0,    0};
}

TEST(ClassifyReplyTest, KindsFromCraftedHeaders) {
  std::vector<unsigned char> negative = header(3, 0, 1);
  EXPECT_EQ(classify_reply(12, negative.data()), REPLY_NEGATIVE);
  std::vector<unsigned char> answered = header(0, 2, 1);
  EXPECT_EQ(classify_reply(12, answered.data()), REPLY_ANSWERED);
  std::vector<unsigned char> servfail = header(2, 0, 0);
  EXPECT_EQ(classify_reply(12, servfail.data()), REPLY_EMPTY);
  // Counts above 255 live in the high byte.
  std::vector<unsigned char> many = header(0, 0, 0);
  many[DNS_ANCOUNT_OFFSET] = 1;
  EXPECT_EQ(classify_reply(12, many.data()), REPLY_ANSWERED);
}

TEST(ClassifyReplyTest, ShortOrFailedReceiveIsShort) {
  std::vector<unsigned char> answered = header(0, 2, 0);
  EXPECT_EQ(classify_reply(11, answered.data()), REPLY_SHORT);
  EXPECT_EQ(classify_reply(0, answered.data()), REPLY_SHORT);
  EXPECT_EQ(classify_reply(-1, answered.data()), REPLY_SHORT);
}

} // namespace

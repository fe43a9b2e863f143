// Discovery of the machine's nameservers and the start-up split. Natively
// the nameservers come from a resolver file of the test's own; under Wine
// from the platform's list, which mirrors the sandbox's /etc/resolv.conf.
#include "run/local_dns.h"

#include "tests/support/run_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace {

class LocalDnsTest : public testing::Test {
protected:
  void TearDown() override {
    forget_local_nameservers();
  }

  // What get_local_dns writes into a 128-byte buffer of stale bytes.
  std::string discover() {
    char text[LOCAL_DNS_TEXT_SIZE];
    std::memset(text, 'X', sizeof text);
    EXPECT_EQ(get_local_dns(text, static_cast<int>(sizeof text)), 0);
    std::size_t length = strnlen(text, sizeof text);
    for (std::size_t i = length; i < sizeof text; ++i)
      EXPECT_EQ(text[i], '\0') << "byte " << i << " not cleared";
    return std::string(text, length);
  }

  scratch_dir dir;
};

TEST_F(LocalDnsTest, SplitOfTwoAddressesDropsTheComma) {
  use_local_text("127.0.0.41,127.0.0.42", 2);
  EXPECT_EQ(local_dns_num, 2);
  EXPECT_STREQ(local_dns_1, "127.0.0.41");
  EXPECT_STREQ(local_dns_2, "127.0.0.42");
  EXPECT_EQ(local_dns_1, local_dns_text);
}

TEST_F(LocalDnsTest, SplitOfOneAddressLeavesNoSecond) {
  use_local_text("127.0.0.41", 1);
  EXPECT_EQ(local_dns_num, 1);
  EXPECT_STREQ(local_dns_1, "127.0.0.41");
  EXPECT_EQ(local_dns_2, nullptr);
}

TEST_F(LocalDnsTest, EmptyFirstEntryBeforeSecondLeavesFirstEmpty) {
  use_local_text(",127.0.0.42", 2);
  EXPECT_EQ(local_dns_num, 2);
  EXPECT_STREQ(local_dns_1, "");
  EXPECT_STREQ(local_dns_2, "127.0.0.42");
}

TEST_F(LocalDnsTest, SplitOfEmptyTextIsOneEmptyNameserver) {
  use_local_text("", 1);
  EXPECT_EQ(local_dns_num, 1);
  EXPECT_STREQ(local_dns_1, "");
  EXPECT_EQ(local_dns_2, nullptr);
}

TEST_F(LocalDnsTest, CountThatDisagreesWithTheTextIsReportedAndFollowsIt) {
  testing::internal::CaptureStderr();
  local_dns_num = 2;
  EXPECT_EQ(split_local_dns_text("127.0.0.41"), -1);
  EXPECT_EQ(local_dns_num, 1);
  EXPECT_EQ(local_dns_2, nullptr);
  local_dns_num = 1;
  EXPECT_EQ(split_local_dns_text("127.0.0.41,127.0.0.42"), -1);
  EXPECT_EQ(local_dns_num, 2);
  EXPECT_STREQ(local_dns_2, "127.0.0.42");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "local dns check failed: local_dns_num == 1\n"
            "local dns check failed: local_dns_num == 2\n");
}

#ifndef _WIN32

TEST_F(LocalDnsTest, OneNameserver) {
  use_local_nameservers({"127.0.0.41"});
  EXPECT_EQ(discover(), "127.0.0.41");
  EXPECT_EQ(local_dns_num, 1);
  EXPECT_STREQ(local_dns_1, "127.0.0.41");
  EXPECT_EQ(local_dns_2, nullptr);
}

TEST_F(LocalDnsTest, TwoNameserversAreJoinedThenSplit) {
  use_local_nameservers({"127.0.0.41", "127.0.0.42"});
  EXPECT_EQ(discover(), "127.0.0.41,127.0.0.42");
  EXPECT_EQ(local_dns_num, 2);
  EXPECT_STREQ(local_dns_1, "127.0.0.41");
  EXPECT_STREQ(local_dns_2, "127.0.0.42");
}

TEST_F(LocalDnsTest, OnlyTheFirstTwoOfThreeAreTaken) {
  use_local_nameservers({"127.0.0.43", "127.0.0.41", "127.0.0.42"});
  EXPECT_EQ(discover(), "127.0.0.43,127.0.0.41");
  EXPECT_EQ(local_dns_num, 2);
  EXPECT_STREQ(local_dns_1, "127.0.0.43");
  EXPECT_STREQ(local_dns_2, "127.0.0.41");
}

TEST_F(LocalDnsTest, TwoAddressesOfFifteenCharactersMakeThirtyOne) {
  use_local_nameservers({"127.100.100.141", "127.200.200.142"});
  std::string text = discover();
  EXPECT_EQ(text, "127.100.100.141,127.200.200.142");
  EXPECT_EQ(text.size(), 31u);
  EXPECT_STREQ(local_dns_1, "127.100.100.141");
  EXPECT_STREQ(local_dns_2, "127.200.200.142");
}

TEST_F(LocalDnsTest, NoneConfiguredIsOneEmptyNameserver) {
  use_local_nameservers({});
  EXPECT_EQ(discover(), "");
  EXPECT_EQ(local_dns_num, 1);
  EXPECT_STREQ(local_dns_1, "");
  EXPECT_EQ(local_dns_2, nullptr);
}

TEST_F(LocalDnsTest, MissingResolverFileIsNoNameserver) {
  resolv_conf_path = "no-such-resolv.conf";
  EXPECT_EQ(discover(), "");
  EXPECT_EQ(local_dns_num, 1);
}

TEST_F(LocalDnsTest, OnlyWellFormedIpv4LinesCountInFileOrder) {
  // The second piece of a long line is no line of its own.
  std::string long_line =
      "#" + std::string(254, 'x') + "nameserver 127.0.0.9\n";
  write_file("resolv.conf", "nameserver ::1\n"
                            "nameserver fe80::1%lo\n"
                            "nameserver 127.0.0.300\n"
                            "nameserver 127.0.0.1234567890\n"
                            "nameserver127.0.0.8\n"
                            " nameserver 127.0.0.7\n"
                            "# nameserver 127.0.0.6\n"
                            "nameserver\n" +
                                long_line +
                                "search example\n"
                                "nameserver 127.0.0.43 # the first\n"
                                "nameserver\t127.0.0.44\r\n"
                                "nameserver 127.0.0.45\n");
  resolv_conf_path = "resolv.conf";
  EXPECT_EQ(discover(), "127.0.0.43,127.0.0.44");
  EXPECT_EQ(local_dns_num, 2);
}

TEST_F(LocalDnsTest, LastLineWithoutLineEndCounts) {
  write_file("resolv.conf", "nameserver 127.0.0.41");
  resolv_conf_path = "resolv.conf";
  EXPECT_EQ(discover(), "127.0.0.41");
}

TEST_F(LocalDnsTest, LaterChangeOfTheConfigurationIsNotSeen) {
  use_local_nameservers({"127.0.0.41", "127.0.0.42"});
  write_file("resolv.conf", "nameserver 127.0.0.49\n");
  EXPECT_STREQ(local_dns_1, "127.0.0.41");
  EXPECT_STREQ(local_dns_2, "127.0.0.42");
  EXPECT_EQ(local_dns_num, 2);
}

#else

// The first two IPv4 nameservers of the sandbox's resolver file, read
// through Wine's view of the root, as Wine's resolver reads them.
std::string sandbox_nameservers() {
  std::istringstream in(read_file("Z:\\etc\\resolv.conf"));
  std::string line, joined;
  int found = 0;
  while (found < 2 && std::getline(in, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    words >> keyword >> address;
    if (keyword != "nameserver" || address.find(':') != std::string::npos)
      continue;
    joined += (found++ ? "," : "") + address;
  }
  // With no nameserver line the resolver library takes its own default.
  return found ? joined : "127.0.0.1";
}

TEST_F(LocalDnsTest, PlatformListIsTheSandboxResolverFile) {
  std::string expected = sandbox_nameservers();
  EXPECT_EQ(discover(), expected);
  EXPECT_EQ(local_dns_num, expected.find(',') == std::string::npos ? 1 : 2);
}

TEST_F(LocalDnsTest, StartUpSplitOfThePlatformListIsConsistent) {
  std::string expected = sandbox_nameservers();
  EXPECT_EQ(split_local_dns(), 0);
  std::string joined = local_dns_1;
  if (local_dns_num == 2)
    joined += std::string(",") + local_dns_2;
  EXPECT_EQ(joined, expected);
}

#endif

} // namespace

// Whole runs of the test driver against fake nameservers on the two local
// addresses and the two public ones: the slices, the nameserver sequence,
// the window calls in order, the log file and standard output.
#include "run/test_driver.h"

#include "res/resource.h"
#include "run/domain_list.h"
#include "run/local_dns.h"
#include "tests/support/fake_ns.h"
#include "tests/support/run_files.h"
#include "tests/support/window_double.h"
#include "ui/channel.h"
#include "ui/window_ops.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

namespace {

const char LOCAL_1[] = "127.0.0.41";
const char LOCAL_2[] = "127.0.0.42";
const char *const SERVERS[] = {LOCAL_1, LOCAL_2, public_dns_1, public_dns_2};
const char LOG_HEADER[] =
    "该文件记录每次检查dns的成功率，以及查询失败的域名\r\n\r\n";

typedef std::vector<std::pair<int, int>> slice_list;

slice_list slices_of(int count) {
  slice_job bounds[MAX_SLICES] = {};
  int n = build_slices(count, MAX_SLICES, bounds);
  slice_list got;
  for (int i = 0; i < n; ++i)
    got.emplace_back(bounds[i].first, bounds[i].last);
  return got;
}

TEST(SliceTest, TwentyFiveLinesAreNineOfTwoAndOneOfSeven) {
  EXPECT_EQ(slices_of(25), (slice_list{{0, 1},
                                       {2, 3},
                                       {4, 5},
                                       {6, 7},
                                       {8, 9},
                                       {10, 11},
                                       {12, 13},
                                       {14, 15},
                                       {16, 17},
                                       {18, 24}}));
}

TEST(SliceTest, FewerThanTenLinesAreOneLineEach) {
  EXPECT_EQ(
      slices_of(7),
      (slice_list{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}}));
}

TEST(SliceTest, TenLinesAreTenSlicesOfOne) {
  slice_list want;
  for (int i = 0; i < 10; ++i)
    want.emplace_back(i, i);
  EXPECT_EQ(slices_of(10), want);
}

TEST(SliceTest, NineteenLinesLeaveTenToTheLastSlice) {
  slice_list want;
  for (int i = 0; i < 9; ++i)
    want.emplace_back(i, i);
  want.emplace_back(9, 18);
  EXPECT_EQ(slices_of(19), want);
}

TEST(SliceTest, FullListIsNineOf204AndOneOf212) {
  slice_list want;
  for (int i = 0; i < 9; ++i)
    want.emplace_back(i * 204, i * 204 + 203);
  want.emplace_back(1836, 2047);
  EXPECT_EQ(slices_of(2048), want);
}

TEST(SliceTest, NoLinesNoSlices) {
  EXPECT_TRUE(slices_of(0).empty());
}

class DriverTest : public testing::Test {
protected:
  void SetUp() override {
    window_double_reset();
    std::memset(output_text, 0, sizeof output_text);
    for (int i = 0; i < 4; ++i) {
      servers[i] = fake_ns_start(SERVERS[i], FAKE_ANSWER_A);
      ASSERT_NE(servers[i], nullptr) << SERVERS[i];
    }
  }

  void TearDown() override {
    for (fake_ns *&ns : servers) {
      if (ns)
        fake_ns_stop(ns);
      ns = nullptr;
    }
    forget_local_nameservers();
  }

  fake_ns *server(const std::string &ip) {
    for (int i = 0; i < 4; ++i) {
      if (ip == SERVERS[i])
        return servers[i];
    }
    return nullptr;
  }

  // Every probe is answered at once: one datagram per name.
  void expect_passes_at_servers(const std::vector<std::string> &passes,
                                int usable) {
    for (const char *ip : SERVERS) {
      std::size_t runs = 0;
      for (const std::string &p : passes)
        runs += p == ip;
      std::size_t want = runs * 2 * static_cast<std::size_t>(usable);
      fake_ns_wait(server(ip), want, 2000);
      EXPECT_EQ(fake_ns_received(server(ip)).size(), want) << ip;
    }
  }

  scratch_dir dir;
  fake_ns *servers[4] = {};
};

const std::vector<std::string> three_lines = {
    "zelkor:a0.example\n", "quarin:a1.example\n", "zelkor:a2.example\n"};

struct sequence_case {
  const char *label;
  std::vector<std::string> configured; // as a resolver file names them
  const char *text;                    // or the local text given directly
  int count;
  std::vector<std::string> passes;
};

void PrintTo(const sequence_case &c, std::ostream *os) {
  *os << c.label;
}

class SequenceTest : public DriverTest,
                     public testing::WithParamInterface<sequence_case> {};

TEST_P(SequenceTest, PassesFollowTheSequence) {
  const sequence_case &c = GetParam();
  if (c.text)
    use_local_text(c.text, c.count);
  else
    use_local_nameservers(c.configured);
  load_lines(three_lines);

  std::string out = run_whole_test();
  std::string log = read_file("log.txt");

  EXPECT_EQ(begun_nameservers(out), c.passes);
  EXPECT_EQ(reported_nameservers(out), c.passes);
  EXPECT_EQ(reported_nameservers(log), c.passes);
  EXPECT_EQ(log.compare(0, std::strlen(LOG_HEADER), LOG_HEADER), 0);
  expect_passes_at_servers(c.passes, 3);

  std::vector<std::string> statuses;
  for (const window_call &call : window_calls()) {
    if (call.op == "text" && call.id == IDC_STATUS)
      statuses.push_back(call.text);
  }
  std::vector<std::string> want;
  for (const std::string &p : c.passes)
    want.push_back("Testing namserver " + p);
  want.push_back("Finish.");
  EXPECT_EQ(statuses, want);
  window_drain();
}

const char P1[] = "223.5.5.5";
const char P2[] = "119.29.29.29";

INSTANTIATE_TEST_SUITE_P(
    EveryRow, SequenceTest,
    testing::Values(
        sequence_case{"OneLocal", {LOCAL_1}, nullptr, 0, {LOCAL_1, P1, P2}},
        sequence_case{"OneLocalIsP1", {P1}, nullptr, 0, {P1, P2}},
        sequence_case{"OneLocalIsP2", {P2}, nullptr, 0, {P2, P1}},
        sequence_case{"NoLocal", {}, nullptr, 0, {P1, P2}},
        sequence_case{"TwoLocals",
                      {LOCAL_1, LOCAL_2},
                      nullptr,
                      0,
                      {LOCAL_1, LOCAL_2, P1, P2}},
        sequence_case{
            "FirstLocalIsP1", {P1, LOCAL_2}, nullptr, 0, {P1, LOCAL_2, P2}},
        sequence_case{
            "SecondLocalIsP1", {LOCAL_1, P1}, nullptr, 0, {LOCAL_1, P1, P2}},
        sequence_case{
            "FirstLocalIsP2", {P2, LOCAL_2}, nullptr, 0, {P2, LOCAL_2, P1}},
        sequence_case{
            "SecondLocalIsP2", {LOCAL_1, P2}, nullptr, 0, {LOCAL_1, P2, P1}},
        sequence_case{"LocalsAreP1AndP2", {P1, P2}, nullptr, 0, {P1, P2}},
        sequence_case{"LocalsAreP2AndP1", {P2, P1}, nullptr, 0, {P2, P1}},
        sequence_case{"SameLocalTwice",
                      {LOCAL_1, LOCAL_1},
                      nullptr,
                      0,
                      {LOCAL_1, LOCAL_1, P1, P2}},
        sequence_case{
            "FirstLocalEmpty", {}, ",127.0.0.42", 2, {LOCAL_2, P1, P2}},
        sequence_case{
            "SecondLocalEmpty", {}, "127.0.0.41,", 2, {LOCAL_1, P1, P2}}),
    [](const testing::TestParamInfo<sequence_case> &param) {
      return std::string(param.param.label);
    });

// One call as the test states it; the pane's texts are checked apart.
std::string describe(const window_call &c) {
  if (c.op == "enable")
    return "enable " + std::to_string(c.id) + " " + std::to_string(c.wparam);
  if (c.op == "text" && c.id == IDC_OUTPUT && !c.text.empty() &&
      c.text[0] != '\r')
    return "text 1008 (report)";
  if (c.op == "text")
    return "text " + std::to_string(c.id) + " " + c.text;
  return c.op + " " + std::to_string(c.id) + " " + std::to_string(c.message) +
         " " + std::to_string(c.wparam) + " " + std::to_string(c.lparam);
}

TEST_F(DriverTest, WindowCallsOfARunComeInOrderFromTheDriverThread) {
  use_local_nameservers({LOCAL_1});
  load_lines(three_lines);

  testing::internal::CaptureStdout();
  std::thread::id driver_id;
  const driver_settings settings =
      classic_driver_settings(domain_list, domain_count);
  std::thread driver([&driver_id, &settings] {
    driver_id = std::this_thread::get_id();
    test_driver(&settings);
  });
  driver.join();
  testing::internal::GetCapturedStdout();

  std::vector<window_call> calls = window_calls();
  std::vector<std::string> got;
  for (const window_call &c : calls) {
    got.push_back(describe(c));
    EXPECT_EQ(c.thread, driver_id) << describe(c);
  }
  std::vector<std::string> want = {
      "enable 1005 0",
      "enable 1002 0",
      "enable 1007 0",
      "send 1000 1025 0 6553600",
      "text 1008 \r\n努力工作中...",
  };
  for (const char *ns : {LOCAL_1, P1, P2}) {
    want.push_back("text 1006 0%");
    want.push_back(std::string("text 1003 Testing namserver ") + ns);
    want.push_back("post 0 8964 100 0");
    // Heading, the two rows (zelkor, quarin), footer.
    for (int i = 0; i < 4; ++i)
      want.push_back("text 1008 (report)");
  }
  want.push_back("text 1003 Finish.");
  want.push_back("enable 1005 1");
  want.push_back("enable 1002 1");
  want.push_back("enable 1007 1");
  EXPECT_EQ(got, want);

  // The pane ends showing every report of the run, nothing else.
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(window_text(IDC_OUTPUT), std::string(output_text));
  const std::string heading = "==========================================="
                              "\r\n对 127.0.0.41 进行 DNS 查询结果如下：\r\n";
  EXPECT_EQ(std::string(output_text).rfind(heading, 0), 0u);

  EXPECT_EQ(window_drain(), (std::vector<int>{100, 100, 100}));
  EXPECT_EQ(window_bar_pos(), 100);
  EXPECT_EQ(window_text(IDC_PERCENT), "100%");
  for (int id : {IDC_START, IDC_READ_DOMAINS, IDC_VIEW_LOG})
    EXPECT_TRUE(window_enabled(id)) << id;
}

TEST_F(DriverTest, WorkersProgressComesBeforeTheDriversHundred) {
  use_local_nameservers({LOCAL_1});
  std::vector<std::string> lines;
  for (int i = 0; i < 25; ++i)
    lines.push_back("brelm:p" + std::to_string(i) + ".example\n");
  load_lines(lines);

  std::string out = run_whole_test();
  EXPECT_EQ(window_drain(),
            (std::vector<int>{40, 80, 100, 40, 80, 100, 40, 80, 100}));
  expect_passes_at_servers({LOCAL_1, P1, P2}, 25);
  EXPECT_NE(out.find("begin to test 127.0.0.41\n"
                     "\t\t\t\t\tquery 10/25 domain name\n"
                     "\t\t\t\t\tquery 20/25 domain name\n"
                     "brelm               50/50, 100.0000%\r\n"),
            std::string::npos)
      << out;
}

TEST_F(DriverTest, EmptyListRunsEveryPassWithoutWorkers) {
  use_local_nameservers({LOCAL_1, LOCAL_2});
  load_lines({});

  std::string out = run_whole_test();
  std::string log = read_file("log.txt");
  std::vector<std::string> passes = {LOCAL_1, LOCAL_2, P1, P2};
  EXPECT_EQ(begun_nameservers(out), passes);
  EXPECT_EQ(reported_nameservers(log), passes);
  expect_passes_at_servers(passes, 0);
  EXPECT_NE(log.find("127.0.0.42           total: 0/0, "), std::string::npos);
  EXPECT_EQ(window_drain(), (std::vector<int>{100, 100, 100, 100}));
  EXPECT_EQ(window_text(IDC_STATUS), "Finish.");
  EXPECT_TRUE(window_enabled(IDC_START));
}

TEST_F(DriverTest, UnopenableLogLeavesReportsOnStdoutAndPane) {
  std::filesystem::create_directory("log.txt");
  use_local_nameservers({LOCAL_1});
  load_lines(three_lines);

  std::string out = run_whole_test();
  std::vector<std::string> passes = {LOCAL_1, P1, P2};
  EXPECT_EQ(reported_nameservers(out), passes);
  EXPECT_TRUE(std::filesystem::is_directory("log.txt"));
  expect_passes_at_servers(passes, 3);
  std::string pane = output_text;
  for (const char *ns : {"127.0.0.41  ", "223.5.5.5   ", "119.29.29.29"})
    EXPECT_NE(pane.find(std::string("DNS ") + ns), std::string::npos) << ns;
  EXPECT_EQ(window_text(IDC_STATUS), "Finish.");
  window_drain();
}

TEST_F(DriverTest, StopEndsOnlyTheRunInProgress) {
  use_local_nameservers({LOCAL_1});
  load_lines(three_lines);
  // A stop with no run going leaves the next run whole.
  stop_test();
  std::string out = run_whole_test();
  window_drain();
  EXPECT_EQ(reported_nameservers(out),
            (std::vector<std::string>{LOCAL_1, P1, P2}));
}

TEST_F(DriverTest, SecondRunRewritesTheLog) {
  use_local_nameservers({LOCAL_1});
  load_lines(three_lines);
  run_whole_test();
  window_drain();

  fake_ns_rule(server(LOCAL_1), "b1.example", FAKE_NXDOMAIN);
  load_lines({"brelm:b0.example\n", "brelm:b1.example\n"});
  run_whole_test();
  window_drain();

  const std::string log =
      "该文件记录每次检查dns的成功率，以及查询失败的域名\r\n"
      "\r\n"
      "brelm               \n"
      "                    b1.example\n"
      "brelm               3/4, 75.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 3/4, 75.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n"
      "brelm               \n"
      "brelm               4/4, 100.0000%\r\n"
      "----------------------------------\n"
      "223.5.5.5            total: 4/4, 100.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n"
      "brelm               \n"
      "brelm               4/4, 100.0000%\r\n"
      "----------------------------------\n"
      "119.29.29.29         total: 4/4, 100.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  EXPECT_EQ(read_file("log.txt"), log);
}

} // namespace

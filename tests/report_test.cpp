// The report of one pass, against result tables the tests fill themselves:
// the bytes of the log and of standard output, and of the pane the window
// makes of its figures.
#include "run/report.h"

#include "net/probe.h"
#include "res/resource.h"
#include "run/result_table.h"
#include "tests/support/run_files.h"
#include "tests/support/window_double.h"
#include "ui/channel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

struct report_output {
  float rate;
  std::string log;
  std::string out;
  std::string pane;
};

// `text` is `before`, a NaN as the formatter prints it, then `after`.
bool is_with_nan(const std::string &text, const std::string &before,
                 const std::string &after) {
  for (const char *nan : {"nan", "-nan", "NAN", "-NAN", "NaN", "-NaN"}) {
    if (text == before + nan + after)
      return true;
  }
  return false;
}

class ReportTest : public testing::Test {
protected:
  void SetUp() override {
    clear_results();
    std::memset(output_text, 0, sizeof output_text);
    window_double_reset();
  }

  // Appends a slot to `row`, as a worker that reserved it would fill it.
  void fill(int row, const char *name, std::int32_t bare, std::int32_t www) {
    domain_result &slot = result_table[row][provider_count[row]++];
    std::snprintf(slot.name, sizeof slot.name, "%s", name);
    slot.bare_status = bare;
    slot.www_status = www;
  }

  report_output report(int lines, bool with_log = true) {
    report_output got{};
    std::FILE *log = nullptr;
    if (with_log) {
      log = std::fopen("log.txt", "wb");
      EXPECT_NE(log, nullptr);
    }
    testing::internal::CaptureStdout();
    pass_summary pass{};
    write_report("127.0.0.41", lines, log, &pass);
    std::fflush(stdout);
    got.out = testing::internal::GetCapturedStdout();
    // The pane is the window's own composition of the pass's figures.
    pass_ended(&pass);
    got.rate = static_cast<float>(pass.rate);
    window_drain();
    if (log) {
      std::fclose(log);
      got.log = read_file("log.txt");
    }
    got.pane = output_text;
    EXPECT_EQ(window_text(IDC_OUTPUT), got.pane);
    return got;
  }

  scratch_dir dir;
};

TEST_F(ReportTest, RowWhoseNamesAllResolvedIsSixOfSix) {
  fill(0, "a1.example", PROBE_OK, PROBE_OK);
  fill(0, "a2.example", PROBE_OK, PROBE_OK);
  fill(0, "a3.example", PROBE_OK, PROBE_OK);
  report_output got = report(3);

  const std::string log =
      "zelkor              \n"
      "zelkor              6/6, 100.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 6/6, 100.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string out =
      "zelkor              6/6, 100.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 6/6, 100.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string pane = "===========================================\r\n"
                           "对 127.0.0.41 进行 DNS 查询结果如下：\r\n"
                           "zelkor              成功率: 100.0000%\r\n"
                           "-------------------------------------------\r\n"
                           "DNS 127.0.0.41      成功率: 100.0000%\r\n"
                           "===========================================\r\n"
                           "\r\n"
                           "\r\n";
  EXPECT_EQ(got.log, log);
  EXPECT_EQ(got.out, console_text(out));
  EXPECT_EQ(got.pane, pane);
  EXPECT_EQ(got.rate, 100.0f);
}

TEST_F(ReportTest, PartlyResolvedRowsGiveTheirRatesAndListEveryFailure) {
  fill(1, "q1.example", PROBE_OK, PROBE_OK);
  fill(1, "q2.example", PROBE_OK, PROBE_OK);
  fill(1, "q3.example", PROBE_OK, PROBE_FAILED);
  fill(1, "q4.example", PROBE_NEGATIVE, PROBE_FAILED);
  fill(2, "t1.example", PROBE_OK, PROBE_NEGATIVE);
  fill(2, "t2.example", PROBE_FAILED, PROBE_FAILED);
  fill(2, "t3.example", PROBE_NEGATIVE, PROBE_NEGATIVE);
  report_output got = report(7);

  const std::string log =
      "quarin              \n"
      "                    www.q3.example\n"
      "                    q4.example\n"
      "                    www.q4.example\n"
      "quarin              5/8, 62.5000%\r\n"
      "tovessa             \n"
      "                    www.t1.example\n"
      "                    t2.example\n"
      "                    www.t2.example\n"
      "                    t3.example\n"
      "                    www.t3.example\n"
      "tovessa             1/6, 16.6667%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 6/14, 42.8571%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string out =
      "quarin              5/8, 62.5000%\r\n"
      "tovessa             1/6, 16.6667%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 6/14, 42.8571%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string pane = "===========================================\r\n"
                           "对 127.0.0.41 进行 DNS 查询结果如下：\r\n"
                           "quarin              成功率: 62.5000%\r\n"
                           "tovessa             成功率: 16.6667%\r\n"
                           "-------------------------------------------\r\n"
                           "DNS 127.0.0.41      成功率: 42.8571%\r\n"
                           "===========================================\r\n"
                           "\r\n"
                           "\r\n";
  EXPECT_EQ(got.log, log);
  EXPECT_EQ(got.out, console_text(out));
  EXPECT_EQ(got.pane, pane);
  EXPECT_FLOAT_EQ(got.rate, static_cast<float>(600.0 / 14.0));
}

TEST_F(ReportTest, NegativeBareAndSilentWwwAreTwoLogLinesBareFirst) {
  fill(3, "b1.example", PROBE_NEGATIVE, PROBE_FAILED);
  report_output got = report(1);

  const std::string log =
      "brelm               \n"
      "                    b1.example\n"
      "                    www.b1.example\n"
      "brelm               0/2, 0.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 0/2, 0.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string out =
      "brelm               0/2, 0.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 0/2, 0.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string pane = "===========================================\r\n"
                           "对 127.0.0.41 进行 DNS 查询结果如下：\r\n"
                           "brelm               成功率: 0.0000%\r\n"
                           "-------------------------------------------\r\n"
                           "DNS 127.0.0.41      成功率: 0.0000%\r\n"
                           "===========================================\r\n"
                           "\r\n"
                           "\r\n";
  EXPECT_EQ(got.log, log);
  EXPECT_EQ(got.out, console_text(out));
  EXPECT_EQ(got.pane, pane);
}

TEST_F(ReportTest, UnprobedNameIsNeitherCountedNorListed) {
  fill(4, "r1.example", PROBE_OK, PROBE_NONE);
  fill(4, "r2.example", PROBE_NONE, PROBE_FAILED);
  report_output got = report(2);

  const std::string log =
      "ruvo-ns             \n"
      "                    www.r2.example\n"
      "ruvo-ns             1/4, 25.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 1/4, 25.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string out =
      "ruvo-ns             1/4, 25.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 1/4, 25.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  EXPECT_EQ(got.log, log);
  EXPECT_EQ(got.out, console_text(out));
}

TEST_F(ReportTest, LinesWithoutSlotCountOnlyInTheTotal) {
  // 10 lines, of which 5 were usable and resolved fully.
  fill(0, "z1.example", PROBE_OK, PROBE_OK);
  fill(0, "z2.example", PROBE_OK, PROBE_OK);
  fill(3, "b1.example", PROBE_OK, PROBE_OK);
  fill(3, "b2.example", PROBE_OK, PROBE_OK);
  fill(3, "b3.example", PROBE_OK, PROBE_OK);
  report_output got = report(10);

  const std::string log =
      "zelkor              \n"
      "zelkor              4/4, 100.0000%\r\n"
      "brelm               \n"
      "brelm               6/6, 100.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 10/20, 50.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string out =
      "zelkor              4/4, 100.0000%\r\n"
      "brelm               6/6, 100.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 10/20, 50.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string pane = "===========================================\r\n"
                           "对 127.0.0.41 进行 DNS 查询结果如下：\r\n"
                           "zelkor              成功率: 100.0000%\r\n"
                           "brelm               成功率: 100.0000%\r\n"
                           "-------------------------------------------\r\n"
                           "DNS 127.0.0.41      成功率: 50.0000%\r\n"
                           "===========================================\r\n"
                           "\r\n"
                           "\r\n";
  EXPECT_EQ(got.log, log);
  EXPECT_EQ(got.out, console_text(out));
  EXPECT_EQ(got.pane, pane);
  EXPECT_EQ(got.rate, 50.0f);
}

TEST_F(ReportTest, RowsComeInTagOrderAndEmptyRowsLeaveNoTrace) {
  fill(7, "p1.example", PROBE_OK, PROBE_OK);
  fill(0, "z1.example", PROBE_FAILED, PROBE_OK);
  fill(5, "n1.example", PROBE_OK, PROBE_OK);
  report_output got = report(3);

  const std::string log =
      "zelkor              \n"
      "                    z1.example\n"
      "zelkor              1/2, 50.0000%\r\n"
      "9pel                \n"
      "9pel                2/2, 100.0000%\r\n"
      "pelnox              \n"
      "pelnox              2/2, 100.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 5/6, 83.3333%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string out =
      "zelkor              1/2, 50.0000%\r\n"
      "9pel                2/2, 100.0000%\r\n"
      "pelnox              2/2, 100.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 5/6, 83.3333%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string pane = "===========================================\r\n"
                           "对 127.0.0.41 进行 DNS 查询结果如下：\r\n"
                           "zelkor              成功率: 50.0000%\r\n"
                           "9pel                成功率: 100.0000%\r\n"
                           "pelnox              成功率: 100.0000%\r\n"
                           "-------------------------------------------\r\n"
                           "DNS 127.0.0.41      成功率: 83.3333%\r\n"
                           "===========================================\r\n"
                           "\r\n"
                           "\r\n";
  EXPECT_EQ(got.log, log);
  EXPECT_EQ(got.out, console_text(out));
  EXPECT_EQ(got.pane, pane);
}

TEST_F(ReportTest, WithoutLogStdoutAndPaneAreUnchanged) {
  fill(1, "q1.example", PROBE_OK, PROBE_FAILED);
  fill(2, "t1.example", PROBE_NEGATIVE, PROBE_OK);
  report_output with_log = report(4);
  std::memset(output_text, 0, sizeof output_text);
  report_output without_log = report(4, false);

  EXPECT_EQ(without_log.out, with_log.out);
  EXPECT_EQ(without_log.pane, with_log.pane);
  const std::string separator = console_text(
      "==================================================\r\n\r\n\r\n");
  ASSERT_GE(without_log.out.size(), separator.size());
  EXPECT_EQ(without_log.out.substr(without_log.out.size() - separator.size()),
            separator);
  EXPECT_EQ(without_log.rate, with_log.rate);
}

TEST_F(ReportTest, NoLinesGiveZeroOfZeroAndNan) {
  report_output got = report(0);

  EXPECT_TRUE(
      is_with_nan(got.log,
                  "----------------------------------\n"
                  "127.0.0.41           total: 0/0, ",
                  "%\r\n"
                  "==================================================\r\n"
                  "\r\n"
                  "\r\n"))
      << got.log;
  EXPECT_TRUE(is_with_nan(got.out,
                          console_text("----------------------------------\n"
                                       "127.0.0.41           total: 0/0, "),
                          console_text("%\r\n"
                                       "=================================="
                                       "================\r\n"
                                       "\r\n"
                                       "\r\n")))
      << got.out;
  EXPECT_TRUE(is_with_nan(got.pane,
                          "===========================================\r\n"
                          "对 127.0.0.41 进行 DNS 查询结果如下：\r\n"
                          "-------------------------------------------\r\n"
                          "DNS 127.0.0.41      成功率: ",
                          "%\r\n"
                          "===========================================\r\n"
                          "\r\n"
                          "\r\n"))
      << got.pane;
  EXPECT_TRUE(std::isnan(got.rate));
}

} // namespace

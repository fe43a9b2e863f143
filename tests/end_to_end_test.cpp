// A whole run of 60 lines over the two local nameservers and the two public
// resolvers, with answered, negative, refused and silent names: the log,
// standard output and the pane, byte for byte.
#include "run/test_driver.h"

#include "res/resource.h"
#include "run/domain_list.h"
#include "tests/support/fake_ns.h"
#include "tests/support/run_files.h"
#include "tests/support/sixty_lines.h"
#include "tests/support/window_double.h"
#include "ui/channel.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class EndToEndTest : public testing::Test {
protected:
  void SetUp() override {
    window_double_reset();
    std::memset(output_text, 0, sizeof output_text);
    local_1 = fake_ns_start("127.0.0.41", FAKE_ANSWER_A);
    local_2 = fake_ns_start("127.0.0.42", FAKE_ANSWER_A);
    public_1 = fake_ns_start(public_dns_1, FAKE_ANSWER_A);
    public_2 = fake_ns_start(public_dns_2, FAKE_ANSWER_A);
    ASSERT_TRUE(local_1 && local_2 && public_1 && public_2);
  }

  void TearDown() override {
    for (fake_ns *ns : {local_1, local_2, public_1, public_2}) {
      if (ns)
        fake_ns_stop(ns);
    }
    forget_local_nameservers();
  }

  scratch_dir dir;
  fake_ns *local_1 = nullptr;
  fake_ns *local_2 = nullptr;
  fake_ns *public_1 = nullptr;
  fake_ns *public_2 = nullptr;
};

TEST_F(EndToEndTest, SixtyLinesOverFourNameservers) {
  script_sixty_line_fakes(local_1, local_2, public_1, public_2);
  use_local_nameservers({"127.0.0.41", "127.0.0.42"});
  load_lines(sixty_lines);
  std::string out = run_whole_test();

  const std::string this_out =
      "begin to test 127.0.0.41\n"
      "					query 10/60 domain name\n"
      "					query 20/60 domain name\n"
      "					query 30/60 domain name\n"
      "					query 40/60 domain name\n"
      "					query 50/60 domain name\n"
      "zelkor              16/16, 100.0000%\r\n"
      "quarin              14/16, 87.5000%\r\n"
      "tovessa             13/14, 92.8571%\r\n"
      "brelm               15/16, 93.7500%\r\n"
      "ruvo-ns             14/14, 100.0000%\r\n"
      "9pel                14/14, 100.0000%\r\n"
      "marvoly             12/12, 100.0000%\r\n"
      "pelnox              12/12, 100.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.41           total: 110/120, 91.6667%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n"
      "begin to test 127.0.0.42\n"
      "					query 10/60 domain name\n"
      "					query 20/60 domain name\n"
      "					query 30/60 domain name\n"
      "					query 40/60 domain name\n"
      "					query 50/60 domain name\n"
      "zelkor              15/16, 93.7500%\r\n"
      "quarin              16/16, 100.0000%\r\n"
      "tovessa             14/14, 100.0000%\r\n"
      "brelm               16/16, 100.0000%\r\n"
      "ruvo-ns             13/14, 92.8571%\r\n"
      "9pel                13/14, 92.8571%\r\n"
      "marvoly             11/12, 91.6667%\r\n"
      "pelnox              12/12, 100.0000%\r\n"
      "----------------------------------\n"
      "127.0.0.42           total: 110/120, 91.6667%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n"
      "begin to test 223.5.5.5\n"
      "					query 10/60 domain name\n"
      "					query 20/60 domain name\n"
      "					query 30/60 domain name\n"
      "					query 40/60 domain name\n"
      "					query 50/60 domain name\n"
      "zelkor              16/16, 100.0000%\r\n"
      "quarin              16/16, 100.0000%\r\n"
      "tovessa             14/14, 100.0000%\r\n"
      "brelm               16/16, 100.0000%\r\n"
      "ruvo-ns             14/14, 100.0000%\r\n"
      "9pel                14/14, 100.0000%\r\n"
      "marvoly             12/12, 100.0000%\r\n"
      "pelnox              12/12, 100.0000%\r\n"
      "----------------------------------\n"
      "223.5.5.5            total: 114/120, 95.0000%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n"
      "begin to test 119.29.29.29\n"
      "					query 10/60 domain name\n"
      "					query 20/60 domain name\n"
      "					query 30/60 domain name\n"
      "					query 40/60 domain name\n"
      "					query 50/60 domain name\n"
      "zelkor              15/16, 93.7500%\r\n"
      "quarin              15/16, 93.7500%\r\n"
      "tovessa             13/14, 92.8571%\r\n"
      "brelm               15/16, 93.7500%\r\n"
      "ruvo-ns             13/14, 92.8571%\r\n"
      "9pel                13/14, 92.8571%\r\n"
      "marvoly             12/12, 100.0000%\r\n"
      "pelnox              11/12, 91.6667%\r\n"
      "----------------------------------\n"
      "119.29.29.29         total: 107/120, 89.1667%\r\n"
      "==================================================\r\n"
      "\r\n"
      "\r\n";
  const std::string pane = "===========================================\r\n"
                           "对 127.0.0.41 进行 DNS 查询结果如下：\r\n"
                           "zelkor              成功率: 100.0000%\r\n"
                           "quarin              成功率: 87.5000%\r\n"
                           "tovessa             成功率: 92.8571%\r\n"
                           "brelm               成功率: 93.7500%\r\n"
                           "ruvo-ns             成功率: 100.0000%\r\n"
                           "9pel                成功率: 100.0000%\r\n"
                           "marvoly             成功率: 100.0000%\r\n"
                           "pelnox              成功率: 100.0000%\r\n"
                           "-------------------------------------------\r\n"
                           "DNS 127.0.0.41      成功率: 91.6667%\r\n"
                           "===========================================\r\n"
                           "\r\n"
                           "\r\n"
                           "===========================================\r\n"
                           "对 127.0.0.42 进行 DNS 查询结果如下：\r\n"
                           "zelkor              成功率: 93.7500%\r\n"
                           "quarin              成功率: 100.0000%\r\n"
                           "tovessa             成功率: 100.0000%\r\n"
                           "brelm               成功率: 100.0000%\r\n"
                           "ruvo-ns             成功率: 92.8571%\r\n"
                           "9pel                成功率: 92.8571%\r\n"
                           "marvoly             成功率: 91.6667%\r\n"
                           "pelnox              成功率: 100.0000%\r\n"
                           "-------------------------------------------\r\n"
                           "DNS 127.0.0.42      成功率: 91.6667%\r\n"
                           "===========================================\r\n"
                           "\r\n"
                           "\r\n"
                           "===========================================\r\n"
                           "对 223.5.5.5 进行 DNS 查询结果如下：\r\n"
                           "zelkor              成功率: 100.0000%\r\n"
                           "quarin              成功率: 100.0000%\r\n"
                           "tovessa             成功率: 100.0000%\r\n"
                           "brelm               成功率: 100.0000%\r\n"
                           "ruvo-ns             成功率: 100.0000%\r\n"
                           "9pel                成功率: 100.0000%\r\n"
                           "marvoly             成功率: 100.0000%\r\n"
                           "pelnox              成功率: 100.0000%\r\n"
                           "-------------------------------------------\r\n"
                           "DNS 223.5.5.5       成功率: 95.0000%\r\n"
                           "===========================================\r\n"
                           "\r\n"
                           "\r\n"
                           "===========================================\r\n"
                           "对 119.29.29.29 进行 DNS 查询结果如下：\r\n"
                           "zelkor              成功率: 93.7500%\r\n"
                           "quarin              成功率: 93.7500%\r\n"
                           "tovessa             成功率: 92.8571%\r\n"
                           "brelm               成功率: 93.7500%\r\n"
                           "ruvo-ns             成功率: 92.8571%\r\n"
                           "9pel                成功率: 92.8571%\r\n"
                           "marvoly             成功率: 100.0000%\r\n"
                           "pelnox              成功率: 91.6667%\r\n"
                           "-------------------------------------------\r\n"
                           "DNS 119.29.29.29    成功率: 89.1667%\r\n"
                           "===========================================\r\n"
                           "\r\n"
                           "\r\n";
  EXPECT_EQ(read_file("log.txt"), sixty_line_log);
  EXPECT_EQ(out, console_text(this_out));
  EXPECT_EQ(std::string(output_text), pane);
  EXPECT_EQ(window_text(IDC_OUTPUT), pane);

  // On the wire: one datagram per name, two for a refused or silent one.
  EXPECT_EQ(fake_ns_received(local_1).size(), 114u + 1u);
  EXPECT_EQ(fake_ns_received(local_2).size(), 114u + 4u);
  EXPECT_EQ(fake_ns_received(public_1).size(), 114u);
  EXPECT_EQ(fake_ns_received(public_2).size(), 114u + 6u);

  std::vector<int> progress;
  for (int pass = 0; pass < 4; ++pass) {
    for (int percent : {16, 33, 50, 66, 83, 100})
      progress.push_back(percent);
  }
  EXPECT_EQ(window_drain(), progress);
  EXPECT_EQ(window_text(IDC_PERCENT), "100%");
  EXPECT_EQ(window_text(IDC_STATUS), "Finish.");
  for (int id : {IDC_START, IDC_READ_DOMAINS, IDC_VIEW_LOG})
    EXPECT_TRUE(window_enabled(id)) << id;
}

} // namespace

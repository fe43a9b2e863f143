// Slice workers against a fake nameserver, on threads as the driver runs
// them: slots and outcomes, the datagrams sent, progress lines and notices.
#include "net/probe.h"
#include "res/resource.h"
#include "run/domain_list.h"
#include "run/result_table.h"
#include "run/slice_worker.h"
#include "tests/support/fake_ns.h"
#include "tests/support/files.h"
#include "tests/support/window_double.h"
#include "ui/channel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#endif

namespace {

const char FAKE_IP[] = "127.0.0.30";

class SliceWorkerTest : public testing::Test {
protected:
  fake_ns *ns = nullptr;
  std::string path = testing::TempDir() + "zelkor_slice_worker_test.txt";

  void SetUp() override {
    ns = fake_ns_start(FAKE_IP, FAKE_ANSWER_A);
    ASSERT_NE(ns, nullptr);
    create_result_lock();
    clear_results();
    done_count = 0;
    window_double_reset();
  }
  void TearDown() override {
    destroy_result_lock();
    if (ns)
      fake_ns_stop(ns);
    std::remove(path.c_str());
  }

  void load(const std::vector<std::string> &lines) {
    std::string bytes;
    for (const auto &line : lines)
      bytes += line + "\n";
    ASSERT_TRUE(write_bytes(path, bytes));
    ASSERT_EQ(load_domain_list(path.c_str()), 0);
    ASSERT_EQ(domain_count, static_cast<int>(lines.size()));
  }

  slice_job job(int first, int last, const char *at = FAKE_IP) {
    return slice_job{domain_list,  first, last,
                     domain_count, at,    &CLASSIC_ENGINE};
  }

  // Cuts the list into `slices` contiguous jobs, the last taking the rest,
  // runs one worker thread per job and joins them all.
  void run_slices(int slices, const char *at = FAKE_IP) {
    std::vector<slice_job> jobs;
    int size = domain_count / slices;
    for (int s = 0; s < slices; s++)
      jobs.push_back(
          job(s * size, s == slices - 1 ? domain_count - 1 : (s + 1) * size - 1,
              at));
    std::vector<std::thread> threads;
    for (auto &job : jobs)
      threads.emplace_back(slice_worker, &job);
    for (auto &t : threads)
      t.join();
  }

  // Runs the slices with standard output captured; returns what they wrote.
  std::string run_captured(int slices) {
    testing::internal::CaptureStdout();
    run_slices(slices);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }
};

std::vector<std::string> usable(int count, const char *tag) {
  std::vector<std::string> lines;
  for (int i = 0; i < count; i++)
    lines.push_back(std::string(tag) + ":d" + std::to_string(i) + ".test");
  return lines;
}

std::string progress_line(int done, int total) {
  return "\t\t\t\t\tquery " + std::to_string(done) + "/" +
         std::to_string(total) + " domain name\n";
}

TEST_F(SliceWorkerTest, TwentyFiveLinesPostFortyAndEighty) {
  load(usable(25, "quarin"));
  std::string out = run_captured(3);
  EXPECT_EQ(out, progress_line(10, 25) + progress_line(20, 25));
  EXPECT_EQ(done_count, 25);
  ASSERT_EQ(provider_count[1], 25);
  std::set<std::string> names;
  for (int slot = 0; slot < 25; slot++) {
    const domain_result &r = result_table[1][slot];
    names.insert(r.name);
    EXPECT_EQ(r.bare_status, PROBE_OK) << r.name;
    EXPECT_EQ(r.www_status, PROBE_OK) << r.name;
  }
  EXPECT_EQ(names.size(), 25u);
  EXPECT_EQ(names.count("d0.test"), 1u);
  EXPECT_EQ(names.count("d24.test"), 1u);
  // The notices wait for the window, and come from the workers' threads.
  auto calls = window_calls();
  ASSERT_EQ(calls.size(), 2u);
  for (const auto &c : calls) {
    EXPECT_EQ(c.op, "post");
    EXPECT_NE(c.thread, std::this_thread::get_id());
  }
  EXPECT_EQ(window_drain(), (std::vector<int>{40, 80}));
  EXPECT_EQ(window_text(IDC_PERCENT), "80%");
  EXPECT_TRUE(fake_ns_wait(ns, 50, 2000));
}

TEST_F(SliceWorkerTest, HalfUsableListNeverPostsPastFifty) {
  std::vector<std::string> lines;
  for (int i = 0; i < 1000; i++)
    lines.push_back(i % 2 ? "nocolon" + std::to_string(i) + ".test"
                          : "zelkor:d" + std::to_string(i) + ".test");
  load(lines);
  std::string out = run_captured(10);
  EXPECT_EQ(done_count, 500);
  EXPECT_EQ(provider_count[0], 500);
  std::vector<int> want;
  std::string want_out;
  for (int done = 10; done <= 500; done += 10) {
    want.push_back(done * 100 / 1000);
    want_out += progress_line(done, 1000);
  }
  EXPECT_EQ(out, want_out);
  EXPECT_EQ(window_drain(), want);
  EXPECT_EQ(window_bar_pos(), 50);
}

TEST_F(SliceWorkerTest, UnusableLinesTouchNothing) {
  load({"nocolon.test", "Quarin:a.test", "unknown:b.test", ":c.test",
        "quari:d.test", " zelkor:e.test"});
  std::string out = run_captured(2);
  EXPECT_EQ(out, "");
  EXPECT_EQ(done_count, 0);
  for (int row = 0; row < RESULT_ROWS; row++) {
    EXPECT_EQ(provider_count[row], 0);
    EXPECT_EQ(result_table[row][0].name[0], '\0');
  }
  EXPECT_TRUE(window_calls().empty());
  EXPECT_FALSE(fake_ns_wait(ns, 1, 300));
}

TEST_F(SliceWorkerTest, NullEntriesAndEmptySlicesAreSkipped) {
  load(usable(3, "brelm"));
  char *kept = domain_list[1];
  domain_list[1] = nullptr; // as a failed heap copy leaves it
  slice_job whole = job(0, 2);
  slice_job empty = job(2, 1);
  slice_worker(&empty);
  EXPECT_EQ(done_count, 0);
  slice_worker(&whole);
  domain_list[1] = kept;
  EXPECT_EQ(done_count, 2);
  ASSERT_EQ(provider_count[3], 2);
  EXPECT_STREQ(result_table[3][0].name, "d0.test");
  EXPECT_STREQ(result_table[3][1].name, "d2.test");
}

TEST_F(SliceWorkerTest, FailedSocketFailsEveryProbe) {
  load(usable(3, "tovessa"));
  testing::internal::CaptureStderr();
  run_slices(1, "not-an-address");
  std::fflush(stderr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(done_count, 3);
  ASSERT_EQ(provider_count[2], 3);
  for (int slot = 0; slot < 3; slot++) {
    EXPECT_EQ(result_table[2][slot].bare_status, PROBE_FAILED);
    EXPECT_EQ(result_table[2][slot].www_status, PROBE_FAILED);
  }
  std::size_t sends = 0;
  for (std::size_t at = err.find("sendto failed"); at != std::string::npos;
       at = err.find("sendto failed", at + 1))
    sends++;
  EXPECT_EQ(sends, 12u) << err; // two attempts for each of six names
  EXPECT_EQ(err.find("inet_addr failed"), 0u) << err;
  EXPECT_FALSE(fake_ns_wait(ns, 1, 300));
}

TEST_F(SliceWorkerTest, NameWithoutWireFormSaysSoForEachAttempt) {
  load({"zelkor:a..b", "zelkor:ok.test"});
  testing::internal::CaptureStderr();
  run_slices(1);
  std::fflush(stderr);
  std::string err = testing::internal::GetCapturedStderr();
  std::string four;
  for (int i = 0; i < 4; ++i) // two attempts each of a..b and www.a..b
    four += "make dns package failed\n";
  EXPECT_EQ(err, four);
  ASSERT_EQ(provider_count[0], 2);
  EXPECT_EQ(result_table[0][0].bare_status, PROBE_FAILED);
  EXPECT_EQ(result_table[0][0].www_timing.attempts, 0);
  EXPECT_EQ(result_table[0][1].www_status, PROBE_OK);
  ASSERT_TRUE(fake_ns_wait(ns, 2, 2000));
  EXPECT_EQ(fake_ns_received(ns).size(), 2u);
}

TEST_F(SliceWorkerTest, LongestDomainsWwwNameReachesTheServer) {
  // 249 characters in labels of at most 63; with the shortest tag the line is
  // 254 characters, the longest a read keeps.
  std::string domain = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                       std::string(63, 'c') + "." + std::string(57, 'd');
  ASSERT_EQ(domain.size(), 249u);
  load({"9pel:" + domain});
  run_slices(1);
  ASSERT_EQ(provider_count[5], 1);
  EXPECT_EQ(std::string(result_table[5][0].name), domain);
  EXPECT_EQ(result_table[5][0].bare_status, PROBE_OK);
  EXPECT_EQ(result_table[5][0].www_status, PROBE_OK);
  ASSERT_TRUE(fake_ns_wait(ns, 2, 2000));
  auto got = fake_ns_received(ns);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].qname, domain);
  EXPECT_EQ(got[1].qname, "www." + domain);
  EXPECT_EQ(got[1].qname.size(), 253u);
}

TEST_F(SliceWorkerTest, SlotsHoldTheOutcomesBareFirst) {
  fake_ns_rule(ns, "www.a.test", FAKE_NXDOMAIN);
  fake_ns_rule(ns, "b.test", FAKE_REFUSED);
  fake_ns_rule(ns, "www.b.test", FAKE_NODATA);
  fake_ns_rule(ns, "c.test", FAKE_CNAME_ONLY);
  fake_ns_rule(ns, "www.c.test", FAKE_SERVFAIL);
  load({"zelkor:a.test", "quarin:b.test", "zelkor-x:c.test"});
  run_slices(1);
  ASSERT_EQ(provider_count[0], 2);
  ASSERT_EQ(provider_count[1], 1);
  const domain_result &a = result_table[0][0];
  const domain_result &b = result_table[1][0];
  const domain_result &c = result_table[0][1];
  EXPECT_STREQ(a.name, "a.test");
  EXPECT_EQ(a.bare_status, PROBE_OK);
  EXPECT_EQ(a.www_status, PROBE_NEGATIVE);
  EXPECT_STREQ(b.name, "b.test");
  EXPECT_EQ(b.bare_status, PROBE_FAILED);
  EXPECT_EQ(b.www_status, PROBE_NEGATIVE);
  EXPECT_STREQ(c.name, "c.test");
  EXPECT_EQ(c.bare_status, PROBE_OK);
  EXPECT_EQ(c.www_status, PROBE_FAILED);
  ASSERT_TRUE(fake_ns_wait(ns, 8, 2000));
  std::vector<std::string> order;
  for (const auto &d : fake_ns_received(ns)) {
    order.push_back(d.qname);
    EXPECT_EQ(d.qtype, 1) << d.qname;
  }
  EXPECT_EQ(order, (std::vector<std::string>{"a.test", "www.a.test", "b.test",
                                             "b.test", "www.b.test", "c.test",
                                             "www.c.test", "www.c.test"}));
}

#ifndef _WIN32
std::size_t open_descriptors(void) {
  std::size_t count = 0;
  DIR *dir = opendir("/proc/self/fd");
  if (!dir)
    return 0;
  while (readdir(dir))
    count++;
  closedir(dir);
  return count;
}

TEST_F(SliceWorkerTest, WorkerClosesItsSocket) {
  load(usable(2, "pelnox"));
  std::size_t before = open_descriptors();
  ASSERT_GT(before, 0u);
  for (int pass = 0; pass < 20; pass++) {
    clear_results();
    done_count = 0;
    run_slices(2);
  }
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_EQ(provider_count[7], 2);
}
#endif

} // namespace

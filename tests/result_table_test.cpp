// The result table: reservation order, clearing, and concurrent reservation.
#include "net/probe.h"
#include "run/result_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

class ResultTableTest : public testing::Test {
protected:
  void SetUp() override {
    create_result_lock();
    clear_results();
  }
  void TearDown() override {
    destroy_result_lock();
  }
};

TEST_F(ResultTableTest, OneProviderFillsItsRowFromSlotZero) {
  for (int i = 0; i < 5; i++)
    EXPECT_EQ(reserve_slot(3), i);
  EXPECT_EQ(provider_count[3], 5);
  for (int row = 0; row < RESULT_ROWS; row++) {
    if (row != 3) {
      EXPECT_EQ(provider_count[row], 0) << "row " << row;
    }
  }
}

TEST_F(ResultTableTest, ClearResetsEveryRowAndSlot) {
  for (int row = 0; row < RESULT_ROWS; row++) {
    for (int i = 0; i < 3; i++)
      reserve_slot(row);
    domain_result &first = result_table[row][0];
    std::fill(first.name, first.name + RESULT_NAME_SIZE, 'x');
    first.bare_status = PROBE_OK;
    first.www_status = PROBE_FAILED;
    domain_result &last = result_table[row][RESULT_SLOTS - 1];
    last.name[0] = 'y';
    last.bare_status = PROBE_NEGATIVE;
    last.www_status = PROBE_NEGATIVE;
  }
  clear_results();
  for (int row = 0; row < RESULT_ROWS; row++) {
    EXPECT_EQ(provider_count[row], 0);
    for (int slot = 0; slot < RESULT_SLOTS; slot++) {
      const domain_result &r = result_table[row][slot];
      ASSERT_TRUE(std::all_of(r.name, r.name + RESULT_NAME_SIZE,
                              [](char c) { return c == '\0'; }))
          << row << "/" << slot;
      ASSERT_EQ(r.bare_status, PROBE_NONE) << row << "/" << slot;
      ASSERT_EQ(r.www_status, PROBE_NONE) << row << "/" << slot;
    }
  }
  EXPECT_EQ(reserve_slot(0), 0);
}

TEST_F(ResultTableTest, TenThreadsGetTenConsecutiveSlots) {
  const int threads = 10;
  for (int round = 0; round < 200; round++) {
    clear_results();
    std::atomic<int> ready{0};
    int got[threads];
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
      pool.emplace_back([&, t] {
        // Start together, so that the reservations really contend.
        ready++;
        while (ready.load() < threads)
          std::this_thread::yield();
        got[t] = reserve_slot(5);
      });
    for (auto &th : pool)
      th.join();
    std::sort(got, got + threads);
    for (int t = 0; t < threads; t++)
      ASSERT_EQ(got[t], t) << "round " << round;
    ASSERT_EQ(provider_count[5], threads);
  }
}

} // namespace

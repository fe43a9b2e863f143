// The channel against the recording window double: which control each
// operation reaches, with what, and the output pane's size rules.
#include "res/resource.h"
#include "tests/support/window_double.h"
#include "ui/channel.h"
#include "ui/window_ops.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class ChannelTest : public testing::Test {
protected:
  void SetUp() override {
    std::memset(output_text, 0, sizeof output_text);
    window_double_reset();
  }
};

TEST_F(ChannelTest, TextsGoToTheirControls) {
  set_status_text("Testing namserver 127.0.0.1");
  set_percent_text("0%");
  set_output_text("\r\n努力工作中...");
  auto calls = window_calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].op, "text");
  EXPECT_EQ(calls[0].id, IDC_STATUS);
  EXPECT_EQ(calls[0].text, "Testing namserver 127.0.0.1");
  EXPECT_EQ(calls[1].id, IDC_PERCENT);
  EXPECT_EQ(calls[1].text, "0%");
  EXPECT_EQ(calls[2].id, IDC_OUTPUT);
  EXPECT_EQ(calls[2].text, "\r\n努力工作中...");
  // The working text is shown, never kept.
  EXPECT_EQ(output_text[0], '\0');
}

TEST_F(ChannelTest, NullFormatChangesNothing) {
  append_output("kept");
  window_double_reset();
  append_output(nullptr);
  EXPECT_STREQ(output_text, "kept");
  EXPECT_TRUE(window_calls().empty());
}

TEST_F(ChannelTest, AppendFormatsAndShowsTheWholeText) {
  append_output("%s: %d\r\n", "DNS", 7);
  append_output("%.2f%%", 12.5);
  EXPECT_STREQ(output_text, "DNS: 7\r\n12.50%");
  auto calls = window_calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].op, "text");
  EXPECT_EQ(calls[1].id, IDC_OUTPUT);
  EXPECT_EQ(calls[1].text, "DNS: 7\r\n12.50%");
}

TEST_F(ChannelTest, LongPieceKeepsItsFirst1023Bytes) {
  std::string piece(2000, 'x');
  piece[1022] = 'A';
  piece[1023] = 'B';
  append_output("%s", piece.c_str());
  EXPECT_EQ(std::strlen(output_text), 1023u);
  EXPECT_EQ(std::string(output_text), piece.substr(0, 1023));
  EXPECT_EQ(window_text(IDC_OUTPUT).size(), 1023u);
}

TEST_F(ChannelTest, PieceThatWouldOverflowIsDroppedWhole) {
  const std::size_t start = 1048570;
  std::memset(output_text, 'a', start);
  append_output("%s", "bcdef");
  ASSERT_EQ(std::strlen(output_text), 1048575u);
  EXPECT_EQ(output_text[1048574], 'f');
  window_double_reset();
  append_output("%s", "g");
  EXPECT_EQ(std::strlen(output_text), 1048575u);
  EXPECT_EQ(output_text[1048574], 'f');
  EXPECT_EQ(output_text[1048575], '\0');
  // The pane is refreshed all the same, with the unchanged text.
  auto calls = window_calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].id, IDC_OUTPUT);
  EXPECT_EQ(calls[0].text.size(), 1048575u);
}

TEST_F(ChannelTest, ShorterPieceFitsAfterADroppedOne) {
  std::memset(output_text, 'a', 1048570);
  append_output("%s", "123456");
  EXPECT_EQ(std::strlen(output_text), 1048570u);
  append_output("%s", "12345");
  EXPECT_EQ(std::strlen(output_text), 1048575u);
}

TEST_F(ChannelTest, ControlsEnabledInOrderWithoutAbout) {
  set_controls_enabled(false);
  auto calls = window_calls();
  ASSERT_EQ(calls.size(), 3u);
  const int order[] = {IDC_START, IDC_READ_DOMAINS, IDC_VIEW_LOG};
  for (std::size_t i = 0; i < 3; i++) {
    EXPECT_EQ(calls[i].op, "enable");
    EXPECT_EQ(calls[i].id, order[i]);
    EXPECT_EQ(calls[i].wparam, 0u);
  }
  EXPECT_TRUE(window_enabled(IDC_ABOUT));
  set_controls_enabled(true);
  calls = window_calls();
  ASSERT_EQ(calls.size(), 6u);
  for (std::size_t i = 0; i < 3; i++) {
    EXPECT_EQ(calls[3 + i].id, order[i]);
    EXPECT_EQ(calls[3 + i].wparam, 1u);
  }
}

TEST_F(ChannelTest, ProgressRangeIsZeroToHundred) {
  set_progress_range();
  auto calls = window_calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].op, "send");
  EXPECT_EQ(calls[0].id, IDC_PROGRESS);
  EXPECT_EQ(calls[0].message, unsigned{PBM_SETRANGE_MSG});
  EXPECT_EQ(calls[0].wparam, 0u);
  EXPECT_EQ(calls[0].lparam, 0x00640000);
}

TEST_F(ChannelTest, PostedProgressWaitsForTheWindow) {
  post_progress(37);
  auto calls = window_calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].op, "post");
  EXPECT_EQ(calls[0].message, unsigned{WM_TEST_PROGRESS});
  EXPECT_EQ(calls[0].wparam, 37u);
  EXPECT_EQ(calls[0].lparam, 0);
  EXPECT_EQ(window_queued(), 1u);
  EXPECT_EQ(window_text(IDC_PERCENT), "");
  EXPECT_EQ(window_drain(), std::vector<int>{37});
  EXPECT_EQ(window_bar_pos(), 37);
  EXPECT_EQ(window_text(IDC_PERCENT), "37%");
}

TEST_F(ChannelTest, ProgressSetsBarThenLabel) {
  for (int p : {37, 0, 100}) {
    window_double_reset();
    show_progress(p);
    auto calls = window_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, "send");
    EXPECT_EQ(calls[0].id, IDC_PROGRESS);
    EXPECT_EQ(calls[0].message, unsigned{PBM_SETPOS_MSG});
    EXPECT_EQ(calls[0].wparam, static_cast<std::uintptr_t>(p));
    EXPECT_EQ(calls[0].lparam, 0);
    EXPECT_EQ(calls[1].op, "text");
    EXPECT_EQ(calls[1].id, IDC_PERCENT);
    EXPECT_EQ(calls[1].text, std::to_string(p) + "%");
  }
}

} // namespace

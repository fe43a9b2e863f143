// Loading a domain list file, and mapping its lines to provider rows.
#include "run/domain_list.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<std::string> loaded(void) {
  std::vector<std::string> lines;
  for (int i = 0; i < domain_count; i++)
    lines.push_back(domain_list[i] ? domain_list[i] : "(null)");
  return lines;
}

class DomainListTest : public testing::Test {
protected:
  std::string path = testing::TempDir() + "zelkor_domain_list_test.txt";

  void write(const std::string &bytes) {
    ASSERT_TRUE(write_bytes(path, bytes));
  }
  // Loads `bytes` from a file; returns what went to standard error.
  std::string load(const std::string &bytes, int expect_rc = 0) {
    write(bytes);
    testing::internal::CaptureStderr();
    int rc = load_domain_list(path.c_str());
    std::fflush(stderr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, expect_rc);
    return err;
  }
  void TearDown() override {
    std::remove(path.c_str());
  }
};

std::string numbered(int count, const char *end) {
  std::string text;
  for (int i = 0; i < count; i++)
    text += "quarin:d" + std::to_string(i) + ".example" + end;
  return text;
}

TEST_F(DomainListTest, CrlfAndLfEndingsGiveTheSameList) {
  const std::vector<std::string> want = {"quarin:a.b", "zelkor:c.d",
                                         " brelm : e.f "};
  load("quarin:a.b\nzelkor:c.d\n brelm : e.f \n");
  EXPECT_EQ(loaded(), want);
  load("quarin:a.b\r\nzelkor:c.d\r\n brelm : e.f \r\n");
  EXPECT_EQ(loaded(), want);
  // A final "\r" goes even without a "\n" after it; other "\r"s stay.
  load("quarin:a.b\r\nzelkor:c\r.d\r\n brelm : e.f \r");
  EXPECT_EQ(loaded(), (std::vector<std::string>{"quarin:a.b", "zelkor:c\r.d",
                                                " brelm : e.f "}));
}

TEST_F(DomainListTest, ShortLinesAreSkipped) {
  EXPECT_EQ(load("ab\n\nabc\r\n\r\nx\r\nq:\r\na:b"), "");
  EXPECT_EQ(loaded(), (std::vector<std::string>{"abc", "a:b"}));
  EXPECT_EQ(domain_list[2], nullptr);
}

TEST_F(DomainListTest, LongLineIsReadInPieces) {
  std::string line = "zelkor:" + std::string(293, 'a');
  for (const char *end : {"\n", "\r\n"}) {
    load(line + end + "quarin:a.b" + end);
    auto lines = loaded();
    ASSERT_EQ(lines.size(), 3u) << "ending " << (end[1] ? "CRLF" : "LF");
    EXPECT_EQ(lines[0], line.substr(0, 254));
    EXPECT_EQ(lines[1], line.substr(254));
    EXPECT_EQ(lines[1].size(), 46u);
    EXPECT_EQ(lines[2], "quarin:a.b");
  }
  // 254 characters fill a read; the ending that follows is an empty line.
  std::string full = "zelkor:" + std::string(247, 'b');
  load(full + "\r\n" + full + "\n");
  EXPECT_EQ(loaded(), (std::vector<std::string>{full, full}));
}

TEST_F(DomainListTest, ByteOrderMarkAtTheStartIsSkipped) {
  const std::string bom = "\xEF\xBB\xBF";
  load(bom + "zelkor:a.b\r\n" + bom + "quarin:c.d\r\n");
  // Only at the very start: a mark further on stays in its line.
  ASSERT_EQ(loaded(),
            (std::vector<std::string>{"zelkor:a.b", bom + "quarin:c.d"}));
  // The line after the mark is read in pieces as if the mark were not there.
  std::string line = "zelkor:" + std::string(293, 'a');
  load(bom + line + "\n");
  EXPECT_EQ(loaded(),
            (std::vector<std::string>{line.substr(0, 254), line.substr(254)}));
  // Bytes that only begin like the mark are kept whole.
  load("\xEF\xBBzelkor:e.f\n\xEFquarin:g.h\n");
  EXPECT_EQ(loaded(),
            (std::vector<std::string>{"\xEF\xBBzelkor:e.f", "\xEFquarin:g.h"}));
  load("\xEFquarin:g.h\n");
  EXPECT_EQ(loaded(), (std::vector<std::string>{"\xEFquarin:g.h"}));
  load(bom);
  EXPECT_EQ(domain_count, 0);
}

TEST_F(DomainListTest, ListKeepsAtMost2048Lines) {
  EXPECT_EQ(load(numbered(2500, "\r\n")), "too many\n");
  ASSERT_EQ(domain_count, 2048);
  EXPECT_TRUE(domain_list_cut);
  EXPECT_EQ(std::string(domain_list[0]), "quarin:d0.example");
  EXPECT_EQ(std::string(domain_list[2047]), "quarin:d2047.example");
  // A list of exactly 2048 lines loses nothing, nor do lines that would
  // have been skipped anyway.
  EXPECT_EQ(load(numbered(2048, "\n") + "\nab\n"), "too many\n");
  EXPECT_EQ(domain_count, 2048);
  EXPECT_FALSE(domain_list_cut);
  EXPECT_EQ(load(numbered(2047, "\n")), "");
  EXPECT_EQ(domain_count, 2047);
  // Skipped lines do not count towards the limit.
  EXPECT_EQ(load("\n\nab\n" + numbered(2047, "\n")), "");
  EXPECT_EQ(domain_count, 2047);
}

TEST_F(DomainListTest, MissingFileEmptiesTheList) {
  load("quarin:a.b\nzelkor:c.d\n");
  ASSERT_EQ(domain_count, 2);
  std::string missing = testing::TempDir() + "zelkor_no_such_list.txt";
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_domain_list(missing.c_str()), -1);
  std::fflush(stderr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(domain_count, 0);
  EXPECT_EQ(domain_list[0], nullptr);
  EXPECT_EQ(domain_list[1], nullptr);
  std::string head = missing + "\nfopen failed: ";
  EXPECT_EQ(err.substr(0, head.size()), head);
  EXPECT_GT(err.size(), head.size() + 1);
  EXPECT_EQ(err.back(), '\n');
}

TEST_F(DomainListTest, ReloadReplacesTheOldList) {
  load("quarin:a.b\nzelkor:c.d\ntovessa:e.f\n");
  load("brelm:g.h\n");
  EXPECT_EQ(loaded(), (std::vector<std::string>{"brelm:g.h"}));
  EXPECT_EQ(domain_list[1], nullptr);
  EXPECT_EQ(domain_list[2], nullptr);
  EXPECT_EQ(load(""), "");
  EXPECT_EQ(domain_count, 0);
  EXPECT_EQ(domain_list[0], nullptr);
}

TEST_F(DomainListTest, BinaryContentLoadsWithoutHarm) {
  // A NUL byte ends a line's text; 0x1A is an ordinary byte, also on Windows.
  static const char binary[] = "ab\0cd:e\nquarin:x\0yz\n\0\n"
                               "zelkor:\xff\xfe\x80\x1a.b\nquarin:after.sub\n";
  load(std::string(binary, sizeof binary - 1));
  EXPECT_EQ(loaded(),
            (std::vector<std::string>{"quarin:x", "zelkor:\xff\xfe\x80\x1a.b",
                                      "quarin:after.sub"}));
  std::string noise;
  for (int i = 0; i < 4096; i++)
    noise += static_cast<char>((i * 37 + i / 7) & 0xff);
  load(noise);
  for (int i = 0; i < domain_count; i++) {
    ASSERT_NE(domain_list[i], nullptr);
    std::string line = domain_list[i];
    EXPECT_GE(line.size(), 3u);
    EXPECT_LE(line.size(), 254u);
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
}

TEST(ProviderTest, TagsInRowOrder) {
  const char *want[] = {"zelkor",  "quarin", "tovessa", "brelm",
                        "ruvo-ns", "9pel",   "marvoly", "pelnox"};
  for (int row = 0; row < PROVIDER_TAG_COUNT; row++) {
    EXPECT_STREQ(provider_tags[row], want[row]);
    EXPECT_EQ(match_provider(want[row]), row);
  }
}

TEST(ProviderTest, SplitAtTheFirstColon) {
  char line[] = "quarin:a.b";
  char *domain = split_provider(line);
  ASSERT_NE(domain, nullptr);
  EXPECT_STREQ(line, "quarin");
  EXPECT_STREQ(domain, "a.b");
  EXPECT_EQ(match_provider(line), 1);

  char more[] = "zelkor:x:y";
  EXPECT_STREQ(split_provider(more), "x:y");
  EXPECT_STREQ(more, "zelkor");

  char none[] = "quarin.a.b";
  EXPECT_EQ(split_provider(none), nullptr);
  EXPECT_STREQ(none, "quarin.a.b");

  char empty[] = ":a.b";
  EXPECT_STREQ(split_provider(empty), "a.b");
  EXPECT_EQ(match_provider(empty), -1);
}

TEST(ProviderTest, FieldMustBeginWithATag) {
  EXPECT_EQ(match_provider("quarin-cn"), 1);
  EXPECT_EQ(match_provider("9pelx"), 5);
  EXPECT_EQ(match_provider("Quarin"), -1);
  EXPECT_EQ(match_provider(" quarin"), -1);
  // Shorter than the tag it starts like.
  EXPECT_EQ(match_provider("quari"), -1);
  EXPECT_EQ(match_provider("9pe"), -1);
  EXPECT_EQ(match_provider(""), -1);
}

} // namespace

// Pieces of the terminal program where a fault lives in one function: the
// command line's messages, the checks and replacement of output files, the
// exports of a run's results, and the display's messages during a live
// progress line.
#include "cli/pass_messages.h"
#include "cli/progress.h"
#include "cli/export.h"
#include "cli/html_report.h"
#include "cli/metrics.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/results.h"
#include "net/probe.h"
#include "run/answers.h"
#include "tests/support/run_files.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

std::string option_error(std::vector<std::string> words) {
  words.insert(words.begin(), "zelkor");
  std::vector<char *> argv;
  for (std::string &w : words)
    argv.push_back(&w[0]);
  argv.push_back(nullptr);
  cli_options options;
  char error[256] = "";
  EXPECT_EQ(parse_options(static_cast<int>(words.size()), argv.data(), &options,
                          error, sizeof error),
            -1);
  return error;
}

TEST(OptionsTest, ErrorsNameTheOptionAsTyped) {
  EXPECT_EQ(option_error({"--version=1"}), "option '--version' takes no value");
  EXPECT_EQ(option_error({"--no-log=x"}), "option '--no-log' takes no value");
  EXPECT_EQ(option_error({"--quiet=1"}), "option '--quiet' takes no value");
  EXPECT_EQ(option_error({"--frob=1"}), "option '--frob' is unknown");
  EXPECT_EQ(option_error({"-x"}), "option '-x' is unknown");
  EXPECT_EQ(option_error({"--json"}), "option '--json' needs a value");
  EXPECT_EQ(option_error({"-qs"}), "option '-s' needs a value");
}

std::vector<std::string> listing(void) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::recursive_directory_iterator("."))
    names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string refusal(const char *path, int way) {
  std::string reason;
  EXPECT_EQ(check_output_path(path, way, &reason), -1) << path;
  return reason;
}

TEST(OutputFileTest, UnwritablePathsAreRefusedAndNothingIsWritten) {
  scratch_dir dir;
  std::filesystem::create_directory("folder");
  write_file("kept.json", "old");
  // A read-only folder, which not even root may write: the sandbox's mount
  // namespace is the test's own.
  std::filesystem::create_directory("ro");
  write_file("ro/r.json", "old");
  ASSERT_EQ(mount("ro", "ro", nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(
      mount(nullptr, "ro", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
      0);
  const std::vector<std::string> before = listing();
  for (int way : {OUTPUT_IN_PLACE, OUTPUT_REPLACED}) {
    EXPECT_EQ(refusal("", way), "the path is empty");
    EXPECT_EQ(refusal("folder", way), "is a directory");
    EXPECT_EQ(refusal("folder/", way), "is a directory");
    EXPECT_EQ(refusal("missing/r.json", way), "No such file or directory");
    EXPECT_EQ(refusal("ro/r.json", way), "Read-only file system");
    EXPECT_EQ(refusal("ro/new.json", way), "Read-only file system");
    std::string reason;
    EXPECT_EQ(check_output_path("kept.json", way, &reason), 0) << reason;
    EXPECT_EQ(check_output_path("new.json", way, &reason), 0) << reason;
  }
  // Replaced by a rename, a device would become a plain file.
  EXPECT_EQ(refusal("/dev/null", OUTPUT_REPLACED), "is not a regular file");
  EXPECT_EQ(listing(), before);
  EXPECT_EQ(read_file("kept.json"), "old");
  umount("ro");
}

void write_new(std::FILE *out, const void *) {
  std::fputs("new", out);
}

TEST(OutputFileTest, ReplacementKeepsTheModeAndTheLink) {
  scratch_dir dir;
  std::filesystem::create_directory("store");
  write_file("store/r.json", "old");
  ASSERT_EQ(chmod("store/r.json", 0640), 0);
  ASSERT_EQ(symlink("store/r.json", "r.json"), 0);
  // A link to a file yet to be made is followed too.
  ASSERT_EQ(symlink("store/later.json", "later.json"), 0);

  ASSERT_EQ(replace_file("r.json", write_new, nullptr), 0);
  ASSERT_EQ(replace_file("later.json", write_new, nullptr), 0);
  EXPECT_TRUE(std::filesystem::is_symlink("r.json"));
  EXPECT_TRUE(std::filesystem::is_symlink("later.json"));
  EXPECT_EQ(read_file("store/r.json"), "new");
  EXPECT_EQ(read_file("store/later.json"), "new");
  struct stat st;
  ASSERT_EQ(stat("store/r.json", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // The failure reported is the one that happened.
  errno = 0;
  EXPECT_EQ(replace_file("missing/r.json", write_new, nullptr), -1);
  EXPECT_EQ(errno, ENOENT);
}

std::string written_by(void (*write)(std::FILE *, const export_run *,
                                     const run_results &),
                       const export_run *run, const run_results &r) {
  char *bytes = nullptr;
  std::size_t size = 0;
  std::FILE *out = open_memstream(&bytes, &size);
  write(out, run, r);
  std::fclose(out);
  std::string text(bytes, size);
  std::free(bytes);
  return text;
}

void csv_of(std::FILE *out, const export_run *, const run_results &r) {
  write_csv(out, r);
}

// The exports of a kept pass, without running anything: every name in list
// order with its outcome and cause, the row of bare domains as "-", and a
// formula kept as text.
TEST(ExportTest, JsonAndCsvTellEachProbeOfAPass) {
  run_list list;
  list.rules = LIST_OPEN;
  list.providers = {"ours", "-"};
  list.lines = {{"ok.example", 0, false}, {"=cmd.example", 1, false}};
  list.probed = 2;
  list.cut = false;
  list.control_lines = 0;
  run_results results;
  prepare_results(&results, &list, nullptr, 1);
  const stored_probe ok{1500, PROBE_OK, 1, 0, PROBE_ERROR_NONE, false, 0};
  const stored_probe refused{-1, PROBE_FAILED, 2, 5, PROBE_ERROR_RCODE, false,
                             0};
  pass_result pass;
  pass.ns = "tcp://192.0.2.53";
  pass.transport = NS_TCP;
  pass.address = "192.0.2.53:53";
  pass.engine_error = pass.send_error = pass.fallbacks = 0;
  pass.seconds = 0.5;
  pass.stream = stream_stats{};
  pass.lines = {{ok, refused}, {refused, ok}};
  pass.answers.resize(4);
  pass.answers.put(
      0, probe_answers{{"192.0.2.1", "2001:db8::1"}, {"cdn.example."}, 300});
  keep_pass(&results, &pass);
  export_run run{};
  run.started = "2026-12-08T00:00:00+00:00";
  run.list_path = "list.txt";
  run.passes_planned = 1;
  run.rules = "open";
  run.type = "A";

  const nlohmann::json j =
      nlohmann::json::parse(written_by(write_json, &run, results));
  EXPECT_EQ(j["complete"], true);
  const nlohmann::json &ns = j["nameservers"][0];
  EXPECT_EQ(ns["transport"], "tcp");
  EXPECT_EQ(ns["connect_address"], "192.0.2.53:53");
  EXPECT_EQ(ns["total"]["ok"], 2);
  EXPECT_EQ(ns["names"][0]["bare"]["ms"], 1.5);
  EXPECT_EQ(ns["names"][0]["bare"]["answers"],
            nlohmann::json::parse(R"(["192.0.2.1","2001:db8::1"])"));
  EXPECT_EQ(ns["names"][0]["bare"]["cname"],
            nlohmann::json::parse(R"(["cdn.example."])"));
  EXPECT_EQ(ns["names"][0]["bare"]["ttl"], 300);
  EXPECT_EQ(ns["names"][1]["www"].count("answers"), 0u);
  EXPECT_EQ(ns.count("nx_probe"), 0u);
  EXPECT_EQ(ns["names"][0]["www"]["rcode"], "REFUSED");
  EXPECT_EQ(ns["names"][0]["www"]["error"], "rcode");
  EXPECT_EQ(ns["names"][1]["provider"], "-");
  EXPECT_EQ(ns["providers"][1]["errors"]["rcode"], 1);

  EXPECT_EQ(written_by(csv_of, &run, results),
            "nameserver,provider,domain,name,outcome,ms,attempts,rcode,error,"
            "ascii,authority,answers\r\n"
            "tcp://192.0.2.53,ours,ok.example,ok.example,ok,1.500,1,NOERROR,,"
            ",,192.0.2.1 2001:db8::1\r\n"
            "tcp://192.0.2.53,ours,ok.example,www.ok.example,failed,,2,REFUSED,"
            "rcode,,,\r\n"
            "tcp://192.0.2.53,-,'=cmd.example,'=cmd.example,failed,,2,REFUSED,"
            "rcode,,,\r\n"
            "tcp://192.0.2.53,-,'=cmd.example,www.=cmd.example,ok,1.500,1,"
            "NOERROR,,,,\r\n");
}

// What is said of a kept pass: the set-up's failure once, the server's
// closing words, and the list's unsendable names in the first pass only.
TEST(PassMessagesTest, EachCauseIsSaidOnceAndTheUnsendableNamesOnce) {
  run_list list;
  list.rules = LIST_OPEN;
  list.providers = {"ours"};
  list.lines = {{"ok.example", 0, false}, {"bad..example", 0, false}};
  list.probed = 2;
  run_results results;
  prepare_results(&results, &list, nullptr, 1);
  const stored_probe ok{1500, PROBE_OK, 1, 0, PROBE_ERROR_NONE, false, 0};
  const stored_probe unsent{
      -1, PROBE_FAILED, 0, -1, PROBE_ERROR_UNSENDABLE, false, 0};
  pass_result pass;
  pass.ns = "tls://192.0.2.53";
  pass.transport = NS_TLS;
  pass.engine_error = pass.send_error = pass.fallbacks = 0;
  pass.stream = stream_stats{};
  pass.stream.setup_failures = 2;
  pass.stream.failure = PROBE_ERROR_TLS;
  pass.stream.reason = "certificate has expired";
  pass.stream.closed_with = "a stream closed with error code 0x2";
  pass.lines = {{ok, ok}, {unsent, unsent}};
  pass.answers.resize(4);
  keep_pass(&results, &pass);
  ns_target target;
  ASSERT_EQ(parse_ns_target("tls://192.0.2.53", &target), 0);

  bool unsent_said = false;
  const std::vector<std::string> first =
      pass_messages(target, results.passes[0], results, &unsent_said);
  const std::vector<std::string> expected = {
      "cannot set up TLS with tls://192.0.2.53: certificate has expired (2 "
      "failed)",
      "tls://192.0.2.53: a stream closed with error code 0x2",
      "the name 'bad..example' was not sent: it has no form a query can "
      "carry (an empty label, a label over 63 bytes, or over 255 bytes in "
      "all), nor was 1 more such name"};
  EXPECT_EQ(first, expected);
  EXPECT_TRUE(unsent_said);
  EXPECT_EQ(pass_messages(target, results.passes[0], results, &unsent_said),
            std::vector<std::string>(expected.begin(), expected.end() - 1));
}

TEST(EscapeTest, ListTextsCannotBreakOutOfTheirPlace) {
  EXPECT_EQ(html_escape("<a href=\"x\">&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(metric_label("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
}

TEST(DisplayTest, MessageDuringALiveLineStartsALineOfItsOwn) {
  scratch_dir dir;
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  ASSERT_TRUE(std::freopen("err.txt", "w", stderr));
  run_results results;
  progress shown(PROGRESS_LIVE, 2, false, &results);
  shown.pass_started(0, 1, "127.0.0.9");
  shown.tick();
  shown.say("cannot write %s: %s", "r.json", "No space left on device");
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);

  const std::string err = read_file("err.txt");
  const std::size_t line = err.find("[1/1] 127.0.0.9");
  ASSERT_NE(line, std::string::npos) << err;
  // The open progress line is cleared first, and the message ends its own
  // line.
  EXPECT_NE(err.find("\r\033[Kzelkor: cannot write r.json: No space left on "
                     "device\n",
                     line),
            std::string::npos)
      << err;
}

} // namespace

// What makes an answer suspect or the same as the authoritative one.
TEST(AnswersTest, BogonsAndComparisons) {
  for (const char *bogon : {"127.0.0.1", "0.0.0.0", "10.1.2.3", "172.16.0.1",
                            "172.31.255.255", "192.168.1.1", "169.254.1.1",
                            "::", "::1", "fd00::1", "fe80::1", "2001::1"})
    EXPECT_TRUE(is_bogon(bogon)) << bogon;
  for (const char *public_address : {"172.32.0.1", "8.8.8.8", "192.0.2.1",
                                     "2001:db8::1", "2606:4700::1111", "::2"})
    EXPECT_FALSE(is_bogon(public_address)) << public_address;

  const probe_answers ours{{"192.0.2.1"}, {}, 300};
  EXPECT_EQ(compare_answers(ours, probe_answers{{"192.0.2.77"}, {}, 60}),
            VS_SAME);
  EXPECT_EQ(compare_answers(ours, probe_answers{{"198.51.100.1"}, {}, 60}),
            VS_DIFFERS);
  EXPECT_EQ(compare_answers(probe_answers{{"2001:db8:1::1"}, {}, 60},
                            probe_answers{{"2001:db8:1:ffff::2"}, {}, 60}),
            VS_SAME);
  EXPECT_EQ(
      compare_answers(
          probe_answers{{"203.0.113.9"}, {"cdn.example."}, 60},
          probe_answers{{"198.51.100.9"}, {"x.example.", "cdn.example."}, 60}),
      VS_SAME);
  EXPECT_EQ(compare_answers(ours, probe_answers{{}, {}, -1}), VS_UNVERIFIABLE);
}

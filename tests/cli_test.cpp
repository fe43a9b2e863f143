// The terminal program, run as a user runs it, against fake nameservers:
// its exit status, standard output and error, log.txt, JSON and CSV.
#include "run/local_dns.h"
#include "tests/support/cli_run.h"
#include "tests/support/fake_ns.h"
#include "tests/support/fakes_test.h"
#include "tests/support/run_files.h"
#include "tests/support/sixty_lines.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <locale.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <thread>

namespace {

using nlohmann::json;

// The report's header line and the closing separator, as log.txt has them.
const std::string LOG_HEADER =
    "该文件记录每次检查dns的成功率，以及查询失败的域名\r\n\r\n";
const std::string LOG_CLOSE =
    "==================================================\r\n\r\n\r\n";

std::string lines_of(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines)
    text += line;
  return text;
}

size_t count_lines(const std::string &text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class CliTest : public fakes_test {};

TEST_F(CliTest, LogIsTheWindowsProgramsByteForByte) {
  fake_ns *local_1 = serve("127.0.0.41", FAKE_ANSWER_A);
  fake_ns *local_2 = serve("127.0.0.42", FAKE_ANSWER_A);
  fake_ns *public_1 = serve(public_dns_1, FAKE_ANSWER_A);
  fake_ns *public_2 = serve(public_dns_2, FAKE_ANSWER_A);
  script_sixty_line_fakes(local_1, local_2, public_1, public_2);
  write_file("list.txt", lines_of(sixty_lines));

  // The Windows program's list rules: untagged lines count, unprobed.
  cli_result r = run_zelkor(
      {"--classic", "-s", "127.0.0.41", "-s", "127.0.0.42", "-s", public_dns_1,
       "-s", public_dns_2, "--json", "r.json", "--csv", "r.csv", "list.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file("log.txt"), sixty_line_log);
  // Not a tty: a plain line as each nameserver starts and ends.
  EXPECT_EQ(count_lines(r.err), 8u) << r.err;
  // The table's totals, and the pane's words for them in UTF-8.
  EXPECT_NE(r.out.find("total"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DNS 127.0.0.41      \xe6\x88\x90\xe5\x8a\x9f\xe7\x8e"
                       "\x87: 91.6667% (110/120)"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("begin to test"), std::string::npos);
  // What each figure counts, so that progress and totals agree.
  EXPECT_NE(r.err.find("127.0.0.41: done, 110 of 114 probed names resolved"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("The totals count all 60 list lines; 3 had no known "
                       "provider and were not probed.\n"),
            std::string::npos)
      << r.out;

  json j = parse_json("r.json");
  EXPECT_EQ(j["lines"], json::parse(R"({"stored":60,"usable":57})"));
  EXPECT_EQ(j["complete"], true);
  ASSERT_EQ(j["nameservers"].size(), 4u);
  const int totals[] = {110, 110, 114, 107};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(j["nameservers"][i]["total"]["ok"], totals[i]);
    EXPECT_EQ(j["nameservers"][i]["total"]["count"], 120);
    EXPECT_EQ(j["nameservers"][i]["names"].size(), 57u);
  }
  const json &quarin = j["nameservers"][0]["providers"][1];
  EXPECT_EQ(quarin["tag"], "quarin");
  EXPECT_EQ(quarin["ok"], 14);
  EXPECT_EQ(quarin["negative"], 2);
  EXPECT_EQ(quarin["failed"], 0);
  EXPECT_EQ(quarin["rate"], 87.5);

  std::string csv = read_file("r.csv");
  EXPECT_EQ(count_lines(csv), 1u + 57 * 2 * 4);
  EXPECT_EQ(
      csv.rfind("nameserver,provider,domain,name,outcome,ms,attempts,rcode,"
                "error,ascii,authority,answers\r\n",
                0),
      0u);
  EXPECT_NE(
      csv.find("\r\n127.0.0.41,brelm,b0.example,b0.example,failed,,2,REFUSED,"
               "rcode,,,\r\n"),
      std::string::npos);
  EXPECT_NE(csv.find("\r\n127.0.0.42,zelkor,z0.example,z0.example,failed,,2,,"
                     "timeout,,,\r\n"),
            std::string::npos);
}

TEST_F(CliTest, ExportsTellOutcomeAttemptsAndLatency) {
  fake_ns *ns = serve("127.0.0.51", FAKE_ANSWER_A);
  fake_ns_rule(ns, "nx.example", FAKE_NXDOMAIN);
  fake_ns_rule(ns, "ref.example", FAKE_REFUSED);
  fake_ns_rule(ns, "www.ref.example", FAKE_REFUSED);
  // Its first attempt times out; the late reply decides the second.
  fake_ns_rule(ns, "late.example", FAKE_DELAYED, 2500);
  write_file("list.txt", "zelkor:ok.example\n"
                         "quarin:nx.example\n"
                         "ruvo-ns:ref.example\n"
                         "tovessa:late.example\n"
                         "brelm:=cmd.example\n"
                         "9pel:\xd6\xd0\xce\xc4.example\n" // GBK
                         "pelnox:bad\xff.example\n"        // neither
                         "marvoly:" +
                             std::string(64, 'a') + ".example\n");

  cli_result r = run_zelkor({"-q", "-s", "127.0.0.51", "--authority", "off",
                             "--json", "r.json", "--csv", "r.csv", "list.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  // A label of 64 characters has no wire form: said once.
  // A name that is neither UTF-8 nor GBK has no ASCII form either.
  EXPECT_EQ(r.err, "zelkor: list.txt: the name 'bad\xef\xbf\xbd.example' has "
                   "no ASCII form (its bytes are neither UTF-8 nor GBK); it "
                   "is not sent\n"
                   "zelkor: the name '" +
                       std::string(64, 'a') +
                       ".example' was not sent: it has no form a query can "
                       "carry (an empty label, a label over 63 bytes, or over "
                       "255 bytes in all), nor was 1 more such name\n");
  json j = parse_json("r.json");
  ASSERT_EQ(j["nameservers"].size(), 1u);
  const json &n = j["nameservers"][0];
  EXPECT_EQ(named(n, "ok.example")["bare"]["outcome"], "ok");
  EXPECT_EQ(named(n, "ok.example")["bare"]["attempts"], 1);
  EXPECT_LT(named(n, "ok.example")["bare"]["ms"].get<double>(), 2000.0);
  EXPECT_EQ(named(n, "nx.example")["bare"]["outcome"], "negative");
  EXPECT_EQ(named(n, "nx.example")["bare"]["attempts"], 1);
  EXPECT_TRUE(named(n, "nx.example")["bare"]["ms"].is_number());
  EXPECT_EQ(named(n, "nx.example")["bare"]["rcode"], "NXDOMAIN");
  EXPECT_EQ(named(n, "ok.example")["bare"]["rcode"], "NOERROR");
  EXPECT_EQ(named(n, "ref.example")["bare"],
            json::parse(R"({"outcome":"failed","ms":null,"attempts":2,)"
                        R"("rcode":"REFUSED","error":"rcode"})"));
  // Never sent, so never attempted.
  EXPECT_EQ(named(n, std::string(64, 'a') + ".example")["www"],
            json::parse(R"({"outcome":"failed","ms":null,"attempts":0,)"
                        R"("rcode":null,"error":"unsendable"})"));
  EXPECT_EQ(named(n, "late.example")["bare"]["outcome"], "ok");
  EXPECT_EQ(named(n, "late.example")["bare"]["attempts"], 2);
  EXPECT_GE(named(n, "late.example")["bare"]["ms"].get<double>(), 2000.0);
  EXPECT_EQ(named(n, "\xe4\xb8\xad\xe6\x96\x87.example")["provider"], "9pel");
  const json &bad = named(n, "bad\xef\xbf\xbd.example");
  EXPECT_EQ(bad["domain_hex"], "626164ff2e6578616d706c65");
  // The provider's latency is over the probes that got a reply.
  const json &ruvo = n["providers"][4];
  EXPECT_EQ(ruvo["failed"], 2);
  EXPECT_EQ(ruvo["median_ms"], nullptr);
  EXPECT_EQ(ruvo["rate"], 0.0);
  EXPECT_EQ(ruvo["errors"]["rcode"], 2);
  EXPECT_EQ(n["providers"][7]["lines"], 1);
  EXPECT_GE(n["providers"][2]["p95_ms"].get<double>(), 2000.0);

  std::string csv = read_file("r.csv");
  EXPECT_NE(csv.find("\r\n127.0.0.51,brelm,'=cmd.example,www.=cmd.example,ok,"),
            std::string::npos)
      << csv;
  EXPECT_NE(csv.find("\r\n127.0.0.51,ruvo-ns,ref.example,ref.example,failed,,2"
                     ",REFUSED,rcode,,,\r\n"),
            std::string::npos);
}

// The open rules on one small list, saved as Notepad's "Unicode" (UTF-16
// with its mark), against a nameserver and one that never answers.
TEST_F(CliTest, OpenRulesTakeAnyTagAndBareDomains) {
  fake_ns *ns = serve("127.0.0.53", FAKE_ANSWER_A);
  serve("127.0.0.54", FAKE_SILENT);
  const std::string too_long = std::string(300, 'x') + ".example";
  const std::string text = "# providers of our own\n"
                           "  cloudflare : a.example \t\r\n"
                           "\n"
                           "route53:b.example\n"
                           "quarin-cn:c.example\n"
                           "plain.example\n"
                           "Cloudflare:d.example\n"
                           "cloudflare:" +
                           too_long + "\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text)
    utf16 += std::string(1, c) + '\0';
  write_file("list.txt", utf16);

  cli_result r = run_zelkor({"-q", "-s", "127.0.0.53:53", "-s", "127.0.0.54",
                             "--timeout", "100", "--attempts", "1", "-c", "3",
                             "-t", "AAAA", "--json", "r.json", "list.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("zelkor: no reply from 127.0.0.54 to any query\n"),
            std::string::npos)
      << r.err;
  json j = parse_json("r.json");
  EXPECT_EQ(j["lines"], json::parse(R"({"stored":6,"usable":6})"));
  EXPECT_EQ(j["settings"]["type"], "AAAA");
  ASSERT_EQ(j["nameservers"].size(), 2u);
  const json &first = j["nameservers"][0];
  EXPECT_EQ(first["address"], "127.0.0.53");
  std::vector<std::string> tags;
  for (const json &p : first["providers"])
    tags.push_back(p["tag"]);
  // The eight built-in rows, then the list's own tags as first seen (exact
  // case), then the bare domains.
  EXPECT_EQ(
      std::vector<std::string>(tags.begin() + 8, tags.end()),
      (std::vector<std::string>{"cloudflare", "route53", "Cloudflare", "-"}));
  EXPECT_EQ(named(first, "a.example")["provider"], "cloudflare");
  EXPECT_EQ(named(first, "c.example")["provider"], "quarin");
  EXPECT_EQ(named(first, "plain.example")["provider"], "-");
  EXPECT_EQ(named(first, too_long)["bare"]["error"], "unsendable");
  // The fake answers an A record, which is no answer to AAAA.
  EXPECT_EQ(named(first, "b.example")["bare"]["outcome"], "failed");
  EXPECT_EQ(named(first, "b.example")["bare"]["error"], "noanswer");
  for (const fake_datagram &d : fake_ns_received(ns))
    EXPECT_EQ(d.qtype, 28) << d.qname;
  // Five names, bare and www, and the eight that cannot exist.
  EXPECT_EQ(fake_ns_received(ns).size(), 18u);
  EXPECT_EQ(j["nameservers"][1]["replied"], false);
  EXPECT_EQ(j["nameservers"][1]["total"]["ok"], 0);
}

// A forged reply that races the true one makes the probe suspect, with
// both replies; the true reply sent twice is no race; without the hold
// the forgery goes unseen.
TEST_F(CliTest, RepliesThatDisagreeMakeAProbeSuspect) {
  fake_ns *ns = serve("127.0.0.57", FAKE_ANSWER_A);
  fake_ns_rule(ns, "race.example", FAKE_RACE, 50);
  fake_ns_rule(ns, "dup.example", FAKE_DUPLICATE);
  write_file("list.txt", "zelkor:race.example\nzelkor:dup.example\n");
  cli_result r =
      run_zelkor({"--no-log", "-s", "127.0.0.57", "--authority", "off",
                  "--json", "r.json", "--html", "r.html", "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  json n = parse_json("r.json")["nameservers"][0];
  const json &race = named(n, "race.example")["bare"];
  EXPECT_EQ(race["outcome"], "suspect");
  EXPECT_EQ(race["error"], "suspect");
  EXPECT_EQ(race["reasons"], json::parse(R"(["race"])"));
  ASSERT_EQ(race["replies"].size(), 2u);
  EXPECT_EQ(race["replies"][0]["answers"], json::parse(R"(["198.51.100.66"])"));
  EXPECT_EQ(race["replies"][1]["answers"], json::parse(R"(["192.0.2.1"])"));
  // The latency stays the first reply's.
  EXPECT_EQ(race["ms"], race["replies"][0]["ms"]);
  EXPECT_GE(race["replies"][1]["ms"].get<double>(), 50.0);
  EXPECT_EQ(named(n, "dup.example")["bare"]["outcome"], "ok");
  EXPECT_EQ(named(n, "dup.example")["bare"].count("replies"), 0u);
  EXPECT_EQ(named(n, "race.example")["www"]["outcome"], "ok");
  EXPECT_NE(r.out.find("127.0.0.57 gave 1 probe replies that disagree"),
            std::string::npos)
      << r.out;
  EXPECT_NE(read_file("r.html").find("suspect (198.51.100.66, then 192.0.2.1)"),
            std::string::npos);

  r = run_zelkor({"-q", "--no-log", "-s", "127.0.0.57", "--hold", "0",
                  "--authority", "off", "--json", "r.json", "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  n = parse_json("r.json")["nameservers"][0];
  EXPECT_EQ(named(n, "race.example")["bare"]["outcome"], "ok");
  EXPECT_EQ(named(n, "race.example")["bare"]["answers"],
            json::parse(R"(["198.51.100.66"])"));
}

TEST_F(CliTest, MinRateDecidesTheExitStatus) {
  fake_ns *ns = serve("127.0.0.51", FAKE_ANSWER_A);
  fake_ns_rule(ns, "ref.example", FAKE_REFUSED);
  fake_ns_rule(ns, "www.ref.example", FAKE_REFUSED);
  write_file("list.txt", "zelkor:ok.example\nzelkor:ref.example\n");

  cli_result below =
      run_zelkor({"-q", "-s", "127.0.0.51", "--min-rate", "60", "list.txt"});
  EXPECT_EQ(below.status, 1);
  EXPECT_EQ(below.err, "zelkor: 127.0.0.51 resolved 2 of 4 names (50.0000%), "
                       "below --min-rate 60%\n");
  cli_result met =
      run_zelkor({"-q", "-s", "127.0.0.51", "--min-rate", "50", "list.txt"});
  EXPECT_EQ(met.status, 0) << met.err;
  EXPECT_EQ(met.err, "");
}

TEST_F(CliTest, BadInputStopsBeforeAnythingIsSent) {
  fake_ns *ns = serve("127.0.0.51", FAKE_ANSWER_A);
  write_file("list.txt", "zelkor:ok.example\n");
  std::filesystem::create_directory("folder");

  cli_result missing = run_zelkor({"-s", "127.0.0.51", "missing.txt"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "zelkor: cannot read the list missing.txt: No such "
                         "file or directory\n");
  cli_result folder = run_zelkor({"-s", "127.0.0.51", "folder"});
  EXPECT_EQ(folder.status, 2);
  EXPECT_EQ(folder.err,
            "zelkor: cannot read the list folder: Is a directory\n");
  for (const char *address :
       {"1.2.3", "127.0.0.051", "127.0.0.256", "255.255.255.255"}) {
    cli_result bad = run_zelkor({"-s", address, "list.txt"});
    EXPECT_EQ(bad.status, 2) << address;
    EXPECT_EQ(count_lines(bad.err), 2u) << bad.err; // the error, --help
  }
  for (const char *rounds : {"0", "11", "x"}) {
    cli_result bad =
        run_zelkor({"-s", "127.0.0.51", "--rounds", rounds, "list.txt"});
    EXPECT_EQ(bad.status, 2) << rounds;
    EXPECT_EQ(bad.err, std::string("zelkor: --rounds takes a number from 1 "
                                   "to 10, not '") +
                           rounds + "'\nTry 'zelkor --help'.\n");
  }
  // Output paths: one line naming the option and the reason.
  const std::vector<std::vector<std::string>> outputs = {
      {"--json", "", "zelkor: --json \"\": the path is empty\n"},
      {"--json", "folder/", "zelkor: --json folder/: is a directory\n"},
      {"--csv", "missing/r.csv",
       "zelkor: --csv missing/r.csv: No such file or directory\n"},
      {"--log", "folder", "zelkor: --log folder: is a directory\n"},
  };
  for (const auto &o : outputs) {
    cli_result bad = run_zelkor({"-s", "127.0.0.51", o[0], o[1], "list.txt"});
    EXPECT_EQ(bad.status, 2) << o[1];
    EXPECT_EQ(bad.err, o[2]);
  }
  // A list with nothing to probe.
  write_file("untagged.txt", "# nothing but a comment\n\n  \t\n");
  cli_result empty = run_zelkor({"-s", "127.0.0.51", "untagged.txt"});
  EXPECT_EQ(empty.status, 2);
  EXPECT_EQ(empty.err.rfind("zelkor: untagged.txt: nothing to test: ", 0), 0u)
      << empty.err;
  EXPECT_EQ(count_lines(empty.err), 1u);
  // Random bytes are no list.
  write_file("random.bin", std::string("\x8f\x00\x1b[2J\x07zz:\x00\xff", 11));
  cli_result binary = run_zelkor({"-s", "127.0.0.51", "random.bin"});
  EXPECT_EQ(binary.status, 2);
  EXPECT_EQ(binary.err, "zelkor: random.bin is not a text list: it holds NUL "
                        "bytes (a list saved as UTF-16 starts with its byte "
                        "order mark)\n");

  EXPECT_FALSE(std::filesystem::exists("log.txt"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("folder"),
                          std::filesystem::directory_iterator()),
            0);
  EXPECT_TRUE(fake_ns_received(ns).empty());
}

// What reaches the terminal from outside is shown, never obeyed: control
// characters escaped, long names cut (the files keep them whole), each
// message under its own nameserver, the names of the totals whole, and
// Chinese as UTF-8 even in the C locale.
TEST_F(CliTest, TerminalShowsNothingRawAndKeepsItsLines) {
  serve("127.0.0.52", FAKE_ANSWER_A);
  serve("127.0.0.54", FAKE_ANSWER_A);
  const std::string long_tag(300, 't');
  write_file("list.txt", "\x1b[2J\x1b[31mevil:example.com\n"
                         "ding\x07:bell.example\n" +
                             long_tag +
                             ":long.example\n"
                             "bare.example\n" +
                             std::string(64, 'a') + ".example\n");
  cli_setup c_locale;
  c_locale.locale = "C";
  cli_result r = run_zelkor({"--no-log", "-s", "127.0.0.52", "-s", "127.0.0.54",
                             "-s", "tcp://127.0.0.53", "--csv", "r.csv",
                             "--json", "r.json", "list.txt"},
                            c_locale);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const std::string *text : {&r.out, &r.err})
    for (char byte : {'\x1b', '\x07'})
      EXPECT_EQ(text->find(byte), std::string::npos) << *text;
  EXPECT_NE(r.err.find("zelkor: list.txt: 2 lines with control characters "
                       "are not tested, the first: "
                       "'\\x1b[2J\\x1b[31mevil:example.com'\n"),
            std::string::npos)
      << r.err;
  // Plain progress, in order: side by side, every pass begins at once; each
  // ends in the nameservers' order, its messages just before its end.
  EXPECT_NE(r.err.find("[1/3] 127.0.0.52: testing 3 domains\n"),
            std::string::npos);
  const std::size_t third = r.err.find("[3/3] tcp://127.0.0.53: testing");
  const std::size_t refused = r.err.find("cannot connect to tcp://127.0.0.53");
  ASSERT_NE(refused, std::string::npos) << r.err;
  EXPECT_LT(third, r.err.find("[1/3] 127.0.0.52: done")) << r.err;
  EXPECT_LT(r.err.find("[2/3] 127.0.0.54: done"), refused) << r.err;
  EXPECT_LT(refused, r.err.find("[3/3] tcp://127.0.0.53: done")) << r.err;
  // The list's names that cannot be sent: one line in the run, not one a
  // pass.
  const std::string unsent = "was not sent: it has no form a query can carry "
                             "(an empty label, a label over 63 bytes, or over "
                             "255 bytes in all), nor was 1 more such name\n";
  const std::size_t said = r.err.find(unsent);
  EXPECT_NE(said, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("was not sent", said + 1), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("more time"), std::string::npos) << r.err;
  // Not a terminal: a name is cut to 40 columns.
  EXPECT_NE(r.out.find("\n" + std::string(39, 't') + "\xe2\x80\xa6  "),
            std::string::npos)
      << r.out;
  // The totals name each nameserver whole, the figures in one column.
  const std::string rate = "\xe6\x88\x90\xe5\x8a\x9f\xe7\x8e\x87: "; // UTF-8
  EXPECT_NE(r.out.find("\nDNS 127.0.0.52       " + rate), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nDNS 127.0.0.54       " + rate), std::string::npos);
  EXPECT_NE(r.out.find("\nDNS tcp://127.0.0.53 " + rate), std::string::npos);
  // The files keep the tag whole; the row of bare domains is "-" in both.
  const json j = parse_json("r.json");
  EXPECT_EQ(j["nameservers"][0]["providers"][8]["tag"], long_tag);
  const std::string csv = read_file("r.csv");
  EXPECT_NE(csv.find("\r\n127.0.0.52,-,bare.example,bare.example,ok,"),
            std::string::npos)
      << csv;

  write_file("one.txt", "one.example\n");
  r = run_zelkor({"--no-log", "-s", "127.0.0.52", "one.txt"});
  EXPECT_NE(r.err.find("[1/1] 127.0.0.52: testing 1 domain\n"),
            std::string::npos)
      << r.err;
}

TEST_F(CliTest, NumbersKeepTheirPointInACommaLocale) {
  // Without the locale the program would not be tested in it.
  locale_t comma = newlocale(LC_ALL_MASK, "de_DE.UTF-8", nullptr);
  ASSERT_TRUE(comma) << "scripts/setup generates de_DE.UTF-8";
  freelocale(comma);
  fake_ns *ns = serve("127.0.0.51", FAKE_ANSWER_A);
  fake_ns_rule(ns, "ref.example", FAKE_REFUSED);
  fake_ns_rule(ns, "www.ref.example", FAKE_REFUSED);
  write_file("list.txt", "zelkor:ok.example\nzelkor:ref.example\n");
  cli_setup german;
  german.locale = "de_DE.UTF-8";

  cli_result r = run_zelkor({"-q", "-s", "127.0.0.51", "--csv", "r.csv",
                             "--min-rate", "99.5", "list.txt"},
                            german);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "zelkor: 127.0.0.51 resolved 2 of 4 names (50.0000%), "
                   "below --min-rate 99.5%\n");
  EXPECT_NE(read_file("log.txt").find("zelkor              2/4, 50.0000%\r\n"
                                      "----------------------------------\n"
                                      "127.0.0.51           total: 2/4, "
                                      "50.0000%\r\n"),
            std::string::npos);
  std::string csv = read_file("r.csv");
  EXPECT_EQ(count_lines(csv), 5u);
  EXPECT_EQ(std::count(csv.begin(), csv.end(), ','), 11 * 5) << csv;
  EXPECT_NE(r.out.find(" 50.0% "), std::string::npos) << r.out;
}

TEST_F(CliTest, FailedWritesToStandardOutputAreReported) {
  serve("127.0.0.51", FAKE_ANSWER_A);
  write_file("list.txt", "zelkor:ok.example\n");
  cli_setup full;
  full.out = "/dev/full";
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"-q", "-s", "127.0.0.51", "--json", "-", "list.txt"},
           {"-q", "-s", "127.0.0.51", "--csv", "-", "list.txt"},
           {"--help"}}) {
    cli_result r = run_zelkor(args, full);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_NE(r.err.find("zelkor: cannot write standard output: No space "
                         "left on device\n"),
              std::string::npos)
        << r.err;
  }
  // A reader that has gone away is no news: the program ends quietly.
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  close(pipe_ends[0]);
  cli_setup closed;
  closed.out_fd = pipe_ends[1];
  pid_t pid = start_zelkor(
      {"-q", "-s", "127.0.0.51", "--json", "-", "list.txt"}, closed);
  close(pipe_ends[1]);
  cli_result r = finish_zelkor(pid);
  EXPECT_TRUE(r.status == 128 + SIGPIPE || r.status == 2) << r.status;
  EXPECT_EQ(r.err.find("cannot write"), std::string::npos) << r.err;
}

// The value of the one sample of `metrics` whose name and labels are
// `series`; NaN when there is none.
double sample(const std::string &metrics, const std::string &series) {
  std::size_t at = metrics.find("\n" + series + " ");
  if (at == std::string::npos)
    return std::nan("");
  return std::strtod(metrics.c_str() + at + series.size() + 2, nullptr);
}

TEST_F(CliTest, ReportAndMetricsShowTheJsonsFigures) {
  const char *const hostile[] = {
      "<script>document.title='pwned'</script>.example",
      "<img src=x onerror=\"document.title='pwned'\">.example",
      "a&b\"c'.example"};
  for (const char *ip : {"127.0.0.61", "127.0.0.62"}) {
    fake_ns *ns = serve(ip, FAKE_ANSWER_A);
    fake_ns_rule(ns, "nx.example", FAKE_NXDOMAIN);
    for (const char *name : hostile)
      fake_ns_rule(ns, name, FAKE_NXDOMAIN);
  }
  fake_ns_rule(fakes[1], "slow.example", FAKE_REFUSED);
  write_file("list.txt", std::string("zelkor:ok.example\n"
                                     "zelkor:nx.example\n"
                                     "quarin:slow.example\n"
                                     "brelm:") +
                             hostile[0] + "\nbrelm:" + hostile[1] +
                             "\n9pel:" + hostile[2] + "\nuntagged.example\n");
  cli_result r = run_zelkor({"-q", "-s", "127.0.0.61", "-s", "127.0.0.62",
                             "--json", "r.json", "--html", "r.html",
                             "--metrics", "r.prom", "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  json j = parse_json("r.json");
  ASSERT_EQ(j["nameservers"].size(), 2u);

  // The page as a browser builds it, with nothing but loopback to reach.
  std::string dom;
  ASSERT_EQ(browser_dom(dir.path() + "/r.html", dir.path(), &dom), 0) << dom;
  // One cell per provider and nameserver, as the JSON rates it.
  for (const json &ns : j["nameservers"]) {
    std::vector<std::pair<std::string, json>> rows;
    for (const json &p : ns["providers"]) {
      if (p["lines"] > 0)
        rows.emplace_back(p["tag"], p["rate"]);
    }
    rows.emplace_back("total", ns["total"]["rate"]);
    for (const auto &row : rows) {
      char text[32];
      std::snprintf(text, sizeof text, "%.1f%%", row.second.get<double>());
      const std::string cell = "<td data-ns=\"" +
                               ns["address"].get<std::string>() +
                               "\" data-provider=\"" + row.first + "\"";
      const std::size_t at = dom.find(cell);
      ASSERT_NE(at, std::string::npos) << cell;
      const std::size_t text_at = dom.find('>', at) + 1;
      EXPECT_EQ(dom.substr(text_at, dom.find('<', text_at) - text_at), text)
          << cell;
    }
  }
  // The hostile names are text, and nothing of theirs ran. A name breaks
  // only after a dot, and says why it failed.
  EXPECT_NE(dom.find("<li><span>&lt;script&gt;document.</span><wbr><span>"
                     "title='pwned'&lt;/script&gt;.</span><wbr><span>example"
                     "</span> <small>NXDOMAIN</small></li>"),
            std::string::npos);
  EXPECT_NE(dom.find("<li><span>&lt;img src=x onerror=\"document.</span><wbr>"
                     "<span>title='pwned'\"&gt;.</span><wbr><span>example"
                     "</span> <small>NXDOMAIN</small></li>"),
            std::string::npos);
  EXPECT_NE(dom.find("<li><span>a&amp;b\"c'.</span><wbr><span>example</span> "
                     "<small>NXDOMAIN</small></li>"),
            std::string::npos);
  EXPECT_NE(dom.find("<li><span>slow.</span><wbr><span>example</span> "
                     "<small>REFUSED</small></li>"),
            std::string::npos);
  EXPECT_NE(dom.find("<title>Zelkor: DNS resolution report</title>"),
            std::string::npos);
  for (const char *outside : {"<script", "<img", "<link", "<iframe", " src=\"",
                              " href=\"", "url(", "@import", "http:", "https:"})
    EXPECT_EQ(dom.find(outside), std::string::npos) << outside;

  // The metrics: valid for Prometheus' own checker, and the JSON's figures.
  std::string check;
  EXPECT_EQ(run_tool({PROMTOOL, "check", "metrics"}, &check, "r.prom"), 0)
      << check;
  const std::string metrics = "\n" + read_file("r.prom");
  for (const json &ns : j["nameservers"]) {
    const std::string address = ns["address"];
    for (const json &p : ns["providers"]) {
      if (p["lines"] == 0)
        continue;
      const std::string labels = "{nameserver=\"" + address + "\",provider=\"" +
                                 p["tag"].get<std::string>() + "\"";
      for (const char *outcome : {"ok", "negative", "failed"})
        EXPECT_EQ(sample(metrics, "zelkor_probes_total" + labels +
                                      ",outcome=\"" + outcome + "\"}"),
                  p[outcome].get<double>())
            << labels << outcome;
      EXPECT_EQ(sample(metrics,
                       "zelkor_failures_total" + labels + ",cause=\"rcode\"}"),
                p["errors"]["rcode"].get<double>())
          << labels;
      EXPECT_NEAR(sample(metrics, "zelkor_success_ratio" + labels + "}"),
                  p["rate"].get<double>() / 100.0, 1e-6);
    }
    EXPECT_NEAR(
        sample(metrics, "zelkor_nameserver_success_ratio{nameserver=\"" +
                            address + "\"}"),
        ns["total"]["rate"].get<double>() / 100.0, 1e-6);
  }
  EXPECT_EQ(sample(metrics, "zelkor_run_complete"), 1.0);
  // Its end: the start and the time the run took.
  EXPECT_NEAR(sample(metrics, "zelkor_run_completed_time_seconds"),
              sample(metrics, "zelkor_run_start_time_seconds") +
                  sample(metrics, "zelkor_run_duration_seconds"),
              0.01);
  // The alert rules read these metrics.
  EXPECT_EQ(run_tool({PROMTOOL, "check", "rules",
                      ZELKOR_SOURCE_DIR "/dist/zelkor-alerts.yml"},
                     &check),
            0)
      << check;
}

TEST_F(CliTest, StopBeforeAnyNameserverFinishedIsNoSuccess) {
  fake_ns *silent = serve("127.0.0.52", FAKE_SILENT);
  write_file("list.txt", "zelkor:a.example\nzelkor:b.example\n");
  const std::vector<std::vector<std::string>> exports = {
      {"--json", "r.json", "--csv", "r.csv", "--html", "r.html"},
      {"--json", "-"},
      {"--csv", "-"}};
  for (const auto &e : exports) {
    fake_ns_forget(silent);
    std::vector<std::string> args = {"-q", "-s", "127.0.0.52"};
    args.insert(args.end(), e.begin(), e.end());
    args.push_back("list.txt");
    pid_t pid = start_zelkor(args);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(fake_ns_wait(silent, 1, 10000));
    kill(pid, SIGINT);
    cli_result r = finish_zelkor(pid);
    EXPECT_TRUE(r.signalled);
    EXPECT_EQ(r.status, 128 + SIGINT);
    EXPECT_EQ(r.err.find("stopped by SIGINT; 0 of 1 nameservers finished"),
              r.err.find("zelkor: ") + 8)
        << r.err;
    const std::string header =
        "nameserver,provider,domain,name,outcome,ms,attempts,rcode,error,"
        "ascii,authority,answers\r\n";
    if (e[1] == "r.json") {
      json j = parse_json("r.json");
      EXPECT_EQ(j["complete"], false);
      EXPECT_EQ(j["nameservers"], json::array());
      EXPECT_EQ(read_file("r.csv"), header);
      EXPECT_NE(read_file("r.html").find("This run was stopped: 0 of 1"),
                std::string::npos);
      EXPECT_NE(r.out.find("json: r.json\ncsv:  r.csv\n"), std::string::npos)
          << r.out;
    } else if (e[0] == "--json") {
      ASSERT_TRUE(json::accept(r.out)) << r.out;
      EXPECT_EQ(json::parse(r.out)["complete"], false);
    } else {
      EXPECT_EQ(r.out, header);
    }
  }
}

TEST_F(CliTest, SignalKeepsTheFinishedNameservers) {
  fake_ns *answering = serve("127.0.0.51", FAKE_ANSWER_A);
  fake_ns *silent = serve("127.0.0.52", FAKE_SILENT);
  std::vector<std::string> list;
  for (int i = 0; i < 20; ++i)
    list.push_back("zelkor:d" + std::to_string(i) + ".example\n");
  write_file("list.txt", lines_of(list));
  const std::string first_block = "zelkor              \n"
                                  "zelkor              40/40, 100.0000%\r\n"
                                  "----------------------------------\n"
                                  "127.0.0.51           total: 40/40, "
                                  "100.0000%\r\n" +
                                  LOG_CLOSE;
  // The files hold the pass that ended, and no other.
  auto kept_the_answering_one = [&first_block] {
    EXPECT_EQ(read_file("log.txt"), LOG_HEADER + first_block);
    json j = parse_json("r.json");
    EXPECT_EQ(j["complete"], false);
    ASSERT_EQ(j["nameservers"].size(), 1u);
    EXPECT_EQ(j["nameservers"][0]["address"], "127.0.0.51");
    EXPECT_EQ(count_lines(read_file("r.csv")), 1u + 40);
  };

  for (int sig : {SIGINT, SIGTERM}) {
    fake_ns_forget(silent);
    pid_t pid = start_zelkor({"-q", "-c", "1000", "--one-at-a-time", "-s",
                              "127.0.0.51", "-s", "127.0.0.52", "--json",
                              "r.json", "--csv", "r.csv", "list.txt"});
    ASSERT_GT(pid, 0);
    // The second nameserver's pass is under way: the first has ended.
    ASSERT_TRUE(fake_ns_wait(silent, 1, 10000));
    auto sent = std::chrono::steady_clock::now();
    kill(pid, sig);
    cli_result r = finish_zelkor(pid);
    EXPECT_LT(std::chrono::steady_clock::now() - sent,
              std::chrono::milliseconds(2500));
    // Killed by the signal, as a shell loop must see it to stop too.
    EXPECT_TRUE(r.signalled);
    EXPECT_EQ(r.status, 128 + sig);
    kept_the_answering_one();
    // No temporary file is left behind.
    for (const auto &entry : std::filesystem::directory_iterator("."))
      EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }

  // Side by side, a pass that has ended behind one that has not is kept
  // by the stop too, in its place.
  fake_ns_forget(answering);
  pid_t pid = start_zelkor({"-q", "--hold", "0", "--timeout", "5000", "-s",
                            "127.0.0.52", "-s", "127.0.0.51", "--json",
                            "r.json", "--csv", "r.csv", "list.txt"});
  ASSERT_GT(pid, 0);
  // Its 40 names and the 8 that cannot exist; nothing outside tells when
  // the last reply was taken, hence a margin.
  ASSERT_TRUE(fake_ns_wait(answering, 48, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(pid, SIGINT);
  cli_result r = finish_zelkor(pid);
  EXPECT_EQ(r.status, 128 + SIGINT);
  kept_the_answering_one();
}

// Side by side: every nameserver meets the same moments of the network.
// Two equally fast ones get each name within half a second of each other
// while a silent one and a slow one are tested beside them, and the
// outputs keep the nameservers' order.
TEST_F(CliTest, NameserversAreTestedSideBySide) {
  fake_ns *fast = serve("127.0.0.51", FAKE_ANSWER_A);
  fake_ns *silent = serve("127.0.0.52", FAKE_SILENT);
  fake_ns *slow = serve("127.0.0.54", FAKE_DELAYED);
  fake_ns_default(slow, FAKE_DELAYED, 200);
  fake_ns *also_fast = serve("127.0.0.58", FAKE_ANSWER_A);
  std::vector<std::string> list;
  for (int i = 0; i < 30; ++i)
    list.push_back("zelkor:d" + std::to_string(i) + ".example\n");
  write_file("list.txt", lines_of(list));
  cli_result r = run_zelkor({"-q", "--no-log", "--hold", "0", "--timeout",
                             "500", "--attempts", "1", "-s", "127.0.0.51", "-s",
                             "127.0.0.52", "-s", "127.0.0.54", "-s",
                             "127.0.0.58", "--json", "r.json", "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::chrono::steady_clock::time_point> first;
  for (const fake_datagram &d : fake_ns_received(fast))
    first.emplace(d.qname, d.at);
  std::size_t compared = 0;
  for (const fake_datagram &d : fake_ns_received(also_fast)) {
    auto other = first.find(d.qname);
    if (other == first.end())
      continue; // a name that cannot exist: each pass makes its own
    const auto apart =
        d.at > other->second ? d.at - other->second : other->second - d.at;
    EXPECT_LT(apart, std::chrono::milliseconds(500)) << d.qname;
    ++compared;
  }
  EXPECT_EQ(compared, 60u);
  // The silent and the slow one beside each other, not one after the
  // other.
  const std::vector<fake_datagram> at_slow = fake_ns_received(slow);
  const std::vector<fake_datagram> at_silent = fake_ns_received(silent);
  ASSERT_FALSE(at_slow.empty() || at_silent.empty());
  EXPECT_LT(at_slow.front().at, at_silent.back().at);
  const json j = parse_json("r.json");
  std::vector<std::string> order;
  for (const json &ns : j["nameservers"])
    order.push_back(ns["address"]);
  EXPECT_EQ(order, (std::vector<std::string>{"127.0.0.51", "127.0.0.52",
                                             "127.0.0.54", "127.0.0.58"}));
}

// Rounds: every name asked three times of every nameserver, each ask a
// sample. A name whose first two asks fail is flaky, one that always
// fails is down; a cache that answers the later asks at once shows a warm
// median under its cold one, and a nameserver that answers every ask as
// slowly is named as serving nothing warm.
TEST_F(CliTest, RoundsTellColdFromWarmAndFlakyFromDown) {
  fake_ns *flaky = serve("127.0.0.51", FAKE_FLAKY);
  fake_ns_rule(flaky, "down.example", FAKE_SERVFAIL);
  fake_ns *cache = serve("127.0.0.52", FAKE_COLD);
  fake_ns_default(cache, FAKE_COLD, 100);
  fake_ns *slow = serve("127.0.0.54", FAKE_DELAYED);
  fake_ns_default(slow, FAKE_DELAYED, 100);
  std::vector<std::string> list = {"zelkor:down.example\n"};
  for (int i = 0; i < 11; ++i)
    list.push_back("zelkor:d" + std::to_string(i) + ".example\n");
  write_file("list.txt", lines_of(list));
  cli_result r = run_zelkor(
      {"--no-log",   "--hold",  "0",          "--attempts", "1",
       "--rounds",   "3",       "-c",         "24",         "-s",
       "127.0.0.51", "-s",      "127.0.0.52", "-s",         "127.0.0.54",
       "--json",     "r.json",  "--metrics",  "r.prom",     "--html",
       "r.html",     "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  const json j = parse_json("r.json");
  EXPECT_EQ(j["settings"]["rounds"], 3);
  const json &at_flaky = j["nameservers"][0];
  const json &d0 = named(at_flaky, "d0.example")["bare"];
  EXPECT_EQ(d0["stability"], "flaky");
  // Its own fields stay round 1's.
  EXPECT_EQ(d0["outcome"], "failed");
  ASSERT_EQ(d0["rounds"].size(), 3u);
  EXPECT_EQ(d0["rounds"][1]["rcode"], "SERVFAIL");
  EXPECT_EQ(d0["rounds"][2]["outcome"], "ok");
  EXPECT_EQ(named(at_flaky, "down.example")["bare"]["stability"], "down");
  const json &provider = at_flaky["providers"][0];
  ASSERT_EQ(provider["tag"], "zelkor");
  EXPECT_EQ(provider["probed"], 2 * 12 * 3);
  // Each flaky name resolved in its third round.
  EXPECT_EQ(provider["ok"], 2 * 11 + 1);
  EXPECT_EQ(provider["flaky"], 2 * 11 + 1); // www.down.example too
  EXPECT_EQ(provider["down"], 1);
  const json &at_cache = j["nameservers"][1]["providers"][0];
  EXPECT_GE(at_cache["cold_median_ms"].get<double>(), 100.0);
  EXPECT_LT(at_cache["warm_median_ms"].get<double>(), 10.0);
  EXPECT_EQ(named(j["nameservers"][1], "d0.example")["www"]["stability"],
            "stable");
  EXPECT_EQ(r.out.find("127.0.0.52 answered the second asks"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("127.0.0.54 answered the second asks as slowly as the "
                       "first: no cache seems to serve them\n"),
            std::string::npos)
      << r.out;
  const std::string metrics = read_file("r.prom");
  EXPECT_NE(metrics.find("\nzelkor_down_probes{nameserver=\"127.0.0.51\","
                         "provider=\"zelkor\"} 1\n"),
            std::string::npos)
      << metrics;
  std::string check;
  EXPECT_EQ(run_tool({PROMTOOL, "check", "metrics"}, &check, "r.prom"), 0)
      << check;
  const std::string html = read_file("r.html");
  EXPECT_NE(html.find("<section id=\"rounds\">"), std::string::npos);
}

} // namespace

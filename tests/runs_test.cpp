// Runs made in the sandbox and read back: a run's site, one report of
// runs at two sites (its JSON, CSV and the page as a browser builds it),
// what changed between two runs, and files that are no run's JSON.
#include "tests/support/cli_run.h"
#include "tests/support/fake_ns.h"
#include "tests/support/fakes_test.h"
#include "tests/support/run_files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

const char NS_1[] = "127.0.0.120";
const char NS_2[] = "127.0.0.121";

class RunsTest : public fakes_test {
protected:
  // A run of both fakes, as the site named, into `json_path`.
  void run_at(const std::string &site, const std::string &json_path) {
    const cli_result r =
        run_zelkor({"-q", "--authority", "off", "--site", site, "-s", NS_1,
                    "-s", NS_2, "--json", json_path, "list.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

// The entry of `name` among the report's failed names; null when none.
json failed_entry(const json &report, const std::string &name) {
  for (const json &f : report["failed_names"])
    if (f["name"] == name)
      return f;
  return json();
}

// Where a run was made: --site, or the host's name; in the JSON, on the
// terminal and in the page's facts.
TEST_F(RunsTest, ARunNamesItsSite) {
  serve(NS_1, FAKE_ANSWER_A);
  serve(NS_2, FAKE_ANSWER_A);
  write_file("list.txt", "zelkor:ok.example\n");
  cli_result r =
      run_zelkor({"--authority", "off", "--site", "Frankfurt DC", "-s", NS_1,
                  "--json", "r.json", "--html", "r.html", "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(parse_json("r.json")["site"], "Frankfurt DC");
  EXPECT_NE(r.out.find("\nsite: Frankfurt DC\n"), std::string::npos) << r.out;
  EXPECT_NE(read_file("r.html").find("<dt>Site</dt><dd>Frankfurt DC</dd>"),
            std::string::npos);
  r = run_zelkor(
      {"-q", "--authority", "off", "-s", NS_1, "--json", "r.json", "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  char host[256] = "";
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(parse_json("r.json")["site"], host);
  r = run_zelkor({"--site", "", "-s", NS_1, "list.txt"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--site takes a name"), std::string::npos) << r.err;
}

// Two sites, two nameservers each: a name that fails everywhere is the
// provider's, one that fails at one site only is that site's.
TEST_F(RunsTest, RunsAtTwoSitesMergeIntoOneReport) {
  fake_ns *first = serve(NS_1, FAKE_ANSWER_A);
  fake_ns *second = serve(NS_2, FAKE_ANSWER_A);
  for (fake_ns *ns : {first, second})
    fake_ns_rule(ns, "dead.example", FAKE_REFUSED);
  write_file("list.txt", "zelkor:ok.example\nzelkor:path.example\n"
                         "quarin:dead.example\n");
  run_at("beijing", "beijing.json");
  // Frankfurt's list has a name more, which Beijing never asked.
  fake_ns_rule(first, "path.example", FAKE_REFUSED);
  fake_ns_rule(first, "new.example", FAKE_REFUSED);
  write_file("list.txt", "zelkor:ok.example\nzelkor:path.example\n"
                         "quarin:dead.example\nzelkor:new.example\n");
  run_at("frankfurt", "frankfurt.json");

  cli_result r =
      run_zelkor({"report", "--json", "report.json", "--csv", "report.csv",
                  "--html", "report.html", "beijing.json", "frankfurt.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const json report = parse_json("report.json");
  ASSERT_EQ(report["runs"].size(), 2u);
  EXPECT_EQ(report["runs"][1]["site"], "frankfurt");
  // The same nameserver's sites side by side: NS_1 at both, then NS_2.
  const json &rates = report["rates"];
  ASSERT_EQ(rates.size(), 8u);
  EXPECT_EQ(rates[0]["nameserver"], NS_1);
  EXPECT_EQ(rates[0]["site"], "beijing");
  EXPECT_EQ(rates[0]["provider"], "zelkor");
  EXPECT_EQ(rates[0]["rate"], 1.0);
  EXPECT_EQ(rates[2]["nameserver"], NS_1);
  EXPECT_EQ(rates[2]["site"], "frankfurt");
  EXPECT_EQ(rates[2]["provider"], "zelkor");
  EXPECT_EQ(rates[2]["probes"], 6);
  EXPECT_EQ(rates[2]["ok"], 4);
  EXPECT_NEAR(rates[2]["rate"].get<double>(), 4.0 / 6, 1e-6);
  EXPECT_EQ(failed_entry(report, "dead.example")["scope"], "provider");
  EXPECT_EQ(failed_entry(report, "dead.example")["failed"].size(), 4u);
  const json path = failed_entry(report, "path.example");
  EXPECT_EQ(path["scope"], "site");
  ASSERT_EQ(path["failed"].size(), 1u);
  EXPECT_EQ(path["failed"][0],
            json::parse(R"({"site":"frankfurt","nameserver":"127.0.0.120",)"
                        R"("cause":"rcode","verdict":null})"));
  EXPECT_TRUE(failed_entry(report, "ok.example").is_null());
  const json added = failed_entry(report, "new.example");
  EXPECT_EQ(added["scope"], "some");
  EXPECT_EQ(added["not_asked"].size(), 2u);
  EXPECT_EQ(added["not_asked"][0]["site"], "beijing");

  const std::string csv = read_file("report.csv");
  EXPECT_EQ(csv.find("site,nameserver,provider,probes,ok,rate,"), 0u) << csv;
  EXPECT_NE(csv.find("\r\nfrankfurt,127.0.0.120,zelkor,6,4,0.666667,"),
            std::string::npos)
      << csv;

  std::string dom;
  ASSERT_EQ(browser_dom(dir.path() + "/report.html", dir.path(), &dom), 0)
      << dom;
  EXPECT_NE(dom.find("data-site=\"frankfurt\" data-ns=\"127.0.0.120\" "
                     "data-provider=\"zelkor\" style=\"background:"),
            std::string::npos);
  EXPECT_NE(dom.find(">66.7%</td>"), std::string::npos);
  EXPECT_NE(dom.find("<tr data-name=\"path.example\" data-scope=\"site\">"),
            std::string::npos);
  EXPECT_NE(dom.find("frankfurt via 127.0.0.120: rcode"), std::string::npos);

  // The table on standard output without files.
  r = run_zelkor({"report", "beijing.json", "frankfurt.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("path.example (zelkor), site: frankfurt via "
                       "127.0.0.120 (rcode);"),
            std::string::npos)
      << r.out;
}

// A new failure, a name resolving again, and a nameserver that starts
// redirecting names that cannot exist: exit 1, with each listed; the same
// run twice: 0; a file cut short: 2.
TEST_F(RunsTest, CompareSaysWhatChanged) {
  fake_ns *first = serve(NS_1, FAKE_ANSWER_A);
  fake_ns *second = serve(NS_2, FAKE_ANSWER_A);
  fake_ns_rule(first, "back.example", FAKE_REFUSED);
  for (const char *name :
       {"ok.example", "www.ok.example", "gone.example", "www.gone.example",
        "back.example", "www.back.example"})
    fake_ns_rule(second, name, FAKE_NXDOMAIN);
  write_file("list.txt",
             "zelkor:ok.example\nzelkor:gone.example\nquarin:back.example\n");
  run_at("office", "old.json");
  fake_ns_rule(first, "gone.example", FAKE_REFUSED);
  fake_ns_rule(first, "back.example", FAKE_ANSWER_A);
  fake_ns_default(second, FAKE_HIJACK);
  run_at("office", "new.json");

  cli_result r =
      run_zelkor({"compare", "--json", "changes.json", "old.json", "new.json"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("  newly failing: 1\n    gone.example (zelkor): "
                       "rcode\n  resolving again: 1\n    back.example "
                       "(quarin)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("127.0.0.121\n"), std::string::npos);
  EXPECT_NE(r.out.find("  started redirecting names that do not exist\n"),
            std::string::npos)
      << r.out;
  const json changes = parse_json("changes.json");
  EXPECT_EQ(changes["newly_failing"], 1);
  EXPECT_EQ(changes["started_redirecting"], 1);
  EXPECT_EQ(changes["nameservers"][0]["newly_failing"][0]["name"],
            "gone.example");
  EXPECT_EQ(changes["nameservers"][0]["resolving_again"][0]["name"],
            "back.example");
  EXPECT_EQ(changes["nameservers"][1]["nx_now"], "hijack");

  r = run_zelkor({"compare", "old.json", "old.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string old = read_file("old.json");
  write_file("cut.json", old.substr(0, old.size() / 2));
  r = run_zelkor({"compare", "old.json", "cut.json"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.find("zelkor: cut.json: not JSON"), 0u) << r.err;
}

// Each file that is no run's JSON ends the report with one line naming
// it, and nothing is written.
TEST_F(RunsTest, WhatIsNoRunIsRefusedAndNothingWritten) {
  serve(NS_1, FAKE_ANSWER_A);
  serve(NS_2, FAKE_ANSWER_A);
  write_file("list.txt", "zelkor:ok.example\n");
  run_at("office", "good.json");
  const std::string good = read_file("good.json");
  write_file("cut.json", good.substr(0, good.size() - 40));
  write_file("other.json", "{\"name\": \"another program\", \"items\": []}\n");
  write_file("empty.json", "");
  // The version last, so that it is judged once the file has been read.
  write_file("future.json", "{\"nameservers\": [], \"version\": \"9.0.0\"}");
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"cut.json", "zelkor: cut.json: not JSON"},
      {"other.json", "zelkor: other.json: not a run of zelkor"},
      {"empty.json", "zelkor: empty.json: empty\n"},
      {"future.json", "zelkor: future.json: written by zelkor 9.0.0"}};
  for (const auto &b : bad) {
    const cli_result r = run_zelkor({"report", "--json", "out.json", "--html",
                                     "out.html", "good.json", b.first});
    EXPECT_EQ(r.status, 2) << b.first;
    EXPECT_EQ(r.err.find(b.second), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(access("out.json", F_OK), -1);
    EXPECT_EQ(access("out.html", F_OK), -1);
  }
}

} // namespace

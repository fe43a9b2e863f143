// Where a failure lies, against real authoritative servers: Debian's nsd
// as a fake root (127.0.0.100), the "test." zone (127.0.0.101), the zones
// of the domains (127.0.0.102) and a server that refuses them (127.0.0.104);
// 127.0.0.103 is silent, and 127.0.0.105 refuses with a bare header. The
// resolvers under test: a fake that refuses everything (127.0.0.110) and
// unbound resolving from the fake root (127.0.0.111). All started here, inside
// the sandbox, and stopped by PID.
#include "tests/support/cli_run.h"
#include "tests/support/fake_ns.h"
#include "tests/support/run_files.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

extern char **environ;

namespace {

using nlohmann::json;

const char REFUSING_IP[] = "127.0.0.110";
const char REFUSING_TOO_IP[] = "127.0.0.112";
const char UNBOUND_IP[] = "127.0.0.111";
const char SOA[] = " SOA ns.test. host.test. 1 3600 600 86400 300\n";

struct nsd_server {
  const char *name;
  const char *ip;
  std::vector<std::pair<const char *, std::string>> zones; // name, records
};

std::string good_zone(void) {
  std::string zone = std::string("$TTL 300\ngood.test.") + SOA +
                     "good.test. NS ns1.good.test.\n"
                     "ns1.good.test. A 127.0.0.102\n"
                     "good.test. A 192.0.2.1\n"
                     "www.good.test. A 192.0.2.1\n";
  for (int i = 0; i < 20; ++i)
    zone += "n" + std::to_string(i) + ".good.test. A 192.0.2.1\n";
  // Where the fake resolver's answers (192.0.2.1, or 10.0.0.1) differ.
  zone += "poisoned.good.test. A 203.0.113.5\n"
          "bogon.good.test. A 203.0.113.6\n";
  // Chains: one that loops through far.test, one that ends where nothing
  // is, one into the silent lame.test; and an empty non-terminal.
  zone += "loop1.good.test. CNAME loop2.far.test.\n"
          "dangling.good.test. CNAME nothere.far.test.\n"
          "broken.good.test. CNAME x.lame.test.\n"
          "a.ent.good.test. A 192.0.2.1\n";
  // More than 1232 bytes of answer: cut short over UDP.
  for (int i = 1; i <= 100; ++i)
    zone += "big.good.test. A 192.0.2." + std::to_string(i) + "\n";
  return zone;
}

std::vector<nsd_server> servers(void) {
  return {
      {"root",
       "127.0.0.100",
       {{".", std::string("$TTL 300\n.") + SOA +
                  ". NS a.root.test.\n"
                  "a.root.test. A 127.0.0.100\n"
                  "test. NS ns.tld.test.\n"
                  "ns.tld.test. A 127.0.0.101\n"}}},
      {"tld",
       "127.0.0.101",
       {{"test.", std::string("$TTL 300\ntest.") + SOA +
                      "test. NS ns.tld.test.\n"
                      "ns.tld.test. A 127.0.0.101\n"
                      "good.test. NS ns1.good.test.\n"
                      "ns1.good.test. A 127.0.0.102\n"
                      "lame.test. NS ns1.lame.test.\n"
                      "ns1.lame.test. A 127.0.0.103\n"
                      "half.test. NS ns1.half.test.\n"
                      "half.test. NS ns2.half.test.\n"
                      "ns1.half.test. A 127.0.0.102\n"
                      "ns2.half.test. A 127.0.0.103\n"
                      "refused.test. NS ns1.refused.test.\n"
                      "ns1.refused.test. A 127.0.0.104\n"
                      "extra.test. NS ns1.extra.test.\n"
                      "ns1.extra.test. A 127.0.0.102\n"
                      "far.test. NS ns1.far.test.\n"
                      "ns1.far.test. A 127.0.0.102\n"
                      "bare.test. NS ns1.bare.test.\n"
                      "ns1.bare.test. A 127.0.0.105\n"}}},
      {"domains",
       "127.0.0.102",
       {{"good.test.", good_zone()},
        {"half.test.", std::string("$TTL 300\nhalf.test.") + SOA +
                           "half.test. NS ns1.half.test.\n"
                           "half.test. NS ns2.half.test.\n"
                           "ns1.half.test. A 127.0.0.102\n"
                           "ns2.half.test. A 127.0.0.103\n"
                           "half.test. A 192.0.2.2\n"
                           "www.half.test. A 192.0.2.2\n"},
        // Its own NS set names a server its parent does not.
        {"extra.test.", std::string("$TTL 300\nextra.test.") + SOA +
                            "extra.test. NS ns1.extra.test.\n"
                            "extra.test. NS ns2.extra.test.\n"
                            "ns1.extra.test. A 127.0.0.102\n"
                            "ns2.extra.test. A 127.0.0.103\n"
                            "extra.test. A 192.0.2.3\n"},
        {"far.test.", std::string("$TTL 300\nfar.test.") + SOA +
                          "far.test. NS ns1.far.test.\n"
                          "ns1.far.test. A 127.0.0.102\n"
                          "loop2.far.test. CNAME loop1.good.test.\n"}}},
      // Serves another zone: it refuses refused.test.
      {"refusing",
       "127.0.0.104",
       {{"other.test.", std::string("$TTL 300\nother.test.") + SOA +
                            "other.test. NS ns1.refused.test.\n"}}},
  };
}

std::string nsd_conf(const std::string &dir, const nsd_server &s) {
  const std::string base = dir + "/" + s.name;
  std::string conf = "server:\n  ip-address: " + std::string(s.ip) +
                     "\n  port: 53\n  do-ip6: no\n  username: \"\"\n"
                     "  chroot: \"\"\n  database: \"\"\n  server-count: 1\n"
                     "  zonesdir: \"" +
                     dir + "\"\n  pidfile: \"" + base +
                     ".pid\"\n  xfrdfile: \"" + base +
                     ".xfrd\"\n  zonelistfile: \"" + base +
                     ".zonelist\"\n  logfile: \"" + base +
                     ".log\"\n  verbosity: 1\n"
                     "remote-control:\n  control-enable: yes\n"
                     "  control-interface: \"" +
                     base + ".sock\"\n";
  int n = 0;
  for (const auto &zone : s.zones) {
    const std::string file =
        std::string(s.name) + std::to_string(n++) + ".zone";
    write_file(file, zone.second);
    conf += "zone:\n  name: \"" + std::string(zone.first) +
            "\"\n  zonefile: \"" + file + "\"\n";
  }
  return conf;
}

std::string unbound_conf(const std::string &dir) {
  return "server:\n  interface: 127.0.0.111\n  port: 53\n"
         "  do-daemonize: no\n  username: \"\"\n  chroot: \"\"\n"
         "  directory: \"" +
         dir + "\"\n  pidfile: \"\"\n  use-syslog: no\n  logfile: \"" + dir +
         "/unbound.log\"\n  verbosity: 1\n"
         "  module-config: \"iterator\"\n"
         "  access-control: 127.0.0.0/8 allow\n"
         "  do-not-query-localhost: no\n"
         "  do-ip6: no\n"
         // test. is a name for testing (RFC 6761): unbound serves it as a
         // local zone unless told not to.
         "  local-zone: \"test.\" nodefault\n"
         "  root-hints: \"" +
         dir + "/hints\"\n";
}

pid_t spawn(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0
             ? pid
             : -1;
}

class AuthorityTest : public testing::Test {
protected:
  void SetUp() override {
    refusing = fake_ns_start(REFUSING_IP, FAKE_REFUSED);
    ASSERT_TRUE(refusing);
    write_file("hints", ". NS a.root.test.\na.root.test. A 127.0.0.100\n");
    for (const nsd_server &s : servers()) {
      write_file(std::string(s.name) + ".conf", nsd_conf(dir.path(), s));
      const pid_t pid =
          spawn({NSD, "-d", "-c", dir.path() + "/" + s.name + ".conf"});
      ASSERT_GT(pid, 0);
      pids.push_back(pid);
      // Serving once it answers its control socket; bounded.
      std::string out;
      bool up = false;
      for (int i = 0; i < 200 && !up; ++i) {
        up = run_tool({NSD_CONTROL, "-c", dir.path() + "/" + s.name + ".conf",
                       "status"},
                      &out) == 0;
        if (!up)
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      ASSERT_TRUE(up) << s.name << ": "
                      << read_file(std::string(s.name) + ".log");
    }
    write_file("unbound.conf", unbound_conf(dir.path()));
    const pid_t pid =
        spawn({UNBOUND, "-d", "-c", dir.path() + "/unbound.conf"});
    ASSERT_GT(pid, 0);
    pids.push_back(pid);
    for (int i = 0; i < 200; ++i) {
      if (read_file("unbound.log").find("start of service") !=
          std::string::npos)
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FAIL() << "unbound did not start: " << read_file("unbound.log");
  }
  void TearDown() override {
    for (pid_t pid : pids) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (refusing)
      fake_ns_stop(refusing);
  }
  // Queries the nsd named `name` has had.
  int queries_of(const char *name) {
    std::string out;
    EXPECT_EQ(run_tool({NSD_CONTROL, "-c", dir.path() + "/" + name + ".conf",
                        "stats_noreset"},
                       &out),
              0)
        << out;
    const std::size_t at = out.find("num.queries=");
    return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 12);
  }
  cli_result run(const std::vector<std::string> &more) {
    std::vector<std::string> args = {
        "-q", "--no-log",     "--timeout", "300",    "--attempts",
        "1",  "--root-hints", "hints",     "--json", "r.json"};
    args.insert(args.end(), more.begin(), more.end());
    args.push_back("list.txt");
    return run_zelkor(args);
  }

  scratch_dir dir;
  fake_ns *refusing = nullptr;
  std::vector<pid_t> pids;
};

const json &check_of(const json &ns, const std::string &domain) {
  return named(ns, domain)["bare"]["authority"];
}

// Each failure where it lies, at a resolver that refuses and at an honest
// one, with what each authoritative server did.
TEST_F(AuthorityTest, VerdictsPlaceEachFailure) {
  write_file("list.txt", "ours:good.test\nours:lame.test\nours:half.test\n"
                         "ours:refused.test\nours:nx.good.test\n"
                         "ours:extra.test\nours:big.good.test\n");
  cli_result r = run({"-s", REFUSING_IP, "-s", UNBOUND_IP, "--csv", "r.csv",
                      "--html", "r.html", "--metrics", "r.prom"});
  ASSERT_EQ(r.status, 0) << r.err;
  json j = parse_json("r.json");
  ASSERT_EQ(j["nameservers"].size(), 2u);
  const json &refused_at = j["nameservers"][0];
  EXPECT_EQ(check_of(refused_at, "good.test")["verdict"], "resolver");
  EXPECT_EQ(check_of(refused_at, "good.test")["zone"], "good.test.");
  EXPECT_EQ(check_of(refused_at, "lame.test")["verdict"], "authority");
  EXPECT_EQ(check_of(refused_at, "lame.test")["servers"][0]["outcome"],
            "timeout");
  const json &half = check_of(refused_at, "half.test");
  EXPECT_EQ(half["verdict"], "partial");
  ASSERT_EQ(half["servers"].size(), 2u);
  EXPECT_EQ(half["servers"][0]["outcome"], "answer");
  EXPECT_EQ(half["servers"][0]["aa"], true);
  EXPECT_EQ(half["servers"][1]["outcome"], "timeout");
  const json &refused = check_of(refused_at, "refused.test");
  EXPECT_EQ(refused["verdict"], "authority");
  EXPECT_EQ(refused["servers"][0],
            json::parse(R"({"name":"ns1.refused.test.","address":)"
                        R"("127.0.0.104","outcome":"refused","rcode":)"
                        R"("REFUSED","aa":false,"ms":)" +
                        refused["servers"][0]["ms"].dump() +
                        R"(,"transport":"udp"})"));
  EXPECT_EQ(check_of(refused_at, "nx.good.test")["verdict"], "resolver");
  // Its answer does not fit a datagram: asked again over TCP.
  EXPECT_EQ(check_of(refused_at, "big.good.test")["servers"][0]["transport"],
            "tcp");
  EXPECT_EQ(check_of(refused_at, "big.good.test")["verdict"], "resolver");
  const json &extra = check_of(refused_at, "extra.test");
  EXPECT_EQ(extra["verdict"], "partial");
  ASSERT_EQ(extra["servers"].size(), 2u);
  EXPECT_EQ(extra["servers"][0].count("child_only"), 0u);
  EXPECT_EQ(extra["servers"][1]["name"], "ns2.extra.test.");
  EXPECT_EQ(extra["servers"][1]["child_only"], true);
  const json &ours = refused_at["providers"][8];
  ASSERT_EQ(ours["tag"], "ours");
  EXPECT_EQ(ours["authority"]["authority"], 4);
  EXPECT_EQ(ours["authority"]["partial"], 4);
  EXPECT_EQ(ours["authority"]["resolver"], 6);

  const json &honest = j["nameservers"][1];
  EXPECT_EQ(named(honest, "good.test")["bare"].count("authority"), 0u)
      << named(honest, "good.test").dump();
  EXPECT_EQ(named(honest, "nx.good.test")["bare"]["outcome"], "negative");
  EXPECT_EQ(check_of(honest, "nx.good.test")["verdict"], "confirmed");

  const std::string csv = read_file("r.csv");
  EXPECT_NE(csv.find(",half.test,failed,,1,REFUSED,rcode,,partial,\r\n"),
            std::string::npos)
      << csv;
  EXPECT_NE(r.out.find("Where the failures lie"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  127.0.0.110 6 with the nameserver, 4 with the "
                       "providers' servers, 4 partly\n"),
            std::string::npos)
      << r.out;
  const std::string metrics = read_file("r.prom");
  EXPECT_NE(metrics.find("\nzelkor_checked_failures_total{nameserver=\""
                         "127.0.0.110\",provider=\"ours\",verdict=\""
                         "authority\"} 4\n"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("\nzelkor_authority_failures_total{server=\""
                         "127.0.0.104\"} 2\n"),
            std::string::npos);
  std::string check;
  EXPECT_EQ(run_tool({PROMTOOL, "check", "metrics"}, &check, "r.prom"), 0)
      << check;
  EXPECT_NE(read_file("r.html").find("<td>127.0.0.103</td><td>ns1.lame.test."
                                     "</td><td>lame.test.</td><td>"),
            std::string::npos);
  EXPECT_NE(r.out.find("  127.0.0.103 ns1.lame.test. (lame.test.): "),
            std::string::npos)
      << r.out;
}

// A zone's delegation is followed once and each name asked once of its
// server, however many names and nameservers; with the checks off nothing
// reaches an authoritative server.
TEST_F(AuthorityTest, QueriesAreCountedAndOffSendsNone) {
  std::string list;
  for (int i = 0; i < 20; ++i)
    list += "ours:n" + std::to_string(i) + ".good.test\n";
  write_file("list.txt", list);
  cli_result off = run({"-s", REFUSING_IP, "--authority", "off"});
  ASSERT_EQ(off.status, 0) << off.err;
  for (const char *server : {"root", "tld", "domains"})
    EXPECT_EQ(queries_of(server), 0) << server;
  EXPECT_EQ(parse_json("r.json").count("authoritative_servers"), 0u);

  fake_ns *too = fake_ns_start(REFUSING_TOO_IP, FAKE_REFUSED);
  ASSERT_TRUE(too);
  cli_result on = run({"-s", REFUSING_IP, "-s", REFUSING_TOO_IP, "-c", "20"});
  fake_ns_stop(too);
  ASSERT_EQ(on.status, 0) << on.err;
  EXPECT_EQ(queries_of("root"), 1);
  EXPECT_EQ(queries_of("tld"), 1);
  // Each name once, and the zone's own NS set once.
  EXPECT_EQ(queries_of("domains"), 41);
  json j = parse_json("r.json");
  EXPECT_EQ(check_of(j["nameservers"][1], "n7.good.test")["verdict"],
            "resolver");
  EXPECT_EQ(j["authoritative_servers"][0],
            json::parse(R"({"address":"127.0.0.100","name":"a.root.test.",)"
                        R"("zone":".","queries":1,"failures":0})"));
}

// A root hints file that cannot be used stops the program before anything
// is sent, naming the line.
TEST_F(AuthorityTest, BadRootHintsAreRefused) {
  write_file("list.txt", "ours:good.test\n");
  write_file("hints", ". NS a.root.test.\na.root.test. A 300.0.0.1\n");
  cli_result r = run({"-s", REFUSING_IP});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "zelkor: hints:2: \"300.0.0.1\" is no A address\n");
  EXPECT_TRUE(fake_ns_received(refusing).empty());
}

// With every probe checked, an answer is compared with the authoritative
// one: the same, or a poisoned cache's other address (information, not a
// failure); a private address where the servers give a public one is
// suspect.
TEST_F(AuthorityTest, AnswersAreComparedWithTheAuthoritativeOnes) {
  fake_ns *answering = fake_ns_start("127.0.0.113", FAKE_ANSWER_A);
  ASSERT_TRUE(answering);
  fake_ns_rule(answering, "bogon.good.test", FAKE_PRIVATE);
  write_file("list.txt", "ours:good.test\nours:poisoned.good.test\n"
                         "ours:bogon.good.test\n");
  cli_result r = run({"-s", "127.0.0.113", "--authority", "all"});
  fake_ns_stop(answering);
  ASSERT_EQ(r.status, 0) << r.err;
  const json ns = parse_json("r.json")["nameservers"][0];
  EXPECT_EQ(named(ns, "good.test")["bare"]["vs_authority"], "same");
  EXPECT_EQ(named(ns, "poisoned.good.test")["bare"]["outcome"], "ok");
  EXPECT_EQ(named(ns, "poisoned.good.test")["bare"]["vs_authority"], "differs");
  const json &bogon = named(ns, "bogon.good.test")["bare"];
  EXPECT_EQ(bogon["outcome"], "suspect");
  EXPECT_EQ(bogon["reasons"], json::parse(R"(["bogon"])"));
  EXPECT_EQ(bogon["answers"], json::parse(R"(["10.0.0.1"])"));
}

// Rcode first: a SERVFAIL that carries a CNAME is no answer, and a chain
// that leads nowhere is negative with its CNAME kept. The checks follow a
// chain zone by zone (a loop, and a link into a silent zone, lie with the
// providers; one that ends where nothing is confirms), and a server that
// refuses with a bare header is "refused" at once, not a timeout. A pass's
// checks overlap the next pass's probes; on a terminal, the progress says
// that the checks run, and how far.
TEST_F(AuthorityTest, ChainsAreFollowedAndBareRefusalsCount) {
  fake_ns *halfway = fake_ns_start("127.0.0.114", FAKE_SERVFAIL_CNAME);
  fake_ns *bare = fake_ns_start("127.0.0.105", FAKE_REFUSED);
  fake_ns *next = fake_ns_start(REFUSING_TOO_IP, FAKE_REFUSED);
  ASSERT_TRUE(halfway && bare && next);
  write_file("list.txt", "ours:loop1.good.test\nours:dangling.good.test\n"
                         "ours:broken.good.test\nours:ent.good.test\n"
                         "ours:bare.test\n");
  std::string terminal;
  const int status =
      run_tool({"/usr/bin/script", "-qefc",
                "env LC_ALL=C.UTF-8 " + std::string(ZELKOR_CLI) +
                    " --no-log --timeout 1000 --attempts 1 --root-hints hints"
                    " --json r.json -s 127.0.0.114 -s " +
                    REFUSING_TOO_IP + " -s " + UNBOUND_IP + " list.txt",
                "/dev/null"},
               &terminal);
  const std::vector<fake_datagram> first = fake_ns_received(halfway);
  const std::vector<fake_datagram> second = fake_ns_received(next);
  fake_ns_stop(halfway);
  fake_ns_stop(bare);
  fake_ns_stop(next);
  ASSERT_EQ(status, 0) << terminal;
  ASSERT_FALSE(first.empty() || second.empty());
  // The first pass's checks wait 2 s on the silent server of lame.test;
  // the second pass began meanwhile.
  EXPECT_LT(second.front().at - first.front().at,
            std::chrono::milliseconds(1000));
  EXPECT_NE(terminal.find("[1/3] 127.0.0.114     checking 10 with the "
                          "authoritative servers  "),
            std::string::npos)
      << terminal;
  // The silent server's check is still open while the line shows.
  EXPECT_NE(terminal.find(" with the authoritative servers  9/10"),
            std::string::npos)
      << terminal;

  const json j = parse_json("r.json");
  const json &halfway_ns = j["nameservers"][0];
  EXPECT_EQ(named(halfway_ns, "loop1.good.test")["bare"]["outcome"], "failed");
  EXPECT_EQ(named(halfway_ns, "loop1.good.test")["bare"]["rcode"], "SERVFAIL");
  const json &honest = j["nameservers"][2];
  const json &loop = named(honest, "loop1.good.test")["bare"];
  EXPECT_EQ(loop["outcome"], "failed") << loop.dump();
  EXPECT_EQ(loop["authority"]["verdict"], "authority") << loop.dump();
  EXPECT_EQ(loop["authority"]["chain"],
            json::parse(R"(["loop2.far.test.","loop1.good.test."])"));
  EXPECT_EQ(loop["authority"]["reason"],
            "the CNAME chain loops: loop1.good.test. -> loop2.far.test. -> "
            "loop1.good.test.");
  const json &dangling = named(honest, "dangling.good.test")["bare"];
  EXPECT_EQ(dangling["outcome"], "negative") << dangling.dump();
  EXPECT_EQ(dangling["cname"], json::parse(R"(["nothere.far.test."])"));
  EXPECT_EQ(dangling["authority"]["verdict"], "confirmed") << dangling.dump();
  const json &broken = named(honest, "broken.good.test")["bare"];
  EXPECT_EQ(broken["outcome"], "failed");
  EXPECT_EQ(broken["authority"]["verdict"], "authority") << broken.dump();
  EXPECT_EQ(broken["authority"]["reason"],
            "the CNAME chain breaks at x.lame.test.: no server of lame.test. "
            "answers (timeout)");
  const json &ent = named(honest, "ent.good.test")["bare"];
  EXPECT_EQ(ent["outcome"], "negative");
  EXPECT_EQ(ent["authority"]["verdict"], "confirmed");
  const json &refused = named(honest, "bare.test")["bare"]["authority"];
  EXPECT_EQ(refused["verdict"], "authority");
  EXPECT_EQ(refused["servers"][0]["outcome"], "refused");
  EXPECT_LT(refused["servers"][0]["ms"].get<int>(), 500);
}

// A stop at any moment (before the first reply, during a pass, during the
// checks, while files are written) leaves every file whole, with the
// passes that ended, and no temporary file; the program ends by the
// signal, or had ended before it.
TEST_F(AuthorityTest, AStopAtAnyMomentLosesNoFile) {
  write_file("list.txt", "ours:good.test\nours:lame.test\nours:half.test\n"
                         "ours:refused.test\nours:nx.good.test\n");
  const std::string header =
      "nameserver,provider,domain,name,outcome,ms,attempts,rcode,error,";
  for (int after_ms = 0; after_ms <= 1800; after_ms += 200) {
    SCOPED_TRACE("SIGINT " + std::to_string(after_ms) + " ms after the start");
    fake_ns_forget(refusing);
    for (const char *file : {"r.json", "r.csv", "r.html"})
      std::remove(file);
    const pid_t pid = start_zelkor({"-q", "--timeout", "300", "--attempts", "1",
                                    "--root-hints", "hints", "--json", "r.json",
                                    "--csv", "r.csv", "--html", "r.html", "-s",
                                    REFUSING_IP, "-s", UNBOUND_IP, "list.txt"});
    ASSERT_GT(pid, 0);
    // The program is under way once its first query came.
    ASSERT_TRUE(fake_ns_wait(refusing, 1, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
    kill(pid, SIGINT);
    const cli_result r = finish_zelkor(pid);
    if (r.signalled)
      EXPECT_EQ(r.status, 128 + SIGINT);
    else
      EXPECT_EQ(r.status, 0) << r.err;
    const json j = parse_json("r.json");
    EXPECT_EQ(j["complete"], !r.signalled);
    const std::size_t passes = j["nameservers"].size();
    const std::string csv = read_file("r.csv");
    EXPECT_EQ(csv.rfind(header, 0), 0u) << csv;
    EXPECT_EQ(
        static_cast<std::size_t>(std::count(csv.begin(), csv.end(), '\n')),
        1 + 10 * passes)
        << csv;
    const std::string html = read_file("r.html");
    EXPECT_EQ(html.substr(html.size() - 15), "</body></html>\n");
    for (const auto &entry : std::filesystem::directory_iterator("."))
      EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }
}

} // namespace

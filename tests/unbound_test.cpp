// The terminal program against a real resolver: Debian's unbound, started
// here inside the sandbox from a configuration this suite writes, serving
// local data on 127.0.0.80 and ::1 (and sending nothing anywhere: the one
// name it must ask further goes to a fake on 127.0.0.81 that answers
// SERVFAIL). The program's outcomes and response codes over IPv4 and IPv6,
// for A and AAAA, must be what the server answered.
#include "tests/support/cli_run.h"
#include "tests/support/doq_process.h"
#include "tests/support/fake_ns.h"
#include "tests/support/run_files.h"

#include <gtest/gtest.h>

#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <map>
#include <cstring>
#include <thread>

extern char **environ;

namespace {

using nlohmann::json;

const char UNBOUND_IP[] = "127.0.0.80";
const char STUB_IP[] = "127.0.0.81";

// Forty addresses: more than a 512-byte datagram holds.
std::string big_answer(const std::string &name) {
  std::string data;
  for (int i = 1; i <= 40; ++i)
    data +=
        "  local-data: \"" + name + " A 192.0.2." + std::to_string(i) + "\"\n";
  return data;
}

std::string unbound_conf(const std::string &dir) {
  return "server:\n"
         "  interface: 127.0.0.80\n"
         "  interface: ::1\n"
         "  interface: 127.0.0.80@853\n"
         "  interface: 127.0.0.1@853\n"
         "  interface: 127.0.0.80@443\n"
         "  port: 53\n"
         "  tls-port: 853\n"
         "  https-port: 443\n"
         "  tls-service-key: \"" +
         dir + "/server.key\"\n  tls-service-pem: \"" + dir +
         "/server.pem\"\n"
         "  http-endpoint: \"/dns-query\"\n"
         // Idle connections close soon, and sessions can be resumed.
         "  tcp-idle-timeout: 300\n"
         "  tls-session-ticket-keys: \"" +
         dir +
         "/ticket.key\"\n"
         "  do-daemonize: no\n"
         "  username: \"\"\n"
         "  chroot: \"\"\n"
         "  directory: \"" +
         dir +
         "\"\n"
         "  pidfile: \"\"\n"
         "  use-syslog: no\n"
         "  logfile: \"" +
         dir +
         "/unbound.log\"\n"
         "  verbosity: 1\n"
         "  module-config: \"iterator\"\n"
         "  access-control: 127.0.0.0/8 allow\n"
         "  access-control: ::1 allow\n"
         "  do-not-query-localhost: no\n"
         "  local-zone: \".\" refuse\n"
         // Names that do not exist, as an honest resolver says so.
         "  local-zone: \"com.\" static\n"
         "  local-data: \"com. SOA ns.com. host.com. 1 3600 600 86400 300\"\n"
         "  local-zone: \"cn.\" static\n"
         "  local-data: \"cn. SOA ns.cn. host.cn. 1 3600 600 86400 300\"\n"
         "  local-data: \"nowww.example. A 192.0.2.9\"\n"
         "  local-zone: \"example.\" static\n"
         "  local-data: \"example. SOA ns.example. host.example. 1 3600 600 "
         "86400 300\"\n"
         "  local-data: \"ok.example. A 192.0.2.1\"\n"
         "  local-data: \"ok.example. AAAA 2001:db8::1\"\n"
         "  local-data: \"www.ok.example. A 192.0.2.1\"\n"
         "  local-data: \"www.ok.example. AAAA 2001:db8::1\"\n"
         "  local-data: \"nodata.example. TXT hello\"\n"
         "  local-data: \"v6only.example. AAAA 2001:db8::6\"\n"
         "  local-zone: \"refused.example.\" refuse\n" +
         big_answer("big.example.") + big_answer("www.big.example.") +
         // 例子.中国 as the DNS knows it.
         "  local-zone: \"xn--fiqs8s.\" static\n"
         "  local-data: \"xn--fsqu00a.xn--fiqs8s. A 192.0.2.8\"\n"
         "  local-data: \"www.xn--fsqu00a.xn--fiqs8s. A 192.0.2.8\"\n"
         "  local-zone: \"servfail.example.\" transparent\n"
         "stub-zone:\n"
         "  name: \"servfail.example.\"\n"
         "  stub-addr: 127.0.0.81\n";
}

// A test CA, and a certificate it signs for dns.test, localhost,
// 127.0.0.80 and 127.0.0.84 (DNS over QUIC), made with the openssl command.
void make_certificates(void) {
  const std::string openssl = "/usr/bin/openssl";
  const std::vector<std::vector<std::string>> steps = {
      {openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt",
       "ec_paramgen_curve:P-256", "-nodes", "-keyout", "ca.key", "-out",
       "ca.pem", "-days", "2", "-subj", "/CN=Zelkor test CA"},
      {openssl, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
       "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj",
       "/CN=dns.test"},
      {openssl, "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey",
       "ca.key", "-CAcreateserial", "-out", "server.pem", "-days", "2",
       "-extfile", "san.cnf"},
  };
  write_file("san.cnf",
             "subjectAltName=DNS:dns.test,DNS:localhost,IP:127.0.0.80,"
             "IP:127.0.0.84\n");
  write_file("ticket.key", std::string(80, 'k'));
  for (const auto &step : steps) {
    std::string out;
    ASSERT_EQ(run_tool(step, &out), 0) << step[1] << ": " << out;
  }
}

// A UDP socket bound to ip:port; -1 when it cannot be had.
int bound_udp(const char *ip, int port) {
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, ip, &at.sin_addr);
  if (sock >= 0 &&
      bind(sock, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0)
    return sock;
  if (sock >= 0)
    close(sock);
  return -1;
}

class UnboundTest : public testing::Test {
protected:
  void SetUp() override {
    stub = fake_ns_start(STUB_IP, FAKE_SERVFAIL);
    ASSERT_TRUE(stub);
    make_certificates();
    write_file("unbound.conf", unbound_conf(dir.path()));
    std::string conf = dir.path() + "/unbound.conf";
    char *argv[] = {const_cast<char *>(UNBOUND), const_cast<char *>("-d"),
                    const_cast<char *>("-c"), &conf[0], nullptr};
    ASSERT_EQ(posix_spawn(&pid, UNBOUND, nullptr, nullptr, argv, environ), 0);
    // Serving once its log says so; bounded.
    for (int i = 0; i < 200; ++i) {
      if (read_file("unbound.log").find("start of service") !=
          std::string::npos)
        return;
      int raw;
      ASSERT_EQ(waitpid(pid, &raw, WNOHANG), 0) << read_file("unbound.log");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FAIL() << "unbound did not start: " << read_file("unbound.log");
  }
  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (stub)
      fake_ns_stop(stub);
  }

  scratch_dir dir;
  fake_ns *stub = nullptr;
  pid_t pid = -1;
};

// A name of each kind unbound answers here (an address, NXDOMAIN, REFUSED,
// more than a datagram holds) in list.txt; the names.
std::vector<std::string> write_kinds_list(void) {
  const std::vector<std::string> names = {"ok.example", "nx.example",
                                          "refused.example", "big.example"};
  std::string list;
  for (const std::string &name : names)
    list += "ours:" + name + "\n";
  write_file("list.txt", list);
  return names;
}

struct expected {
  const char *name;
  const char *outcome;
  const char *rcode;
};

TEST_F(UnboundTest, OutcomesAndCodesAreTheServersOverIpv4AndIpv6) {
  write_file("list.txt", "ours:ok.example\n"
                         "ours:nx.example\n"
                         "ours:nodata.example\n"
                         "ours:v6only.example\n"
                         "ours:refused.example\n"
                         "ours:servfail.example\n");
  const std::vector<expected> a = {
      {"ok.example", "ok", "NOERROR"},
      {"nx.example", "negative", "NXDOMAIN"},
      {"nodata.example", "negative", "NOERROR"},
      {"v6only.example", "negative", "NOERROR"},
      {"refused.example", "failed", "REFUSED"},
      {"servfail.example", "failed", "SERVFAIL"},
  };
  std::vector<expected> aaaa = a;
  aaaa[3].outcome = "ok";
  for (const auto &type :
       {std::make_pair("A", a), std::make_pair("AAAA", aaaa)}) {
    cli_result r =
        run_zelkor({"-q", "--no-log", "-c", "4", "-t", type.first, "-s",
                    UNBOUND_IP, "-s", "::1", "--json", "r.json", "list.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    json j = parse_json("r.json");
    ASSERT_EQ(j["nameservers"].size(), 2u);
    EXPECT_EQ(j["nameservers"][1]["address"], "::1");
    for (const json &ns : j["nameservers"]) {
      for (const expected &e : type.second) {
        const json &bare = named(ns, e.name)["bare"];
        EXPECT_EQ(bare["outcome"], e.outcome)
            << type.first << " " << ns["address"] << " " << e.name;
        EXPECT_EQ(bare["rcode"], e.rcode)
            << type.first << " " << ns["address"] << " " << e.name;
        if (std::string(e.outcome) == "failed") {
          EXPECT_EQ(bare["error"], "rcode") << e.name;
        }
      }
      EXPECT_EQ(named(ns, "ok.example")["www"]["outcome"], "ok");
      EXPECT_EQ(named(ns, "nx.example")["www"]["rcode"], "NXDOMAIN");
    }
  }
}

// Chinese names are asked in their ASCII form, whether the list is UTF-8 or
// GBK; a name without one is never sent; --classic sends the bytes as
// they stand.
TEST_F(UnboundTest, InternationalNamesAreAskedAsTheDnsKnowsThem) {
  fake_ns *fake = fake_ns_start("127.0.0.82", FAKE_ANSWER_A);
  ASSERT_TRUE(fake);
  const std::string utf8 = "\xe4\xbe\x8b\xe5\xad\x90.\xe4\xb8\xad\xe5\x9b\xbd";
  const std::string gbk = "\xc0\xfd\xd7\xd3.\xd6\xd0\xb9\xfa";
  const std::string snowman = "a\xe2\x98\x83"
                              "b.example";
  write_file("list.txt",
             "cn:" + utf8 + "\ngbk:" + gbk + "\nbad:" + snowman + "\n");
  cli_result r = run_zelkor({"-q", "--no-log", "-s", UNBOUND_IP, "-s",
                             "127.0.0.82", "--json", "r.json", "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("has no ASCII form"), std::string::npos) << r.err;
  json j = parse_json("r.json");
  const json &ns = j["nameservers"][0];
  // Both spellings are shown as the same text; the GBK one has a row of
  // its own.
  const json &n = named(ns, utf8);
  EXPECT_EQ(n["ascii"], "xn--fsqu00a.xn--fiqs8s");
  EXPECT_EQ(n["bare"]["outcome"], "ok");
  EXPECT_EQ(n["www"]["outcome"], "ok");
  EXPECT_EQ(ns["providers"][9]["tag"], "gbk");
  EXPECT_EQ(ns["providers"][9]["ok"], 2);
  EXPECT_EQ(named(ns, snowman)["bare"]["error"], "idna");
  EXPECT_EQ(named(ns, snowman)["bare"]["attempts"], 0);
  // The second nameserver saw both forms of the one name, and nothing else
  // but the eight names that cannot exist.
  std::vector<fake_datagram> seen = fake_ns_received(fake);
  EXPECT_EQ(seen.size(), 4u + 8u);
  int forms = 0;
  for (const fake_datagram &d : seen)
    forms += d.qname.find("xn--fsqu00a.xn--fiqs8s") != std::string::npos;
  EXPECT_EQ(forms, 4);

  fake_ns_forget(fake);
  write_file("classic.txt", "zelkor:" + utf8 + "\n");
  r = run_zelkor(
      {"-q", "--no-log", "--classic", "-s", "127.0.0.82", "classic.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  seen = fake_ns_received(fake);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].qname, utf8);
  fake_ns_stop(fake);
}

// The same names over UDP and TCP agree; what does not fit a datagram is
// asked again over TCP (not in classic mode); a nameserver that refuses
// connections fails every probe as "connect", at once, and the run goes on.
TEST_F(UnboundTest, TcpAgreesWithUdpAndTakesOverTruncatedReplies) {
  write_file("list.txt", "ours:ok.example\n"
                         "ours:nx.example\n"
                         "ours:nodata.example\n"
                         "ours:refused.example\n"
                         "ours:big.example\n");
  const auto start = std::chrono::steady_clock::now();
  cli_result r =
      run_zelkor({"-q", "--no-log", "-c", "3", "-s", UNBOUND_IP, "-s",
                  "tcp://127.0.0.80", "-s", "tcp://127.0.0.80:5399", "-s",
                  "::1", "--json", "r.json", "list.txt"});
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LT(seconds, 4.0);
  EXPECT_NE(r.err.find("cannot connect to tcp://127.0.0.80:5399: "
                       "Connection refused"),
            std::string::npos)
      << r.err;
  json j = parse_json("r.json");
  ASSERT_EQ(j["nameservers"].size(), 4u);
  const json &udp = j["nameservers"][0];
  const json &tcp = j["nameservers"][1];
  const json &refusing = j["nameservers"][2];
  EXPECT_EQ(udp["transport"], "udp");
  EXPECT_EQ(tcp["transport"], "tcp");
  EXPECT_EQ(tcp["address"], "tcp://127.0.0.80");
  for (const char *name : {"ok.example", "nx.example", "nodata.example",
                           "refused.example", "big.example"}) {
    for (const char *which : {"bare", "www"}) {
      const json &u = named(udp, name)[which];
      const json &t = named(tcp, name)[which];
      EXPECT_EQ(u["outcome"], t["outcome"]) << name << " " << which;
      EXPECT_EQ(u["rcode"], t["rcode"]) << name << " " << which;
      EXPECT_EQ(named(refusing, name)[which]["error"], "connect") << name;
    }
  }
  const json &big = named(udp, "big.example")["bare"];
  EXPECT_EQ(big["outcome"], "ok");
  EXPECT_EQ(big["tcp_fallback"], true);
  EXPECT_EQ(named(tcp, "big.example")["bare"].count("tcp_fallback"), 0u);
  EXPECT_EQ(udp["connections"]["tcp_fallbacks"], 2);
  EXPECT_EQ(tcp["connections"]["opened"], 1);
  EXPECT_EQ(tcp["connections"]["setup_failures"], 0);
  EXPECT_TRUE(tcp["connections"]["setup_median_ms"].is_number());
  EXPECT_EQ(refusing["connections"]["opened"], 0);
  EXPECT_GE(refusing["connections"]["setup_failures"], 1);
  // The nameserver after the refusing one was tested all the same.
  EXPECT_EQ(named(j["nameservers"][3], "ok.example")["bare"]["outcome"], "ok");

  write_file("classic.txt", "zelkor:big.example\n");
  r = run_zelkor({"-q", "--no-log", "--classic", "-s", UNBOUND_IP, "--json",
                  "c.json", "classic.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  const json c = parse_json("c.json");
  const json &classic = named(c["nameservers"][0], "big.example")["bare"];
  EXPECT_EQ(classic["outcome"], "failed");
  EXPECT_EQ(classic["error"], "truncated");
}

// The same names over UDP, TLS and HTTPS (POST and GET) give the same
// outcomes and codes; a certificate for another name or from an unknown CA
// fails as "tls" with the reason, at once, and the next nameserver is
// tested all the same; --ca-file and --insecure each make the server pass.
TEST_F(UnboundTest, TlsAndHttpsAgreeWithUdpAndFailOnABadCertificate) {
  const std::vector<std::string> names = write_kinds_list();
  for (const char *get : {"", "--doh-get"}) {
    std::vector<std::string> args = {"-q",        "--no-log",
                                     "-c",        "4",
                                     "--ca-file", "ca.pem",
                                     "-s",        UNBOUND_IP,
                                     "-s",        "tls://dns.test@127.0.0.80",
                                     "-s",        "tls://127.0.0.80",
                                     "-s",        "https://dns.test@127.0.0.80",
                                     "-s",        "tls://localhost",
                                     "--json",    "r.json",
                                     "list.txt"};
    if (*get)
      args.insert(args.begin(), get);
    cli_result r = run_zelkor(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("localhost is 127.0.0.1:853"), std::string::npos)
        << r.err;
    // The table gives each connected nameserver's median set-up time.
    EXPECT_NE(r.out.find("\nsetup  "), std::string::npos) << r.out;
    json j = parse_json("r.json");
    ASSERT_EQ(j["nameservers"].size(), 5u);
    const json &udp = j["nameservers"][0];
    EXPECT_EQ(j["nameservers"][1]["transport"], "tls");
    EXPECT_EQ(j["nameservers"][3]["transport"], "https");
    EXPECT_EQ(j["nameservers"][3]["address"], "https://dns.test@127.0.0.80");
    EXPECT_EQ(j["nameservers"][4]["address"], "tls://localhost");
    EXPECT_EQ(j["nameservers"][4]["connect_address"], "127.0.0.1:853");
    for (std::size_t n = 1; n < 5; ++n) {
      const json &ns = j["nameservers"][n];
      EXPECT_GE(ns["connections"]["opened"], 1) << ns["address"];
      EXPECT_TRUE(ns["connections"]["setup_median_ms"].is_number());
      for (const std::string &name : names) {
        for (const char *which : {"bare", "www"}) {
          EXPECT_EQ(named(ns, name)[which]["outcome"],
                    named(udp, name)[which]["outcome"])
              << get << " " << ns["address"] << " " << name << " " << which;
          EXPECT_EQ(named(ns, name)[which]["rcode"],
                    named(udp, name)[which]["rcode"])
              << get << " " << ns["address"] << " " << name << " " << which;
        }
      }
    }
  }

  // A wrong name, then a good server; an unknown CA (no --ca-file).
  const auto start = std::chrono::steady_clock::now();
  cli_result r = run_zelkor({"-q", "--no-log", "--ca-file", "ca.pem", "-s",
                             "tls://wrong.test@127.0.0.80", "-s", UNBOUND_IP,
                             "-s", "https://dns.test@127.0.0.80/elsewhere",
                             "--json", "bad.json", "list.txt"});
  cli_result unknown =
      run_zelkor({"-q", "--no-log", "-s", "https://dns.test@127.0.0.80",
                  "--json", "unknown.json", "list.txt"});
  EXPECT_LT(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count(),
      4.0);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(unknown.status, 0) << unknown.err;
  EXPECT_NE(r.err.find("cannot set up TLS with tls://wrong.test@127.0.0.80: "
                       "hostname mismatch"),
            std::string::npos)
      << r.err;
  EXPECT_NE(
      unknown.err.find("cannot set up TLS with https://dns.test@127.0.0.80: "
                       "unable to get local issuer certificate"),
      std::string::npos)
      << unknown.err;
  json bad = parse_json("bad.json");
  EXPECT_EQ(named(bad["nameservers"][0], "ok.example")["bare"]["error"], "tls");
  EXPECT_EQ(named(parse_json("unknown.json")["nameservers"][0],
                  "ok.example")["bare"]["error"],
            "tls");
  EXPECT_EQ(named(bad["nameservers"][1], "ok.example")["bare"]["outcome"],
            "ok");
  // A path the server does not serve: an HTTP status, said once.
  EXPECT_EQ(named(bad["nameservers"][2], "ok.example")["bare"]["error"],
            "http");
  EXPECT_NE(
      r.err.find("https://dns.test@127.0.0.80/elsewhere answered with HTTP "
                 "status 404"),
      std::string::npos)
      << r.err;

  // Twelve queries 0.5 s apart (four names, and eight that cannot exist),
  // each after the server closed the idle connection: each reconnection
  // resumes the TLS session.
  write_file("two.txt", "ours:ok.example\nours:nx.example\n");
  r = run_zelkor({"-q", "--no-log", "--ca-file", "ca.pem", "-c", "1", "--rate",
                  "2", "-s", "tls://dns.test@127.0.0.80", "--json",
                  "resumed.json", "two.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  const json resumed = parse_json("resumed.json");
  const json &connections = resumed["nameservers"][0]["connections"];
  EXPECT_EQ(connections["reconnections"], 11) << connections;
  EXPECT_GE(connections["resumed"], 1) << connections;
  EXPECT_EQ(resumed["nameservers"][0]["total"]["ok"], 2);

  r = run_zelkor({"-q", "--no-log", "--insecure", "-s",
                  "tls://wrong.test@127.0.0.80", "--json", "insecure.json",
                  "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("--insecure: TLS certificates are not checked"),
            std::string::npos);
  json insecure = parse_json("insecure.json");
  EXPECT_EQ(insecure["settings"]["insecure"], true);
  EXPECT_EQ(named(insecure["nameservers"][0], "ok.example")["bare"]["outcome"],
            "ok");
}

// A TLS server that speaks HTTP (openssl s_server -www): it waits for a
// request line that a DNS query never completes, or answers a stray one
// with a web page. Either way every probe ends in its time, named, on no
// more connections than the probes have attempts.
TEST_F(UnboundTest, TlsServerThatSpeaksHttpIsNoNameserver) {
  write_file("two.txt", "ours:ok.example\nours:nx.example\n");
  const char *const argv[] = {"/usr/bin/openssl",
                              "s_server",
                              "-quiet",
                              "-www",
                              "-accept",
                              "127.0.0.82:853",
                              "-cert",
                              "server.pem",
                              "-key",
                              "server.key",
                              nullptr};
  pid_t web;
  ASSERT_EQ(posix_spawn(&web, argv[0], nullptr, nullptr,
                        const_cast<char *const *>(argv), environ),
            0);
  std::string out;
  // Listening once a connection is taken; bounded.
  for (int i = 0; i < 100 && run_tool({"/usr/bin/openssl", "s_client",
                                       "-connect", "127.0.0.82:853"},
                                      &out) != 0;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = std::chrono::steady_clock::now();
  cli_result r = run_zelkor(
      {"-q", "--no-log", "--ca-file", "ca.pem", "--timeout", "500", "-s",
       "tls://dns.test@127.0.0.82", "--json", "web.json", "two.txt"});
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  kill(web, SIGTERM);
  int raw;
  waitpid(web, &raw, 0);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LT(took, 3.0);
  const json ns = parse_json("web.json")["nameservers"][0];
  EXPECT_LE(ns["connections"]["opened"], 4 * 2 + 4) << ns["connections"];
  for (const char *name : {"ok.example", "nx.example"}) {
    for (const char *which : {"bare", "www"}) {
      const json &probe = named(ns, name)[which];
      EXPECT_EQ(probe["outcome"], "failed");
      EXPECT_TRUE(probe["error"] == "timeout" || probe["error"] == "format")
          << probe;
    }
  }
}

// The tests' DNS over QUIC server on 127.0.0.84 (UDP port 853), forwarding
// to unbound; its options as doq_server takes them. It prints a line a
// connection as it ends.
class doq_server : public doq_process {
public:
  explicit doq_server(std::vector<std::string> options)
      : doq_process(DOQ_SERVER, "doq.log", with_defaults(options)) {}

private:
  static std::vector<std::string>
  with_defaults(const std::vector<std::string> &options) {
    std::vector<std::string> args = {
        "-listen", "127.0.0.84:853", "-cert",     "server.pem",
        "-key",    "server.key",     "-upstream", "127.0.0.80:53"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
  }
};

// Over QUIC the outcomes and codes are UDP's, with the queries in flight
// beyond the server's four streams waiting for its credit (quic-go closes
// a connection that opens more). A server that closes each connection
// after three replies: the rest go again on the next, which resumes the
// session and carries its first queries as 0-RTT data.
TEST_F(UnboundTest, QuicAgreesWithUdpWithinTheStreamLimitAndReconnects) {
  const std::vector<std::string> names = write_kinds_list();
  for (const char *close_after : {"0", "3"}) {
    doq_server server({"-streams", "4", "-close-after", close_after});
    ASSERT_TRUE(server.ready()) << server.stop();
    // One attempt a name: what a closed connection left unanswered must
    // go again as the same attempt.
    cli_result r = run_zelkor(
        {"-q", "--no-log", "-c", "16", "--attempts", "1", "--ca-file", "ca.pem",
         "-s", UNBOUND_IP, "-s", "quic://dns.test@127.0.0.84", "-s",
         "quic://127.0.0.84", "--json", "q.json", "list.txt"});
    const std::string log = server.stop();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nsetup  "), std::string::npos) << r.out;
    const json j = parse_json("q.json");
    const json &udp = j["nameservers"][0];
    for (std::size_t n = 1; n < 3; ++n) {
      const json &ns = j["nameservers"][n];
      EXPECT_EQ(ns["transport"], "quic");
      for (const std::string &name : names) {
        for (const char *which : {"bare", "www"}) {
          EXPECT_EQ(named(ns, name)[which]["outcome"],
                    named(udp, name)[which]["outcome"])
              << close_after << " " << ns["address"] << " " << name << " "
              << which << "\n"
              << log;
          EXPECT_EQ(named(ns, name)[which]["rcode"],
                    named(udp, name)[which]["rcode"]);
        }
      }
      const json &connections = ns["connections"];
      if (*close_after == '0') {
        EXPECT_EQ(connections["opened"], 1) << connections;
        EXPECT_TRUE(connections["setup_median_ms"].is_number());
      } else {
        // Sixteen queries, three a connection.
        EXPECT_GE(connections["reconnections"], 5) << connections;
        EXPECT_EQ(connections["resumed"], connections["reconnections"]);
        EXPECT_GE(connections["zero_rtt"], 1) << connections;
      }
    }
    if (*close_after == '3') {
      EXPECT_NE(log.find("early=true"), std::string::npos) << log;
    }
  }
}

// A certificate from a CA not trusted fails as "tls", an address where
// nobody answers as "connect", each in bounded time with the next
// nameserver tested all the same; a server that closes connections with an
// error code fails probes as "quic", the code said.
TEST_F(UnboundTest, QuicFailuresAreNamed) {
  write_file("two.txt", "ours:ok.example\nours:nx.example\n");
  // Bound and silent.
  const int silent = bound_udp("127.0.0.83", 853);
  ASSERT_GE(silent, 0);
  doq_server server({"-close-after", "1", "-close-code", "5"});
  ASSERT_TRUE(server.ready()) << server.stop();
  const auto start = std::chrono::steady_clock::now();
  cli_result r =
      run_zelkor({"-q", "--no-log", "--timeout", "500", "-c", "12", "-s",
                  "quic://dns.test@127.0.0.84", "-s", "quic://127.0.0.83", "-s",
                  UNBOUND_IP, "--json", "bad.json", "two.txt"});
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  cli_result closing =
      run_zelkor({"-q", "--no-log", "--ca-file", "ca.pem", "-c", "12", "-s",
                  "quic://dns.test@127.0.0.84", "--json", "closing.json",
                  "--csv", "closing.csv", "two.txt"});
  close(silent);
  server.stop();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LT(took, 4.0);
  EXPECT_NE(r.err.find("cannot set up TLS with quic://dns.test@127.0.0.84: "
                       "The certificate is NOT trusted. The certificate "
                       "issuer is unknown."),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("cannot connect to quic://127.0.0.83: no reply to "
                       "the QUIC handshake"),
            std::string::npos)
      << r.err;
  const json bad = parse_json("bad.json");
  EXPECT_EQ(named(bad["nameservers"][0], "ok.example")["bare"]["error"], "tls");
  EXPECT_EQ(named(bad["nameservers"][1], "ok.example")["bare"]["error"],
            "connect");
  EXPECT_EQ(named(bad["nameservers"][2], "ok.example")["bare"]["outcome"],
            "ok");

  ASSERT_EQ(closing.status, 0) << closing.err;
  EXPECT_NE(closing.err.find("quic://dns.test@127.0.0.84: the connection "
                             "closed with application error code 0x5 "
                             "(enough)"),
            std::string::npos)
      << closing.err;
  const json ns = parse_json("closing.json")["nameservers"][0];
  EXPECT_GE(ns["providers"].back()["errors"]["quic"], 1) << ns["providers"];
  EXPECT_NE(read_file("closing.csv").find(",quic,"), std::string::npos);
}

} // namespace

namespace {

// A resolver in front of unbound: it relays each query and its reply. One
// that hijacks turns a name that does not exist into an authoritative A
// record of its own (TTL 0), as resolvers that show advertising in its
// place do; one that is slow holds each reply back a while, so that an
// injector on the path wins the race.
class relay {
public:
  relay(const char *ip, bool hijacks, int delay_ms)
      : hijacks_(hijacks), delay_ms_(delay_ms) {
    sock_ = bound_udp(ip, 53);
    ok_ = sock_ >= 0;
    if (ok_)
      thread_ = std::thread([this] { serve(); });
  }
  ~relay() {
    stop_.store(true);
    if (thread_.joinable())
      thread_.join();
    if (sock_ >= 0)
      close(sock_);
  }
  bool ok() const {
    return ok_;
  }

private:
  // A reply on its way back: due `delay_ms_` after its query came.
  struct held_reply {
    std::chrono::steady_clock::time_point due;
    std::vector<unsigned char> bytes;
    sockaddr_in to;
  };

  void serve() {
    const int upstream = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(53);
    inet_pton(AF_INET, UNBOUND_IP, &to.sin_addr);
    // By the query's ID: who asked, and when.
    std::map<unsigned,
             std::pair<sockaddr_in, std::chrono::steady_clock::time_point>>
        asked;
    std::vector<held_reply> held;
    while (!stop_.load()) {
      pollfd wait[2] = {{sock_, POLLIN, 0}, {upstream, POLLIN, 0}};
      poll(wait, 2, held.empty() ? 100 : 1);
      const auto now = std::chrono::steady_clock::now();
      if (wait[0].revents & POLLIN) {
        unsigned char query[512];
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const long n =
            recvfrom(sock_, query, sizeof query, 0,
                     reinterpret_cast<sockaddr *>(&from), &from_length);
        if (n >= 12) {
          asked[static_cast<unsigned>(query[0] << 8 | query[1])] = {from, now};
          sendto(upstream, query, static_cast<std::size_t>(n), 0,
                 reinterpret_cast<sockaddr *>(&to), sizeof to);
        }
      }
      if (wait[1].revents & POLLIN) {
        unsigned char reply[4096];
        long m = recv(upstream, reply, sizeof reply - 16, 0);
        auto who =
            m >= 12
                ? asked.find(static_cast<unsigned>(reply[0] << 8 | reply[1]))
                : asked.end();
        if (who != asked.end()) {
          if (hijacks_ && (reply[3] & 0x0F) == 3)
            m = hijacked(reply, m);
          held.push_back(held_reply{
              who->second.second + std::chrono::milliseconds(delay_ms_),
              std::vector<unsigned char>(reply, reply + m), who->second.first});
          asked.erase(who);
        }
      }
      for (std::size_t i = 0; i < held.size();) {
        if (held[i].due > std::chrono::steady_clock::now()) {
          ++i;
          continue;
        }
        sendto(sock_, held[i].bytes.data(), held[i].bytes.size(), 0,
               reinterpret_cast<sockaddr *>(&held[i].to), sizeof held[i].to);
        held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    close(upstream);
  }

  // The reply turned into an authoritative answer of 198.51.100.7: the
  // question ends after its name and 4 bytes.
  static long hijacked(unsigned char *reply, long m) {
    long end = 12;
    while (end < m && reply[end] != 0)
      end += reply[end] + 1;
    end += 5;
    const unsigned char record[] = {0xC0, 0x0C, 0, 1, 0,   1,  0,   0,
                                    0,    0,    0, 4, 198, 51, 100, 7};
    std::copy(record, record + sizeof record, reply + end);
    reply[2] |= 0x04; // AA
    reply[3] &= 0xF0; // NOERROR
    reply[6] = 0;
    reply[7] = 1;
    reply[8] = reply[9] = reply[10] = reply[11] = 0;
    return end + static_cast<long>(sizeof record);
  }

  bool hijacks_;
  int delay_ms_;
  int sock_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Names that do not exist, turned into an address: the hijacker is found
// out, and the answer that leads only there (the "www." of a domain
// without one) is no answer; the honest resolver raises no alarm.
TEST_F(UnboundTest, HijackedNamesThatDoNotExistAreRedirected) {
  relay lies("127.0.0.83", true, 0);
  ASSERT_TRUE(lies.ok());
  write_file("list.txt", "ours:ok.example\nours:nowww.example\n");
  cli_result r = run_zelkor({"--no-log", "-s", "127.0.0.83", "-s", UNBOUND_IP,
                             "--json", "r.json", "--csv", "r.csv", "--metrics",
                             "r.prom", "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  json j = parse_json("r.json");
  const json &hijacking = j["nameservers"][0];
  EXPECT_EQ(hijacking["nx_probe"]["verdict"], "hijack");
  EXPECT_EQ(hijacking["nx_probe"]["addrs"], json::parse(R"(["198.51.100.7"])"));
  EXPECT_EQ(hijacking["nx_probe"]["names"].size(), 8u);
  const json &www = named(hijacking, "nowww.example")["www"];
  EXPECT_EQ(www["outcome"], "redirected");
  EXPECT_EQ(www["error"], "redirected");
  EXPECT_EQ(www["answers"], json::parse(R"(["198.51.100.7"])"));
  EXPECT_EQ(www["ttl"], 0);
  EXPECT_EQ(named(hijacking, "nowww.example")["bare"]["answers"],
            json::parse(R"(["192.0.2.9"])"));
  EXPECT_EQ(named(hijacking, "ok.example")["www"]["outcome"], "ok");
  EXPECT_EQ(hijacking["providers"][8]["errors"]["redirected"], 1);
  EXPECT_NE(r.out.find("\n127.0.0.83 redirects names that do not exist to "
                       "198.51.100.7 (1 probe redirected)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(read_file("r.csv").find(",www.nowww.example,redirected,"),
            std::string::npos);
  const std::string metrics = read_file("r.prom");
  EXPECT_NE(metrics.find("\nzelkor_nx_hijack{nameserver=\"127.0.0.83\"} 1\n"),
            std::string::npos);
  EXPECT_NE(metrics.find("\nzelkor_nx_hijack{nameserver=\"127.0.0.80\"} 0\n"),
            std::string::npos);

  const json &honest = j["nameservers"][1];
  EXPECT_EQ(honest["nx_probe"]["verdict"], "clean") << honest["nx_probe"];
  EXPECT_EQ(named(honest, "nowww.example")["www"]["outcome"], "negative");
  EXPECT_EQ(honest["providers"][8]["errors"]["redirected"], 0);
}

// An on-path injector: it sees on lo each query to one address for one
// name (an AF_PACKET socket) and answers it at once from that address with
// an address of its own, through a raw socket, ahead of the true reply.
class injector {
public:
  injector(const char *server, const std::string &qname) : qname_(qname) {
    inet_pton(AF_INET, server, &server_);
    listen_ = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
    send_ = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    ok_ = listen_ >= 0 && send_ >= 0;
    if (ok_)
      thread_ = std::thread([this] { watch(); });
  }
  ~injector() {
    stop_.store(true);
    if (thread_.joinable())
      thread_.join();
    if (listen_ >= 0)
      close(listen_);
    if (send_ >= 0)
      close(send_);
  }
  bool ok() const {
    return ok_;
  }
  int forged() const {
    return forged_.load();
  }

private:
  void watch() {
    while (!stop_.load()) {
      pollfd wait = {listen_, POLLIN, 0};
      if (poll(&wait, 1, 100) != 1)
        continue;
      unsigned char packet[2048];
      sockaddr_ll from{};
      socklen_t from_length = sizeof from;
      const long n =
          recvfrom(listen_, packet, sizeof packet, 0,
                   reinterpret_cast<sockaddr *>(&from), &from_length);
      // lo shows each packet twice: as sent and as received.
      if (n < 28 || from.sll_pkttype == PACKET_OUTGOING)
        continue;
      const std::size_t ihl = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
      if (packet[9] != IPPROTO_UDP ||
          std::memcmp(packet + 16, &server_, 4) != 0 ||
          n < static_cast<long>(ihl + 8 + 12))
        continue;
      const unsigned char *udp = packet + ihl;
      if ((udp[2] << 8 | udp[3]) != 53)
        continue;
      forge(packet, udp, static_cast<std::size_t>(n) - ihl - 8);
    }
  }

  // The query's name, dotted.
  static std::string name_of(const unsigned char *dns, std::size_t length) {
    std::string name;
    std::size_t at = 12;
    while (at < length && dns[at] != 0 && at + 1 + dns[at] <= length) {
      if (!name.empty())
        name += '.';
      name.append(reinterpret_cast<const char *>(dns + at + 1), dns[at]);
      at += 1 + dns[at];
    }
    return name;
  }

  void forge(const unsigned char *ip, const unsigned char *udp,
             std::size_t dns_length) {
    const unsigned char *query = udp + 8;
    if (name_of(query, dns_length) != qname_)
      return;
    std::size_t q_end = 12;
    while (q_end < dns_length && query[q_end] != 0)
      q_end += 1 + query[q_end];
    q_end += 5;
    if (q_end > dns_length)
      return;
    unsigned char out[512] = {};
    const std::size_t dns_at = 20 + 8;
    unsigned char *dns = out + dns_at;
    std::memcpy(dns, query, q_end);
    dns[2] = 0x81; // QR, RD
    dns[3] = 0x80; // RA, NOERROR
    dns[6] = 0;
    dns[7] = 1; // one answer
    dns[8] = dns[9] = dns[10] = dns[11] = 0;
    const unsigned char answer[] = {0xC0, 0x0C, 0, 1, 0,   1,  0,   0,
                                    0,    60,   0, 4, 198, 51, 100, 66};
    std::memcpy(dns + q_end, answer, sizeof answer);
    const std::size_t total = dns_at + q_end + sizeof answer;
    out[0] = 0x45;
    out[2] = static_cast<unsigned char>(total >> 8);
    out[3] = static_cast<unsigned char>(total);
    out[8] = 50; // a path of its own: not the kernel's 64
    out[9] = IPPROTO_UDP;
    std::memcpy(out + 12, ip + 16, 4); // from the server
    std::memcpy(out + 16, ip + 12, 4); // to the asker
    unsigned char *u = out + 20;
    u[0] = 0;
    u[1] = 53;
    u[2] = udp[0]; // to the asker's port
    u[3] = udp[1];
    const std::size_t udp_length = total - 20;
    u[4] = static_cast<unsigned char>(udp_length >> 8);
    u[5] = static_cast<unsigned char>(udp_length);
    // A UDP checksum of 0 is none (IPv4); the kernel fills the IP one.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr, ip + 12, 4);
    if (sendto(send_, out, total, 0, reinterpret_cast<sockaddr *>(&to),
               sizeof to) == static_cast<long>(total))
      ++forged_;
  }

  std::string qname_;
  in_addr server_{};
  int listen_ = -1;
  int send_ = -1;
  bool ok_ = false;
  std::atomic<int> forged_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// An injector's forged answer, ahead of the true one that a slow resolver
// holds back 50 ms: the probe is suspect with both replies, the first its
// latency; the other names are untouched.
TEST_F(UnboundTest, AnInjectedReplyMakesTheProbeSuspect) {
  relay slow("127.0.0.84", false, 50);
  ASSERT_TRUE(slow.ok());
  injector on_path("127.0.0.84", "ok.example");
  ASSERT_TRUE(on_path.ok());
  write_file("list.txt", "ours:ok.example\nours:nx.example\n");
  cli_result r =
      run_zelkor({"-q", "--no-log", "-s", "127.0.0.84", "--authority", "off",
                  "--json", "r.json", "list.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_GE(on_path.forged(), 1);
  const json ns = parse_json("r.json")["nameservers"][0];
  const json &bare = named(ns, "ok.example")["bare"];
  EXPECT_EQ(bare["outcome"], "suspect") << bare;
  EXPECT_EQ(bare["reasons"], json::parse(R"(["race"])"));
  ASSERT_EQ(bare["replies"].size(), 2u);
  EXPECT_EQ(bare["replies"][0]["answers"], json::parse(R"(["198.51.100.66"])"));
  EXPECT_EQ(bare["replies"][1]["answers"], json::parse(R"(["192.0.2.1"])"));
  EXPECT_EQ(bare["ms"], bare["replies"][0]["ms"]);
  // The forgery's IP TTL gives its path away.
  EXPECT_EQ(bare["replies"][0]["ip_ttl"], 50);
  EXPECT_EQ(bare["replies"][1]["ip_ttl"], 64);
  EXPECT_EQ(named(ns, "ok.example")["www"]["outcome"], "ok");
  EXPECT_EQ(named(ns, "nx.example")["bare"]["outcome"], "negative");
}

} // namespace

// The fake nameserver as a program, for runs of the real zelkor.exe:
//   fake_ns --listen IP [--listen IP ...] [--rules FILE] [--log FILE]
//           [--seconds N]
// or, for the Windows suites under Wine (fake_ns_remote.cpp), as servers
// started and scripted over TCP on 127.0.0.1 of the sandbox:
//   fake_ns --control [--seconds N]
// Rules file: one rule a line, "NAME BEHAVIOUR [DELAY_MS]", or
// "default BEHAVIOUR [DELAY_MS]"; "#" starts a comment. Behaviours: answer,
// cname, nxdomain, nodata, refused, servfail, silent, delayed, short,
// oversize, wrong-id, wrong-port, wrong-addr, race, duplicate, private,
// servfail-cname, flaky, cold. It serves for N seconds (at most an hour)
// or until SIGINT/SIGTERM, then writes one line per datagram received to
// the log: "IP ID QTYPE QNAME".
// Only inside the network sandbox.
#include "tests/support/fake_ns.h"
#include "tests/support/hex.h"
#include "tests/support/sandbox_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include <algorithm>

namespace {

const int MAX_SECONDS = 3600;
const int MAX_SERVERS = 16;

volatile std::sig_atomic_t stop_requested;

void request_stop(int) {
  stop_requested = 1;
}

struct behaviour_name {
  const char *name;
  fake_behaviour behaviour;
};

const behaviour_name BEHAVIOURS[] = {
    {"answer", FAKE_ANSWER_A},
    {"cname", FAKE_CNAME_ONLY},
    {"nxdomain", FAKE_NXDOMAIN},
    {"nodata", FAKE_NODATA},
    {"refused", FAKE_REFUSED},
    {"servfail", FAKE_SERVFAIL},
    {"silent", FAKE_SILENT},
    {"delayed", FAKE_DELAYED},
    {"short", FAKE_SHORT},
    {"oversize", FAKE_OVERSIZE},
    {"wrong-id", FAKE_WRONG_ID},
    {"wrong-port", FAKE_WRONG_PORT},
    {"wrong-addr", FAKE_WRONG_ADDR},
    {"race", FAKE_RACE},
    {"duplicate", FAKE_DUPLICATE},
    {"private", FAKE_PRIVATE},
    {"servfail-cname", FAKE_SERVFAIL_CNAME},
    {"flaky", FAKE_FLAKY},
    {"cold", FAKE_COLD},
};

int behaviour_of(const char *word, fake_behaviour *out) {
  for (const behaviour_name &b : BEHAVIOURS) {
    if (std::strcmp(word, b.name) == 0) {
      *out = b.behaviour;
      return 0;
    }
  }
  return -1;
}

struct rule_line {
  std::string name;
  fake_behaviour behaviour;
  int delay_ms;
};

int read_rules(const char *path, std::vector<rule_line> &rules) {
  std::FILE *f = std::fopen(path, "r");
  if (!f) {
    std::perror(path);
    return -1;
  }
  char line[512];
  int number = 0;
  while (std::fgets(line, sizeof line, f)) {
    ++number;
    char name[300], word[32];
    int delay = 2500;
    char *hash = std::strchr(line, '#');
    if (hash)
      *hash = '\0';
    int fields = std::sscanf(line, "%299s %31s %d", name, word, &delay);
    if (fields <= 0)
      continue;
    fake_behaviour b;
    if (fields < 2 || behaviour_of(word, &b) != 0) {
      std::fprintf(stderr, "%s:%d: expected NAME BEHAVIOUR [DELAY_MS]\n", path,
                   number);
      std::fclose(f);
      return -1;
    }
    rules.push_back({name, b, delay});
  }
  std::fclose(f);
  return 0;
}

const std::size_t MAX_CONTROLLED = 256;
std::vector<fake_ns *> controlled; // by handle; null once stopped

fake_ns *controlled_server(const char *text) {
  char *end = nullptr;
  unsigned long handle = std::strtoul(text, &end, 10);
  if (end == text || handle >= controlled.size())
    return nullptr;
  return controlled[handle];
}

bool valid_behaviour(long b) {
  return b >= FAKE_ANSWER_A && b <= FAKE_WRONG_ADDR;
}

// One command line of fake_ns_remote.cpp; the answer to send back.
std::string run_command(char *line) {
  char *words[6] = {};
  int count = 0;
  for (char *w = std::strtok(line, " \r\n"); w && count < 6;
       w = std::strtok(nullptr, " \r\n"))
    words[count++] = w;
  if (count == 0)
    return "fail\n";
  std::string verb = words[0];
  if (verb == "start" && count == 3) {
    long b = std::atol(words[2]);
    fake_ns *ns = valid_behaviour(b) && controlled.size() < MAX_CONTROLLED
                      ? fake_ns_start(words[1], static_cast<fake_behaviour>(b))
                      : nullptr;
    if (!ns)
      return "fail\n";
    controlled.push_back(ns);
    return "ok " + std::to_string(controlled.size() - 1) + "\n";
  }
  fake_ns *ns = count >= 2 ? controlled_server(words[1]) : nullptr;
  if (!ns)
    return "fail\n";
  if (verb == "rule" && count == 5 && valid_behaviour(std::atol(words[2]))) {
    fake_ns_rule(ns, unhex(words[4]).c_str(),
                 static_cast<fake_behaviour>(std::atol(words[2])),
                 std::atoi(words[3]));
  } else if (verb == "default" && count == 4 &&
             valid_behaviour(std::atol(words[2]))) {
    fake_ns_default(ns, static_cast<fake_behaviour>(std::atol(words[2])),
                    std::atoi(words[3]));
  } else if (verb == "received" && count == 2) {
    std::string out;
    auto now = std::chrono::steady_clock::now();
    for (const fake_datagram &d : fake_ns_received(ns)) {
      long long age =
          std::chrono::duration_cast<std::chrono::microseconds>(now - d.at)
              .count();
      out += hex(std::string(d.bytes.begin(), d.bytes.end())) + " " +
             std::to_string(d.id) + " " + std::to_string(d.qtype) + " " +
             hex(d.qname) + " " + std::to_string(age) + "\n";
    }
    return out;
  } else if (verb == "wait" && count == 4) {
    int timeout = std::atoi(words[3]);
    bool ok = fake_ns_wait(ns, std::strtoul(words[2], nullptr, 10),
                           timeout < 0 ? 0 : std::min(timeout, 60000));
    return ok ? "ok\n" : "timeout\n";
  } else if (verb == "forget" && count == 2) {
    fake_ns_forget(ns);
  } else if (verb == "stop" && count == 2) {
    fake_ns_stop(ns);
    controlled[std::strtoul(words[1], nullptr, 10)] = nullptr;
  } else {
    return "fail\n";
  }
  return "ok\n";
}

// Serves commands until the time is up or a signal asks it to stop.
int control_loop(int seconds) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(FAKE_CONTROL_PORT));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener < 0 ||
      bind(listener, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0 ||
      listen(listener, 16) != 0) {
    std::perror("fake_ns: control socket");
    return 1;
  }
  std::printf("fake_ns: control on 127.0.0.1:%d\n", FAKE_CONTROL_PORT);
  std::fflush(stdout);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!stop_requested && std::chrono::steady_clock::now() < end) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval wait = {0, 100000};
    if (select(listener + 1, &readable, nullptr, nullptr, &wait) <= 0)
      continue;
    int conn = accept(listener, nullptr, nullptr);
    if (conn < 0)
      continue;
    timeval patience = {5, 0}; // a client that says nothing is dropped
    setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string line;
    char c;
    while (line.size() < 4096 && recv(conn, &c, 1, 0) == 1 && c != '\n')
      line += c;
    std::string answer = run_command(&line[0]);
    send(conn, answer.data(), answer.size(), MSG_NOSIGNAL);
    close(conn);
  }
  close(listener);
  for (fake_ns *ns : controlled)
    fake_ns_stop(ns);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  std::vector<const char *> listen;
  const char *rules_path = nullptr;
  const char *log_path = nullptr;
  int seconds = 60;
  bool control = false;
  for (int i = 1; i < argc; ++i) {
    bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--control") == 0) {
      control = true;
    } else if (std::strcmp(argv[i], "--listen") == 0 && has_value) {
      listen.push_back(argv[++i]);
    } else if (std::strcmp(argv[i], "--rules") == 0 && has_value) {
      rules_path = argv[++i];
    } else if (std::strcmp(argv[i], "--log") == 0 && has_value) {
      log_path = argv[++i];
    } else if (std::strcmp(argv[i], "--seconds") == 0 && has_value) {
      seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: fake_ns --listen IP [--listen IP ...] "
                           "[--rules FILE] [--log FILE] [--seconds N]\n"
                           "       fake_ns --control [--seconds N]\n");
      return 2;
    }
  }
  if ((listen.empty() && !control) || listen.size() > MAX_SERVERS ||
      seconds < 1 || seconds > MAX_SECONDS) {
    std::fprintf(stderr, "fake_ns: 1 to %d addresses, 1 to %d seconds\n",
                 MAX_SERVERS, MAX_SECONDS);
    return 2;
  }
  std::string problem = sandbox_problem();
  if (!problem.empty()) {
    std::fprintf(stderr, "fake_ns: only inside the network sandbox: %s\n",
                 problem.c_str());
    return 2;
  }
  std::signal(SIGINT, request_stop);
  std::signal(SIGTERM, request_stop);
  if (control)
    return control_loop(seconds);

  std::vector<rule_line> rules;
  if (rules_path && read_rules(rules_path, rules) != 0)
    return 2;

  std::vector<fake_ns *> servers;
  for (const char *ip : listen) {
    fake_ns *ns = fake_ns_start(ip, FAKE_ANSWER_A);
    if (!ns) {
      std::fprintf(stderr, "fake_ns: cannot serve on %s:53\n", ip);
      for (fake_ns *s : servers)
        fake_ns_stop(s);
      return 1;
    }
    for (const rule_line &r : rules) {
      if (r.name == "default")
        fake_ns_default(ns, r.behaviour, r.delay_ms);
      else
        fake_ns_rule(ns, r.name.c_str(), r.behaviour, r.delay_ms);
    }
    servers.push_back(ns);
  }
  std::printf("fake_ns: serving\n");
  std::fflush(stdout);
  for (int tick = 0; tick < seconds * 10 && !stop_requested; ++tick)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

  std::FILE *log = log_path ? std::fopen(log_path, "w") : nullptr;
  for (std::size_t i = 0; i < servers.size(); ++i) {
    for (const fake_datagram &d : fake_ns_received(servers[i])) {
      if (log)
        std::fprintf(log, "%s %u %u %s\n", listen[i], d.id, d.qtype,
                     d.qname.c_str());
    }
    fake_ns_stop(servers[i]);
  }
  if (log)
    std::fclose(log);
  return 0;
}

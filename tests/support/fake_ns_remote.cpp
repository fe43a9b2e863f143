// The fake nameserver API for the Windows suites: each call is one command to
// the native `fake_ns --control` program (one TCP connection, one text line
// out, the answer back until the server closes). Names and bytes travel as
// hex, so any name survives.
#include "tests/support/fake_ns.h"
#include "tests/support/hex.h"

#include <winsock2.h>

#include <cstdio>
#include <cstring>
#include <sstream>

struct fake_ns {
  int handle;
};

namespace {

// Sends one command line; the whole answer, or "" when the program is not
// there (the suite then fails on its own assertions).
std::string command(const std::string &line) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET)
    return "";
  sockaddr_in to;
  std::memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(FAKE_CONTROL_PORT));
  to.sin_addr.s_addr = inet_addr("127.0.0.1");
  std::string answer;
  if (connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0) {
    std::string out = line + "\n";
    send(s, out.data(), static_cast<int>(out.size()), 0);
    char buffer[65536];
    int got;
    while ((got = recv(s, buffer, sizeof buffer, 0)) > 0)
      answer.append(buffer, static_cast<std::size_t>(got));
  } else {
    std::fprintf(stderr, "fake_ns: no control program on 127.0.0.1:%d\n",
                 FAKE_CONTROL_PORT);
  }
  closesocket(s);
  return answer;
}

std::string handle_of(fake_ns *ns) {
  return std::to_string(ns->handle);
}

} // namespace

fake_ns *fake_ns_start(const char *ip, fake_behaviour default_behaviour) {
  std::istringstream answer(command(std::string("start ") + ip + " " +
                                    std::to_string(default_behaviour)));
  std::string word;
  int handle = -1;
  if (!(answer >> word >> handle) || word != "ok")
    return nullptr;
  return new fake_ns{handle};
}

void fake_ns_rule(fake_ns *ns, const char *qname, fake_behaviour behaviour,
                  int delay_ms) {
  command("rule " + handle_of(ns) + " " + std::to_string(behaviour) + " " +
          std::to_string(delay_ms) + " " + hex(qname));
}

void fake_ns_default(fake_ns *ns, fake_behaviour behaviour, int delay_ms) {
  command("default " + handle_of(ns) + " " + std::to_string(behaviour) + " " +
          std::to_string(delay_ms));
}

std::vector<fake_datagram> fake_ns_received(fake_ns *ns) {
  std::istringstream answer(command("received " + handle_of(ns)));
  std::vector<fake_datagram> got;
  std::string bytes, qname;
  unsigned id, qtype;
  long long age_us;
  // The server's clock is not ours: each datagram comes with its age.
  auto now = std::chrono::steady_clock::now();
  while (answer >> bytes >> id >> qtype >> qname >> age_us) {
    fake_datagram d;
    std::string raw = unhex(bytes);
    d.bytes.assign(raw.begin(), raw.end());
    d.id = static_cast<std::uint16_t>(id);
    d.qtype = static_cast<std::uint16_t>(qtype);
    d.qname = unhex(qname);
    d.at = now - std::chrono::microseconds(age_us);
    got.push_back(d);
  }
  return got;
}

bool fake_ns_wait(fake_ns *ns, std::size_t count, int timeout_ms) {
  return command("wait " + handle_of(ns) + " " + std::to_string(count) + " " +
                 std::to_string(timeout_ms)) == "ok\n";
}

void fake_ns_forget(fake_ns *ns) {
  command("forget " + handle_of(ns));
}

void fake_ns_stop(fake_ns *ns) {
  if (!ns)
    return;
  command("stop " + handle_of(ns));
  delete ns;
}

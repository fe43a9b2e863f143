// A scripted nameserver for the tests: serves UDP on one IPv4 address, port
// 53 (loopback addresses inside the network sandbox only), answers each
// question as its rule for that name says, and records every datagram.
#ifndef TESTS_SUPPORT_FAKE_NS_H
#define TESTS_SUPPORT_FAKE_NS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

enum fake_behaviour {
  FAKE_ANSWER_A,   // one A record (192.0.2.1), RCODE 0
  FAKE_CNAME_ONLY, // one CNAME record and nothing else
  FAKE_NXDOMAIN,   // RCODE 3, SOA in authority
  FAKE_NODATA,     // RCODE 0, no answer, SOA in authority
  FAKE_REFUSED,    // RCODE 5, all counts 0
  FAKE_SERVFAIL,   // RCODE 2, all counts 0
  FAKE_SILENT,     // no reply at all
  FAKE_DELAYED,    // one A record, sent delay_ms after the query arrived
  FAKE_SHORT,      // a datagram of 11 bytes
  FAKE_OVERSIZE,   // a 1500-byte datagram whose header says "answered"
  FAKE_WRONG_ID,   // an A answer whose ID is the query's + 1
  FAKE_WRONG_PORT, // an A answer sent from the same address, another port
  FAKE_WRONG_ADDR, // an A answer sent from another loopback address, port 53
  FAKE_RACE,       // a forged A (198.51.100.66) at once, the true one
                   // delay_ms later, as an on-path injector makes it
  FAKE_DUPLICATE,  // the A answer, twice
  FAKE_PRIVATE,    // one A record of a private address (10.0.0.1)
  FAKE_SERVFAIL_CNAME, // RCODE 2 with the question and one CNAME record,
                       // as a resolver that gave up on a chain sends
  FAKE_FLAKY,          // SERVFAIL to the first two asks of a name, then A
  FAKE_COLD,           // the first ask of a name answered delay_ms late, as a
                       // cache miss; the later ones at once
  FAKE_HIJACK,         // one A record to every name, those that cannot
                       // exist too: a resolver that redirects them
};

struct fake_datagram {
  std::vector<std::uint8_t> bytes; // exactly as received
  std::uint16_t id;
  std::string qname; // dotted, without the final dot; "" for the root
  std::uint16_t qtype;
  std::chrono::steady_clock::time_point at;
};

struct fake_ns;

// The Windows suites run under Wine, whose sockets cannot serve on one
// loopback address of many; there these calls drive servers in the native
// `fake_ns --control` program over TCP on 127.0.0.1 of the sandbox.
const int FAKE_CONTROL_PORT = 5300;

// Starts serving on ip:53 (a thread of its own); null when it cannot bind.
fake_ns *fake_ns_start(const char *ip, fake_behaviour default_behaviour);
// Behaviour for one question name (compared as received, dotted, no final
// dot); replaces an earlier rule for that name. delay_ms is for FAKE_DELAYED.
void fake_ns_rule(fake_ns *ns, const char *qname, fake_behaviour behaviour,
                  int delay_ms = 2500);
void fake_ns_default(fake_ns *ns, fake_behaviour behaviour,
                     int delay_ms = 2500);
// A copy of everything received so far, in arrival order.
std::vector<fake_datagram> fake_ns_received(fake_ns *ns);
// Waits until at least `count` datagrams have arrived; false after timeout_ms.
bool fake_ns_wait(fake_ns *ns, std::size_t count, int timeout_ms);
void fake_ns_forget(fake_ns *ns); // drops the record of received datagrams
void fake_ns_stop(fake_ns *ns);   // stops serving, joins, frees

// A plain UDP client for tests that talk to a fake directly.
struct fake_client;
fake_client *fake_client_open(void);
int fake_client_send(fake_client *c, const char *ip,
                     const std::vector<std::uint8_t> &bytes);
// One datagram within timeout_ms, with the sender's dotted address and port;
// -1 when none came.
int fake_client_recv(fake_client *c, std::vector<std::uint8_t> &bytes,
                     std::string &from_ip, int &from_port, int timeout_ms);
void fake_client_close(fake_client *c);

#endif

// Where a failure lies: a probe checked against the authoritative servers
// of its name, found by following the delegation from the root, apart from
// the nameserver under test. Each zone's delegation is followed once a
// run, and each name and type asked of its servers once, whatever number
// of nameservers probed it. Checks run on threads of their own, alongside
// the passes. The terminal program's.
#ifndef RUN_AUTHORITY_H
#define RUN_AUTHORITY_H

#include "net/auth_query.h"
#include "run/answers.h"
#include "run/root_hints.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// A checked probe's verdict; 0 when it was not checked.
enum {
  VERDICT_NONE = 0,
  VERDICT_RESOLVER,     // every server is fine: the nameserver is wrong
  VERDICT_PARTIAL,      // some are fine, some are not
  VERDICT_AUTHORITY,    // none is fine: the provider's servers fail
  VERDICT_CONFIRMED,    // they too say the name or type does not exist
  VERDICT_UNVERIFIABLE, // the delegation could not be followed
  VERDICT_NOT_CHECKED,  // over the --authority-max of its provider
  VERDICT_PENDING,      // asked for; the pass has not ended
};

struct auth_server {
  std::string name;    // canonical
  std::string address; // as text, the port only when not 53
  bool child_only;     // in the zone's own NS set, not in its parent's
  auth_reply reply;
};

// Where a CNAME in the servers' answer led, followed zone by zone.
enum {
  CHAIN_NONE = 0, // no chain, or one that ends in data within the zone
  CHAIN_DATA,     // to data in another zone
  CHAIN_NEGATIVE, // to a name (or type) that does not exist
  CHAIN_LOOP,     // back to a name of the chain
  CHAIN_BROKEN,   // to a name whose servers all fail, or too far
};

struct auth_check {
  std::string zone;   // the zone cut the servers serve; canonical
  std::string reason; // why the check is unverifiable; empty otherwise
  std::vector<auth_server> servers;
  std::vector<std::string> chain; // the CNAME targets followed, in order
  int chain_end = CHAIN_NONE;
  std::string chain_reason; // a loop's or a broken link's
  // The servers of the chain's last zone, when it left the name's zone.
  std::vector<auth_server> end_servers;
  std::chrono::steady_clock::time_point ended; // when the check ended
};

struct authority_settings {
  std::vector<hint_server> roots;
  int timeout_ms; // per attempt
  int attempts;
  double rate; // queries a second to any one address
  int threads;
};

struct authority;

authority *authority_start(const authority_settings *settings);
// Asks for a check of `name` (canonical or not) and `qtype`; the first ask
// of a name and type starts it, later ones share it.
void authority_ask(authority *a, const std::string &name, int qtype);
// Waits until a check ends, or `most_ms` have passed.
void authority_wait_a_while(authority *a, int most_ms);
// A check that has ended, or null.
const auth_check *authority_result(authority *a, const std::string &name,
                                   int qtype);
// Per address: queries sent and failures (not fine) seen.
struct auth_tally {
  std::string address;
  std::string name;
  std::string zone;
  int queries;
  int failures;
  int last_outcome; // AUTH_ of its last failure
};
std::vector<auth_tally> authority_tallies(authority *a);
// Those with failures, most first.
std::vector<auth_tally> authority_failing(authority *a);
void authority_end(authority *a);

// What the servers that answered said, all together, to compare a
// probe's answers with.
probe_answers authority_answers(const auth_check *check, int qtype);

// The verdict for a probe of `outcome` (PROBE_FAILED, PROBE_NEGATIVE or
// PROBE_OK) that `check` checked.
int authority_verdict(const auth_check *check, int outcome);
bool auth_fine(int outcome);

#endif

// A run on the probe engine: each nameserver in turn probes the bare name
// and "www." plus the name of every probed line; once its checks have
// ended too (while the next nameserver's probes run), its block goes to
// the log and its results to the front end, in order. The terminal
// program's run.
#ifndef RUN_RUN_PASSES_H
#define RUN_RUN_PASSES_H

#include "net/engine.h"
#include "net/ns_address.h"
#include "net/probe.h"
#include "net/target_run.h"
#include "run/answers.h"
#include "run/run_list.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <mutex>
#include <string>
#include <vector>

enum {
  // A name that has no ASCII form the DNS knows: never sent. The run's own
  // cause, numbered among the engine's (PROBE_ERROR_) in the gap they
  // leave for it.
  RUN_ERROR_IDNA = PROBE_ERROR_NETWORK + 1,
  // An answer whose addresses all lie where the nameserver sends names
  // that do not exist: no answer at all.
  RUN_ERROR_REDIRECTED = PROBE_ERROR_FORMAT + 1,
  // Replies to one query whose answers differ (a race: one is forged).
  RUN_ERROR_SUSPECT = PROBE_ERROR_FORMAT + 2,
};

// A reply to a probe's query, as a suspect probe keeps each.
struct kept_reply {
  std::int32_t us; // since the probe's first query
  probe_answers answers;
  int ip_ttl; // of its datagram; -1 where unknown
};

// What the nameserver did with names that cannot exist.
enum {
  NX_NONE,    // not asked (the classic rules)
  NX_CLEAN,   // every one was a negative answer
  NX_HIJACK,  // some were answered with addresses
  NX_UNKNOWN, // the probes themselves failed
};

struct nx_result {
  int verdict = NX_NONE;
  std::vector<std::string> names; // asked
  std::vector<std::string> addrs; // the redirect set, for NX_HIJACK
};

// One probe as a pass keeps it: twelve bytes, so that a list of a million
// lines costs 24 MB a nameserver.
struct stored_probe {
  std::int32_t reply_us; // from the first query to the deciding reply; -1
  std::int8_t outcome;   // PROBE_NONE until it ends (or when never probed)
  std::uint8_t attempts; // queries sent
  std::int8_t rcode;     // of the last reply that counted; -1 for none
  std::uint8_t error;    // PROBE_ERROR_, for a failed probe
  bool tcp_fallback;     // truncated over UDP, then asked over TCP
  std::uint8_t verdict;  // VERDICT_ of its check; VERDICT_NONE for none
  // VS_: an answered probe's answers against the authoritative servers'.
  std::uint8_t vs_authority = VS_NONE;
  // The round (from 0) whose outcome its check judges: its first failed
  // or negative one.
  std::uint8_t checked_round = 0;
};

// A probe in a later round: eight bytes, so that rounds cost little.
struct round_probe {
  std::int32_t reply_us = -1;
  std::int8_t outcome = PROBE_NONE;
  std::uint8_t attempts = 0;
  std::int8_t rcode = -1;
  std::uint8_t error = PROBE_ERROR_NONE;
};

// Where a pass keeps what is one probe's alone (its answers, its replies):
// 2 × its line, + 1 for the "www." name.
inline std::size_t probe_number(std::size_t line, bool www) {
  return 2 * line + (www ? 1 : 0);
}

struct line_probes {
  stored_probe bare;
  stored_probe www;
};

struct authority;

struct pass_result {
  std::string ns;                 // as the run names it
  double seconds;                 // from the pass's start to its end
  std::vector<line_probes> lines; // by list line
  int engine_error;     // the engine could not start: sock_error()'s code
  int send_error;       // the first query that could not be sent: its code
  int transport;        // NS_
  std::string address;  // where it was asked, with the port
  stream_stats stream;  // the connections: the pass's own or its fallback's
  int fallbacks;        // probes asked again over TCP
  answer_store answers; // of its answered probes, by 2 × line (+ 1: www)
  nx_result nx;
  // By probe as `answers`: every reply to a probe that had replies whose
  // answers differ, the deciding one first. Few: a map.
  std::map<std::size_t, std::vector<kept_reply>> races;
  // Probes answered with an address no public name has, where the
  // authoritative servers give public ones.
  std::set<std::size_t> bogons;
  // Rounds 2 to N, each by probe number as `answers`; `lines` is round 1.
  std::vector<std::vector<round_probe>> rounds;
};

// A list line's probe in round 1: its bare name's, or its "www." name's.
inline stored_probe &probe_at(pass_result *pass, std::size_t line, bool www) {
  return www ? pass->lines[line].www : pass->lines[line].bare;
}
inline const stored_probe &probe_at(const pass_result &pass, std::size_t line,
                                    bool www) {
  return www ? pass.lines[line].www : pass.lines[line].bare;
}

struct run_settings {
  std::vector<std::string> names;     // the nameservers as shown
  std::vector<ns_target> nameservers; // and how to reach them, in order
  const char *log_path;               // null for no log
  engine_settings engine;
  stream_options streams; // for TCP, TLS, HTTPS and QUIC nameservers
  bool tcp_fallback;      // a truncated UDP reply is asked again over TCP
  // The checks of the authoritative servers; null for none. Failed and
  // negative probes are checked, or every probe with `check_all`; at most
  // `check_max` of a provider's a pass.
  authority *checks;
  bool check_all;
  int check_max;
  // With each pass, names that cannot exist are asked too, and answers
  // that lead where they lead are judged redirected.
  bool nx_probe;
  // Every nameserver's pass at once, each on its own engine, so that they
  // all meet the same moments of the network; else one after another.
  bool side_by_side;
  // Every name asked this many times of each nameserver, a round after
  // another; the hold and the names that cannot exist are round 1's.
  int rounds = 1;
};

// What the front end hears: a pass's start (every pass's before any
// probe, side by side) on the run's thread, and its lines on the thread
// of its probes; its checks and its end on the reporting thread, one pass
// after another in the nameservers' order (on a stop, on the stopping
// thread: the passes that had ended).
struct run_events {
  void (*pass_started)(int index, int count, const char *ns, void *context);
  // Both probes of a list line of pass `index` have ended, in one round
  // (round 1's probes; a later round's are in the pass's `rounds`).
  void (*line_done)(int index, const line_probes *line, void *context);
  // The pass's probes have ended and `done` of its `total` checks have;
  // told as they move on, until every one has.
  void (*checking)(int index, int done, int total, void *context);
  // The pass is over and its log block written; the front end may keep it
  // (move from it). Called with the report lock held.
  void (*pass_ended)(int index, pass_result *pass, void *context);
  void *context;
};

struct reporter;

struct run_control {
  std::atomic<bool> stop{false};
  std::mutex report;           // held while a pass is reported
  reporter *reports = nullptr; // the run's, while it runs; under `report`
};

// The whole run; 0, or -1 when the log could not be opened (the passes
// still run). A stopped run reports the passes that had ended (its probes
// and its checks), in order, and no other.
int run_passes(const run_list *list, const run_settings *settings,
               const run_events *events, run_control *control);
// From any thread: reports the passes that have ended and wait behind one
// that has not; once this returns, no pass is being reported and none
// will be.
void stop_passes(run_control *control);

#endif

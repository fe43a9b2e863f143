// What the probe engine drives without asking which it is: a transport
// (UDP, or the stream pool with TCP, TLS, HTTPS or QUIC), which puts each
// attempt's query on the wire and hands back what came of it. The engine keeps
// the probes' life: slots, IDs, attempts and deadlines, the pace, late replies
// and the stop; the transport keeps its sockets, its connections and their
// failures.
#ifndef NET_TRANSPORT_H
#define NET_TRANSPORT_H

#include "net/engine.h"
#include "net/poller.h"
#include "net/probe.h"
#include "net/schedule.h"

#include <cstddef>
#include <cstdint>

enum {
  NO_SLOT = -1,
};

// A probe in flight, as the engine keeps it; transports read it.
struct probe_slot {
  bool busy;
  std::size_t index; // of the name in the job
  int tries;         // attempts begun
  // Moves on at each attempt and when one ends: what a transport keeps of
  // an attempt is stale once it differs.
  unsigned generation;
  std::uint16_t ids[ENGINE_MAX_ATTEMPTS]; // the last is the attempt's own
  int id_count;
  probe_clock::time_point first_sent;
  probe_clock::time_point attempt_begun; // of the attempt under way
  bool sent_any;
  unsigned char query[QUERY_BUFFER_SIZE]; // with the attempt's ID
  int query_length;
  probe_result result;
};

struct probe_engine;

// What a transport keeps of an attempt it holds (a queued query, a
// stream): the engine alone says whether it is still current.
struct attempt_ref {
  int slot;
  std::size_t probe; // the job's index: the slot may hold another later
  unsigned generation;
};

// How a reply is judged once its ID has found the probe.
enum {
  REPLY_BY_ID,       // the Windows program's wire: the ID alone
  REPLY_BY_QUESTION, // another question is not ours, and passed over
  REPLY_BY_STREAM,   // the stream says whose it is: another question is
                     // no answer (`format`)
};

class transport {
public:
  virtual ~transport() {}
  // Opens what the run needs, watching it on `p` with tags of the
  // transport's own; 0, or -1 when it cannot start (it keeps why).
  virtual int start(probe_engine *e, poller *p) = 0;
  // IDs are unique among the queries in flight on one channel (a socket,
  // or the whole run); a slot's attempts all go through one.
  virtual int channels() const {
    return 1;
  }
  virtual int channel_of(int slot) const {
    (void)slot;
    return 0;
  }
  // The slot's attempt has begun, with its ID in its query: sends it, or
  // queues it, and says what came of it (engine_sent, engine_send_failed,
  // engine_fail).
  virtual void send(int slot, probe_clock::time_point now) = 0;
  // The slot's attempt ran out of time: why, in the transport's words.
  virtual int timed_out(int slot, probe_clock::time_point now) {
    (void)slot;
    (void)now;
    return PROBE_ERROR_TIMEOUT;
  }
  // Before each wait: what is due of the transport's own, what to watch,
  // and the wait shortened to what it needs.
  virtual int before_wait(probe_clock::time_point now, int wait_ms) {
    (void)now;
    return wait_ms;
  }
  // The socket tagged `tag` has `events` (POLL_).
  virtual void ready(int tag, int events, probe_clock::time_point now) = 0;
  // The run is over: everything is closed.
  virtual void finish() = 0;
};

// What a transport tells the engine.
const probe_slot &engine_slot(const probe_engine *e, int slot);
// Probes in flight.
int engine_busy(const probe_engine *e);
// The slot whose query in flight on `channel` carries `id`, or NO_SLOT;
// or a number beyond the slots for a probe decided and still held, which
// engine_reply takes as it takes a slot.
int engine_owner(const probe_engine *e, int channel, std::uint16_t id);
// The one rule for what a transport holds of an attempt. A reply to any
// attempt of a probe still undecided counts, as a late reply over UDP
// does by its ID (engine_awaits_reply, engine_reply_to); only the attempt
// under way is sent, or ended by what befell its query (engine_current,
// engine_attempt_ended).
attempt_ref engine_attempt(const probe_engine *e, int slot);
bool engine_awaits_reply(const probe_engine *e, const attempt_ref &ref);
bool engine_current(const probe_engine *e, const attempt_ref &ref);
bool engine_reply_to(probe_engine *e, const attempt_ref &ref,
                     const unsigned char *reply, long length, int how);
void engine_attempt_ended(probe_engine *e, const attempt_ref &ref, int cause,
                          bool weak);
// The slot's query is on the wire; `again` when sent before on a
// connection since lost (not a new attempt).
void engine_sent(probe_engine *e, int slot, probe_clock::time_point now,
                 bool again);
// The query could not be sent: the attempt ends, and the next follows at
// once.
void engine_send_failed(probe_engine *e, int slot, int sys_error);
// A reply for the slot's probe: decides it, or ends its attempt. True when
// it answered the query; false when it was passed over, or (by stream)
// was no answer.
// `ip_ttl`: the TTL of the datagram it came in, where known.
bool engine_reply(probe_engine *e, int slot, const unsigned char *reply,
                  long length, int how, int ip_ttl = -1);
// The attempt ended with no reply that settles it, for `cause`; the next
// follows at once. A `weak` cause (a timeout, a lost connection) does not
// replace what an earlier reply said.
void engine_end_attempt(probe_engine *e, int slot, int cause, bool weak);
// The probe fails at once, for `cause` (weak as above).
void engine_fail(probe_engine *e, int slot, int cause, bool weak);

#endif

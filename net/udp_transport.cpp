// The UDP transport: a socket for every so many queries in flight, so
// that the IDs and source ports in use spread; a send that fails is the
// attempt's end.
#include "net/udp_transport.h"

#include "net/dns_message.h"
#include "net/transport.h"

#include <algorithm>
#include <vector>

namespace {

enum {
  QUERIES_PER_SOCKET = 128,
  MAX_SOCKETS = 64,
  READ_BATCH = 64,
};

class udp_transport : public transport {
public:
  udp_transport(const ns_address *ns, const engine_settings *settings)
      : ns_(ns), settings_(settings) {}

  int start(probe_engine *e, poller *p) override {
    e_ = e;
    const int concurrency = std::max(1, settings_->concurrency);
    const int count =
        std::min<int>(MAX_SOCKETS, 1 + (concurrency - 1) / QUERIES_PER_SOCKET);
    for (int i = 0; i < count; ++i) {
      sock_t sock = sock_udp_nonblocking(ns_->sa.ss_family);
      if (sock == -1 || poller_add(p, sock, i) != 0) {
        sys_error = sock_error();
        sock_close(sock);
        finish();
        return -1;
      }
      // Where replies are listened for after the deciding one, the TTLs
      // they came with tell a forgery's path apart.
      if (settings_->hold_ms > 0)
        sock_tell_ttl(sock, ns_->sa.ss_family);
      sockets_.push_back(sock);
    }
    return 0;
  }

  int channels() const override {
    return static_cast<int>(sockets_.size());
  }

  int channel_of(int slot) const override {
    return slot % static_cast<int>(sockets_.size());
  }

  void send(int slot, probe_clock::time_point now) override {
    const probe_slot &s = engine_slot(e_, slot);
    const long n =
        sock_send_to(sockets_[static_cast<std::size_t>(channel_of(slot))],
                     s.query, s.query_length,
                     reinterpret_cast<const sockaddr *>(&ns_->sa), ns_->length);
    if (n < 0)
      engine_send_failed(e_, slot, sock_error());
    else
      engine_sent(e_, slot, now, false);
  }

  void ready(int tag, int, probe_clock::time_point) override {
    unsigned char reply[REPLY_BUFFER_SIZE + 1];
    // Bounded, so that one busy socket cannot starve the timers.
    for (int i = 0; i < READ_BATCH; ++i) {
      sockaddr_storage from;
      int from_length = 0;
      int ip_ttl = -1;
      const long n = sock_recv_from(sockets_[static_cast<std::size_t>(tag)],
                                    reply, sizeof reply, &from, &from_length,
                                    settings_->hold_ms > 0 ? &ip_ttl : nullptr);
      if (n < 0)
        return; // nothing more now, or an error the next wait will show
      on_reply(tag, reply, n, &from, from_length, ip_ttl);
      // With nothing in flight nothing more can count: what else waits is
      // read after the next send, which saves a call per probe at one in
      // flight.
      if (engine_busy(e_) == 0)
        return;
    }
  }

  void finish() override {
    for (sock_t sock : sockets_)
      sock_close(sock);
    sockets_.clear();
  }

  int sys_error = 0;

private:
  void on_reply(int socket, const unsigned char *reply, long n,
                const sockaddr_storage *from, int from_length, int ip_ttl) {
    // Only the nameserver's address and port, an ID in flight on this
    // socket and the question asked make a reply; anything else is dropped.
    if (!is_ns_address(ns_, from, from_length))
      return;
    const long id = message_id(n, reply);
    if (id < 0)
      return;
    const int slot = engine_owner(e_, socket, static_cast<std::uint16_t>(id));
    if (slot == NO_SLOT)
      return;
    if (n <= REPLY_BUFFER_SIZE)
      engine_reply(e_, slot, reply, n,
                   settings_->classic ? REPLY_BY_ID : REPLY_BY_QUESTION,
                   ip_ttl);
    else if (settings_->classic)
      // A reply too long for the buffer is as good as none.
      engine_end_attempt(e_, slot, PROBE_ERROR_RCODE, false);
  }

  const ns_address *ns_;
  const engine_settings *settings_;
  probe_engine *e_ = nullptr;
  std::vector<sock_t> sockets_;
};

} // namespace

int udp_run(const ns_address *ns, const engine_settings *settings,
            const engine_job *job, int *sys_error) {
  udp_transport udp(ns, settings);
  const int r = probe_run(&udp, settings, job);
  *sys_error = r == 0 ? 0 : udp.sys_error != 0 ? udp.sys_error : sock_error();
  return r;
}

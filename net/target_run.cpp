// A run against a target over the transport that it names.
#include "net/target_run.h"

#include "net/https_transport.h"
#include "net/quic_transport.h"
#include "net/udp_transport.h"

#include <memory>

std::string unreadable_ca(const stream_options *options) {
  return std::string("cannot read the CA certificates") +
         (options->ca_file ? std::string(" of ") + options->ca_file
                           : std::string());
}

bool cut_short_by_size(const ns_target *target) {
  return target->transport == NS_UDP;
}

namespace {

std::unique_ptr<stream_adapter> adapter_for(int transport) {
  switch (transport) {
  case NS_QUIC:
    return std::unique_ptr<stream_adapter>(new quic_transport);
  case NS_HTTPS:
    return std::unique_ptr<stream_adapter>(new https_transport);
  case NS_TLS:
    return std::unique_ptr<stream_adapter>(new tls_transport);
  default:
    return std::unique_ptr<stream_adapter>(new tcp_transport);
  }
}

} // namespace

int target_run(const ns_target *target, const engine_settings *settings,
               const stream_options *options, const engine_job *job,
               stream_stats *stats) {
  stats->address = target->address;
  // A datagram has no connections: what they left (a TCP fallback's) stays.
  if (target->transport == NS_UDP)
    return udp_run(&target->address, settings, job, &stats->sys_error) == 0
               ? 0
               : PROBE_ERROR_NETWORK;
  *stats = stream_stats{};
  stats->address = target->address;
  // A truncated reply over a stream is one that settles nothing: there is
  // no larger transport to ask again over.
  engine_settings over_stream = *settings;
  over_stream.truncated_ends = false;
  // Nothing else can come on a stream's reply: no injector races it.
  over_stream.hold_ms = 0;
  const std::unique_ptr<stream_adapter> adapter =
      adapter_for(target->transport);
  stream_pool pool(adapter.get(), target, &over_stream, options, stats);
  if (probe_run(&pool, &over_stream, job) == 0)
    return 0;
  // The transport said what could not start (TLS's CA file); else it was
  // the poller, a resource of this host as a socket is.
  if (stats->reason.empty())
    stats->reason = sock_error_text(sock_error());
  return stats->failure != PROBE_ERROR_NONE ? stats->failure
                                            : PROBE_ERROR_NETWORK;
}

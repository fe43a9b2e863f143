// A run over a stream transport: the one that the target names.
#include "net/stream_run.h"

#include "net/https_transport.h"
#include "net/quic_transport.h"

namespace {

int run_over(transport *t, const engine_settings *settings,
             const engine_job *job, stream_stats *stats) {
  const int r = probe_run(t, settings, job);
  if (r != 0 && stats->reason.empty())
    stats->reason = sock_error_text(sock_error());
  return r;
}

} // namespace

int stream_run(const ns_target *target, const engine_settings *settings,
               const stream_options *options, const engine_job *job,
               stream_stats *stats) {
  *stats = stream_stats{};
  stats->address = target->address;
  // A truncated reply over a stream is one that settles nothing: there is
  // no larger transport to ask again over.
  engine_settings over_stream = *settings;
  over_stream.truncated_ends = false;
  // Nothing else can come on a stream's reply: no injector races it.
  over_stream.hold_ms = 0;
  if (target->transport == NS_QUIC) {
    quic_transport quic(target, &over_stream, options, stats);
    return run_over(&quic, &over_stream, job, stats);
  }
  if (target->transport == NS_HTTPS) {
    https_transport https(target, &over_stream, options, stats);
    return run_over(&https, &over_stream, job, stats);
  }
  if (target->transport == NS_TLS) {
    tls_transport tls(target, &over_stream, options, stats);
    return run_over(&tls, &over_stream, job, stats);
  }
  tcp_transport tcp(target, &over_stream, options, stats);
  return run_over(&tcp, &over_stream, job, stats);
}

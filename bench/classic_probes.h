// Probes one after another as a Windows program's worker makes them: the
// engine at one query in flight with the classic wire. The time of each,
// from the end of the one before it.
#ifndef BENCH_CLASSIC_PROBES_H
#define BENCH_CLASSIC_PROBES_H

#include "net/dns_message.h"
#include "net/engine.h"
#include "net/probe.h"

#include <chrono>
#include <vector>

struct classic_probes {
  const char *name;
  std::vector<double> us; // per probe
  int ok;
  std::chrono::steady_clock::time_point last;
};

inline const char *classic_probe_name(std::size_t, void *context) {
  return static_cast<classic_probes *>(context)->name;
}

inline void classic_probe_done(std::size_t, const probe_result *r,
                               void *context) {
  classic_probes *p = static_cast<classic_probes *>(context);
  const auto now = std::chrono::steady_clock::now();
  p->us.push_back(
      std::chrono::duration<double, std::micro>(now - p->last).count());
  p->last = now;
  p->ok += r->outcome == PROBE_OK;
}

// `count` probes of `name` at `ns_text`; the number answered, or -1 when
// the engine could not start.
inline int run_classic_probes(const char *ns_text, const char *name, int count,
                              std::vector<double> *us) {
  static const engine_settings classic{1,   REPLY_TIMEOUT_MS, PROBE_ATTEMPTS,
                                       0.0, DNS_TYPE_A,       true, false};
  ns_address ns;
  if (parse_dotted_ns(ns_text, &ns) != 0)
    return -1;
  classic_probes p{name, {}, 0, std::chrono::steady_clock::now()};
  p.us.reserve(static_cast<std::size_t>(count));
  engine_job job{static_cast<std::size_t>(count), classic_probe_name,
                 classic_probe_done, &p, nullptr};
  int error = 0;
  if (engine_run(&ns, &classic, &job, &error) != 0)
    return -1;
  if (us)
    us->insert(us->end(), p.us.begin(), p.us.end());
  return p.ok;
}

#endif

// The probes, on the engine at the Windows program's settings.
#include "tests/support/classic_probes.h"

#include "net/probe.h"
#include "net/udp_transport.h"
#include "run/slice_worker.h"

#include <chrono>
#include <thread>

namespace {

typedef std::chrono::steady_clock probe_time;

struct sequence {
  const std::vector<std::string> *names;
  int pause_ms;
  std::vector<classic_probe> probes;
  probe_time::time_point last;
};

const char *name_of(std::size_t i, void *context) {
  sequence *s = static_cast<sequence *>(context);
  if (i > 0 && s->pause_ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(s->pause_ms));
  return (*s->names)[i].c_str();
}

void done(std::size_t i, const probe_result *r, void *context) {
  sequence *s = static_cast<sequence *>(context);
  const probe_time::time_point now = probe_time::now();
  s->probes[i] = classic_probe{
      *r, std::chrono::duration<double, std::micro>(now - s->last).count()};
  s->last = now;
}

} // namespace

std::vector<classic_probe>
run_classic_probes(const char *ns_text, const std::vector<std::string> &names,
                   int pause_ms) {
  ns_address ns;
  if (parse_dotted_ns(ns_text, &ns) != 0)
    return {};
  sequence s{&names, pause_ms, std::vector<classic_probe>(names.size()),
             probe_time::now()};
  engine_job job{names.size(), name_of, done, &s, nullptr};
  int error = 0;
  if (udp_run(&ns, &CLASSIC_ENGINE, &job, &error) != 0)
    return {};
  return s.probes;
}

int count_ok(const std::vector<classic_probe> &probes) {
  int ok = 0;
  for (const classic_probe &p : probes)
    ok += p.result.outcome == PROBE_OK;
  return ok;
}

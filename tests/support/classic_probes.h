// Names probed one after another as a Windows program's worker probes them:
// the engine at one query in flight with the classic wire, on one socket.
#ifndef TESTS_SUPPORT_CLASSIC_PROBES_H
#define TESTS_SUPPORT_CLASSIC_PROBES_H

#include "net/engine.h"

#include <string>
#include <vector>

struct classic_probe {
  probe_result result;
  double us; // from the end of the probe before it (or the start) to its end
};

// `names` in turn at the nameserver `ns_text`, pausing `pause_ms` before
// each after the first; their probes in the order of `names`. Empty when
// the engine could not start.
std::vector<classic_probe>
run_classic_probes(const char *ns_text, const std::vector<std::string> &names,
                   int pause_ms = 0);
// The number answered (PROBE_OK).
int count_ok(const std::vector<classic_probe> &probes);

#endif

// Names that cannot exist, asked of a nameserver with its pass: whether
// it answers them (and where it sends them), and which of its answers only
// lead there.
#ifndef RUN_NX_PROBE_H
#define RUN_NX_PROBE_H

#include "run/run_passes.h"

#include <string>
#include <vector>

// Names that cannot exist (RFC 6761's invalid. among them), a fresh
// random label each pass so that no cache holds them.
std::vector<std::string> nx_probe_names(void);
// What the names got: each one's outcome and answers, asked for `qtype`.
nx_result judge_nx_names(const std::vector<std::string> &names,
                         const std::vector<int> &outcomes,
                         const std::vector<probe_answers> &answers, int qtype);
// Answers that all lead where the names that cannot exist were sent.
bool nx_redirected(const nx_result &nx, const probe_answers &answers);

#endif

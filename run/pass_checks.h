// A pass's checks with the authoritative servers: which probes are asked
// (while each provider's share lasts), waiting for them, and their
// verdicts once they have ended.
#ifndef RUN_PASS_CHECKS_H
#define RUN_PASS_CHECKS_H

#include "run/pass_job.h"

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

// The probe has ended: asked of the servers when the checks want it.
void ask_check(pass_job *job, std::size_t line, bool www, stored_probe *probe);
// The engine's word that an attempt ended undecided (engine_job::retrying):
// the probe's check starts now.
void check_early(std::size_t at, void *context);
// The names whose checks the pass waits for.
std::vector<std::string> pending_checks(const pass_job *job,
                                        const pass_result *pass);
// How many of them have ended, counted again from *first on.
int checks_ended(const run_settings *settings,
                 const std::vector<std::string> &names, std::size_t *first);
// Waits for them, telling the front end as they end; false on a stop.
bool await_checks(const pass_job *job, const std::vector<std::string> &names,
                  int index, const std::atomic<bool> *stop);
// Their verdicts, into the pass; when the last of them ended.
std::chrono::steady_clock::time_point take_verdicts(const pass_job *job,
                                                    pass_result *pass);

#endif

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

void ask_check(pass_job *job, std::size_t line, bool www, stored_probe *probe);
// The engine's word that an attempt ended undecided (engine_job::retrying).
void check_early(std::size_t at, void *context);
std::vector<std::string> pending_checks(const pass_job *job,
                                        const pass_result *pass);
int checks_ended(const run_settings *settings,
                 const std::vector<std::string> &names, std::size_t *first);
bool await_checks(const pass_job *job, const std::vector<std::string> &names,
                  int index, const std::atomic<bool> *stop);
std::chrono::steady_clock::time_point take_verdicts(const pass_job *job,
                                                    pass_result *pass);

#endif

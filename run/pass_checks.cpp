#include "run/pass_checks.h"

#include "run/authority.h"

#include <algorithm>

namespace {

enum {
  // While a pass's checks run, how often at the least the front end hears.
  CHECK_TELL_MS = 200,
};

// An answered probe that was checked: how its answers stand against the
// authoritative servers', and whether they are bogons where those are
// not (then it is suspect).
void compare_with_authority(const pass_job *job, pass_result *pass,
                            const auth_check *check, const probe_answers &ours,
                            std::size_t number, stored_probe *probe) {
  const probe_answers theirs =
      authority_answers(check, job->settings->engine.qtype);
  probe->vs_authority = static_cast<std::uint8_t>(
      check->reason.empty() ? compare_answers(ours, theirs) : VS_UNVERIFIABLE);
  bool ours_bogon = false;
  for (const std::string &a : ours.answers)
    ours_bogon = ours_bogon || is_bogon(a);
  bool theirs_public = !theirs.answers.empty();
  for (const std::string &a : theirs.answers)
    theirs_public = theirs_public && !is_bogon(a);
  if (ours_bogon && theirs_public) {
    pass->bogons.insert(number);
    probe->outcome = PROBE_FAILED;
    probe->error = RUN_ERROR_SUSPECT;
  }
}

} // namespace

// A probe that ended as the checks want is asked of the authoritative
// servers, while its provider's share lasts.
void ask_check(pass_job *job, std::size_t line, bool www, stored_probe *probe) {
  const run_settings *settings = job->settings;
  const bool wanted = settings->check_all ? probe->outcome != PROBE_NONE
                                          : probe_failed(probe->outcome);
  if (!settings->checks || !wanted || probe->error == PROBE_ERROR_UNSENDABLE ||
      probe->error == RUN_ERROR_IDNA)
    return;
  const std::size_t row = static_cast<std::size_t>(job->list->lines[line].row);
  if (job->checked[row] >= settings->check_max) {
    probe->verdict = VERDICT_NOT_CHECKED;
    return;
  }
  ++job->checked[row];
  probe->verdict = VERDICT_PENDING;
  authority_ask(settings->checks, probe_name(job, line, www),
                settings->engine.qtype);
}

// A probe whose attempt went unanswered (or was answered with an error)
// is likely to fail: its check starts now, beside its later attempts,
// while its provider's share lasts. Its verdict is still asked for when it
// ends; the check is shared by name and type.
void check_early(std::size_t at, void *context) {
  pass_job *job = static_cast<pass_job *>(context);
  const run_settings *settings = job->settings;
  const engine_name n = name_at(job, at);
  if (!settings->checks || job->fallback || !n.line_probe)
    return;
  const std::size_t row =
      static_cast<std::size_t>(job->list->lines[n.line].row);
  if (job->checked[row] < settings->check_max)
    authority_ask(settings->checks, probe_name(job, n.line, n.www),
                  settings->engine.qtype);
}

// The names of the pass's probes whose checks it waits for.
std::vector<std::string> pending_checks(const pass_job *job,
                                        const pass_result *pass) {
  std::vector<std::string> names;
  for (std::size_t line : *job->probed) {
    for (bool www : {false, true}) {
      if (probe_at(*pass, line, www).verdict == VERDICT_PENDING)
        names.push_back(probe_name(job, line, www));
    }
  }
  return names;
}

// How many of those checks have ended. Checks end in any order: the
// count from *first on is made again, the ones before it have ended.
int checks_ended(const run_settings *settings,
                 const std::vector<std::string> &names, std::size_t *first) {
  while (
      *first < names.size() &&
      authority_result(settings->checks, names[*first], settings->engine.qtype))
    ++*first;
  int done = static_cast<int>(*first);
  for (std::size_t i = *first + 1; i < names.size(); ++i)
    done += authority_result(settings->checks, names[i],
                             settings->engine.qtype) != nullptr;
  return done;
}

// The pass's probes are over: its checks end, told as they move on. False
// when the run was stopped meanwhile.
bool await_checks(const pass_job *job, const std::vector<std::string> &names,
                  int index, const std::atomic<bool> *stop) {
  const run_settings *settings = job->settings;
  const int total = static_cast<int>(names.size());
  int shown = -1;
  for (std::size_t first = 0;;) {
    const int done = checks_ended(settings, names, &first);
    if (done != shown && job->events->checking)
      job->events->checking(index, done, total, job->events->context);
    shown = done;
    if (done == total)
      return true;
    if (stop->load())
      return false;
    authority_wait_a_while(settings->checks, CHECK_TELL_MS);
  }
}

// The checks of the pass have ended: their verdicts. When the last of
// them ended.
std::chrono::steady_clock::time_point take_verdicts(const pass_job *job,
                                                    pass_result *pass) {
  const run_settings *settings = job->settings;
  std::chrono::steady_clock::time_point last{};
  for (std::size_t line : *job->probed) {
    for (bool www : {false, true}) {
      stored_probe &probe = probe_at(pass, line, www);
      if (probe.verdict != VERDICT_PENDING)
        continue;
      const auth_check *check = authority_result(
          settings->checks, probe_name(job, line, www), settings->engine.qtype);
      const int outcome =
          probe.checked_round == 0
              ? probe.outcome
              : round_at(pass, probe.checked_round, line, www).outcome;
      probe.verdict =
          static_cast<std::uint8_t>(authority_verdict(check, outcome));
      if (check)
        last = std::max(last, check->ended);
      probe_answers ours;
      const std::size_t number = probe_number(line, www);
      if (check && probe.outcome == PROBE_OK &&
          pass->answers.get(number, &ours))
        compare_with_authority(job, pass, check, ours, number, &probe);
      // A chain that leads nowhere, as the servers' does too.
      else if (check && probe.outcome == PROBE_NEGATIVE &&
               pass->answers.get(number, &ours))
        probe.vs_authority = static_cast<std::uint8_t>(
            check->chain_end == CHAIN_NEGATIVE ? VS_SAME : VS_DIFFERS);
    }
  }
  return last;
}

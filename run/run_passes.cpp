// Each pass runs the engine over the names that cannot exist, then 2 × the
// probed lines: line i's bare name, then its "www." name (name_at).
#include "run/run_passes.h"

#include "net/dns_message.h"
#include "net/dns_reply.h"
#include "net/probe.h"
#include "run/authority.h"
#include "run/log_block.h"
#include "run/nx_probe.h"
#include "run/pass_checks.h"
#include "run/pass_job.h"
#include "run/pass_reporter.h"
#include "run/races.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

const char *name_of(std::size_t at, void *context) {
  pass_job *job = static_cast<pass_job *>(context);
  const engine_name n = name_at(job, at);
  if (!n.line_probe)
    return job->nx_names[n.whole].c_str();
  if (job->list->lines[n.line].domain.empty())
    return nullptr; // nothing to ask: unsendable
  job->name = probe_name(job, n.line, n.www);
  return job->name.c_str();
}

// The pass's probes are over: which answers only lead where the names that
// cannot exist were sent.
void judge_nx(pass_job *job) {
  nx_result &nx = job->pass->nx;
  nx = judge_nx_names(job->nx_names, job->nx_outcomes, job->nx_answers,
                      job->settings->engine.qtype);
  if (nx.verdict != NX_HIJACK)
    return;
  for (std::size_t line : *job->probed) {
    for (bool www : {false, true}) {
      stored_probe &probe = probe_at(job->pass, line, www);
      probe_answers answers;
      if (probe.outcome != PROBE_OK ||
          !job->pass->answers.get(probe_number(line, www), &answers) ||
          !nx_redirected(nx, answers))
        continue;
      probe.outcome = PROBE_FAILED;
      probe.error = RUN_ERROR_REDIRECTED;
      ask_check(job, line, www, &probe);
    }
  }
}

// A further reply to a probe already decided: a race, if its answers
// differ.
void take_echo(std::size_t at, const probe_echo *e, void *context) {
  pass_job *job = static_cast<pass_job *>(context);
  const engine_name n = name_at(job, at);
  const int kind = classify_reply(e->length, e->reply);
  probe_answers echo;
  if (n.line_probe && (kind == REPLY_ANSWERED || kind == REPLY_NEGATIVE) &&
      read_answers(e->reply, e->length, job->settings->engine.qtype, &echo))
    note_echo(job->pass, probe_number(n.line, n.www), echo, e);
}

// A truncated reply is decided by the TCP fallback instead; its datagrams
// count all the same. True when the probe waits for it.
template <typename P>
bool wait_for_fallback(pass_job *job, std::size_t whole, const probe_result *r,
                       P *probe) {
  if (!job->fallback_wanted || job->fallback ||
      r->error != PROBE_ERROR_TRUNCATED)
    return false;
  probe->attempts = static_cast<std::uint8_t>(r->attempts);
  job->truncated.push_back(whole);
  return true;
}

// What the engine found, into round 1's record or a later round's; the
// datagrams sent before a fallback count too.
template <typename P> void take_result(const probe_result *r, P *probe) {
  probe->reply_us = r->reply_us;
  probe->outcome = static_cast<std::int8_t>(r->outcome);
  probe->attempts = static_cast<std::uint8_t>(probe->attempts + r->attempts);
  probe->rcode = static_cast<std::int8_t>(r->rcode);
  probe->error = static_cast<std::uint8_t>(r->error);
}

template <typename P> void fail_probe(int cause, P *probe) {
  probe->outcome = PROBE_FAILED;
  probe->error = static_cast<std::uint8_t>(cause);
}

// A probe of a later round: its eight bytes, and its check when this is
// its first round that failed or was negative.
void later_round_done(pass_job *job, std::size_t whole, std::size_t line,
                      bool www, const probe_result *r) {
  pass_result *pass = job->pass;
  round_probe &probe = round_at(pass, job->round, line, www);
  if (wait_for_fallback(job, whole, r, &probe))
    return;
  take_result(r, &probe);
  // Where the first round found the nameserver redirecting, so it is in
  // every round.
  probe_answers answers;
  if (pass->nx.verdict == NX_HIJACK && r->outcome == PROBE_OK && r->reply &&
      read_answers(r->reply, r->reply_length, job->settings->engine.qtype,
                   &answers) &&
      nx_redirected(pass->nx, answers)) {
    probe.outcome = PROBE_FAILED;
    probe.error = RUN_ERROR_REDIRECTED;
  }
  stored_probe &first = probe_at(pass, line, www);
  if (first.verdict == VERDICT_NONE && probe_failed(probe.outcome)) {
    // Asked as this round's outcome; the verdict is kept in round 1's
    // record.
    stored_probe judged = first;
    judged.outcome = probe.outcome;
    judged.error = probe.error;
    ask_check(job, line, www, &judged);
    first.verdict = judged.verdict;
    first.checked_round = static_cast<std::uint8_t>(job->round);
  }
  const round_probe &bare = round_at(pass, job->round, line, false);
  const round_probe &other = round_at(pass, job->round, line, true);
  if (bare.outcome != PROBE_NONE && other.outcome != PROBE_NONE &&
      job->events->line_done) {
    line_probes shown = pass->lines[line];
    shown.bare.outcome = bare.outcome;
    shown.www.outcome = other.outcome;
    job->events->line_done(job->index, &shown, job->events->context);
  }
}

void probe_done(std::size_t at, const probe_result *r, void *context) {
  pass_job *job = static_cast<pass_job *>(context);
  const engine_name n = name_at(job, at);
  const std::size_t whole = n.whole;
  const std::size_t line_index = n.line;
  const bool www = n.www;
  if (!n.line_probe) {
    // A name that does not exist, however the reply is worded.
    job->nx_outcomes[whole] =
        r->rcode == DNS_RCODE_NXDOMAIN ? PROBE_NEGATIVE : r->outcome;
    if (r->outcome == PROBE_OK && r->reply)
      read_answers(r->reply, r->reply_length, job->settings->engine.qtype,
                   &job->nx_answers[whole]);
    return;
  }
  if (job->round > 0) {
    later_round_done(job, whole, line_index, www, r);
    return;
  }
  line_probes &line = job->pass->lines[line_index];
  stored_probe &probe = probe_at(job->pass, line_index, www);
  if (wait_for_fallback(job, whole, r, &probe))
    return;
  // An answer is kept, and so is the chain of a name that leads nowhere.
  probe_answers answers;
  if (r->reply && r->outcome != PROBE_FAILED &&
      read_answers(r->reply, r->reply_length, job->settings->engine.qtype,
                   &answers) &&
      (r->outcome == PROBE_OK || !answers.cname.empty()))
    job->pass->answers.put(probe_number(line_index, www), answers);
  take_result(r, &probe);
  probe.tcp_fallback = job->fallback;
  if (r->error == PROBE_ERROR_NETWORK && job->pass->send_error == 0)
    job->pass->send_error = r->sys_error;
  ask_check(job, line_index, www, &probe);
  if (line.bare.outcome != PROBE_NONE && line.www.outcome != PROBE_NONE &&
      job->events->line_done)
    job->events->line_done(job->index, &line, job->events->context);
}

// A pass's result before its probes: nothing decided yet, and the names
// that have no ASCII form already failed.
std::unique_ptr<pass_result>
fresh_pass(const run_list *list, const char *ns, int settings_rounds,
           const std::vector<std::size_t> &unconvertible) {
  std::unique_ptr<pass_result> pass(new pass_result);
  pass->ns = ns;
  pass->engine_error = 0;
  pass->send_error = 0;
  pass->fallbacks = 0;
  pass->stream = stream_stats{};
  const stored_probe none{-1,    PROBE_NONE,  0, -1, PROBE_ERROR_NONE,
                          false, VERDICT_NONE};
  pass->lines.assign(list->lines.size(), line_probes{none, none});
  pass->answers.resize(2 * list->lines.size());
  pass->nx = nx_result{NX_NONE, {}, {}};
  pass->rounds.assign(
      static_cast<std::size_t>(std::max(0, settings_rounds - 1)),
      std::vector<round_probe>(2 * list->lines.size()));
  const stored_probe idna{-1,    PROBE_FAILED, 0, -1, RUN_ERROR_IDNA,
                          false, VERDICT_NONE};
  const round_probe idna_again{-1, PROBE_FAILED, 0, -1, RUN_ERROR_IDNA};
  for (std::size_t i : unconvertible) {
    pass->lines[i] = line_probes{idna, idna};
    for (std::vector<round_probe> &round : pass->rounds)
      round[probe_number(i, false)] = round[probe_number(i, true)] = idna_again;
  }
  return pass;
}

// One round of a pass's probes over the target's transport, then over
// TCP those whose reply was cut short. PROBE_ERROR_NONE, or the cause
// when none could be sent.
int probe_round(pass_job *job, const ns_target &target, run_control *control) {
  const run_settings *settings = job->settings;
  pass_result &pass = *job->pass;
  job->truncated.clear();
  job->fallback = false;
  engine_settings engine = settings->engine;
  engine.truncated_ends = job->fallback_wanted;
  // The hold, and the early checks, are the first round's.
  const bool first = job->round == 0;
  if (!first)
    engine.hold_ms = 0;
  engine_job work{job->nx_names.size() + 2 * job->probed->size(),
                  name_of,
                  probe_done,
                  job,
                  &control->stop,
                  first ? take_echo : nullptr,
                  first ? check_early : nullptr};
  const int cause =
      target_run(&target, &engine, &settings->streams, &work, &pass.stream);
  pass.engine_error = pass.stream.sys_error;
  job->used = pass.stream.address;
  if (!job->truncated.empty() && !control->stop.load()) {
    // As a stub resolver does: what did not fit a datagram is asked over
    // TCP of the same nameserver.
    job->fallback = true;
    pass.fallbacks += static_cast<int>(job->truncated.size());
    engine_job again{job->truncated.size(), name_of, probe_done, job,
                     &control->stop};
    engine.concurrency = std::min<int>(engine.concurrency,
                                       static_cast<int>(job->truncated.size()));
    ns_target tcp = target;
    tcp.transport = NS_TCP;
    target_run(&tcp, &engine, &settings->streams, &again, &pass.stream);
  }
  return cause;
}

// What failed as a whole: every probe of a round that could not be sent.
void fail_round(pass_job *job, int cause) {
  pass_result &pass = *job->pass;
  for (std::size_t i : *job->probed) {
    for (bool www : {false, true}) {
      if (job->round == 0)
        fail_probe(cause, &probe_at(&pass, i, www));
      else
        fail_probe(cause, &round_at(&pass, job->round, i, www));
    }
  }
}

// The probes of one pass, round after round, over the target's transport,
// and what is judged of them once the first round has ended.
void probe_pass(pass_job *job, const ns_target &target, run_control *control) {
  const run_settings *settings = job->settings;
  pass_result &pass = *job->pass;
  pass.transport = target.transport;
  job->checked.assign(job->list->providers.size(), 0);
  job->fallback_wanted = settings->tcp_fallback && cut_short_by_size(&target);
  for (int round = 0; round < settings->rounds && !control->stop.load();
       ++round) {
    job->round = round;
    // The names that cannot exist are asked in the first round only.
    job->nx_names.clear();
    if (settings->nx_probe && round == 0) {
      job->nx_names = nx_probe_names();
      job->nx_answers.assign(job->nx_names.size(), probe_answers{});
      job->nx_outcomes.assign(job->nx_names.size(), PROBE_NONE);
    }
    // What could not even start fails every probe, as the transport says.
    const int cause = probe_round(job, target, control);
    if (cause != PROBE_ERROR_NONE)
      fail_round(job, cause);
    if (round == 0 && !control->stop.load()) {
      for (std::size_t number : judge_races(job->pass))
        ask_check(job, number / 2, number % 2 != 0,
                  &probe_at(job->pass, number / 2, number % 2 != 0));
      if (settings->nx_probe)
        judge_nx(job);
    }
  }
  // A name's connections may have gone to another of its addresses.
  char address[NS_TEXT_SIZE];
  format_ns_address(&job->used, -1, address, sizeof address);
  pass.address = address;
}

// One pass from its start to its hand-over: its probes, then what is
// judged of them, and the checks it is to wait for.
void run_pass(pass_job *job, reporter *reports, run_control *control,
              ended_pass ended) {
  const std::size_t at = static_cast<std::size_t>(job->index);
  probe_pass(job, job->settings->nameservers[at], control);
  if (control->stop.load())
    return;
  ended.probed = std::chrono::steady_clock::now();
  ended.checks = pending_checks(job, ended.pass.get());
  hand_over(reports, job->index, std::move(ended));
}

} // namespace

int run_passes(const run_list *list, const run_settings *settings,
               const run_events *events, run_control *control) {
  {
    // A stop ends the run it came during, not the next one.
    std::lock_guard<std::mutex> hold(control->report);
    control->stop.store(false);
  }
  // Binary, so that the file holds exactly the bytes of the formats.
  std::FILE *log =
      settings->log_path ? std::fopen(settings->log_path, "wb") : nullptr;
  if (log) {
    std::fprintf(log, "%s\r\n\r\n", LOG_HEADER);
    std::fflush(log);
  }
  pass_job shared;
  shared.list = list;
  shared.events = events;
  shared.settings = settings;
  // Names without an ASCII form are decided before any pass: never sent.
  std::vector<std::size_t> unconvertible;
  std::vector<std::size_t> probed;
  for (std::size_t i = 0; i < list->lines.size(); ++i) {
    if (list->lines[i].row == NO_ROW)
      continue;
    if (list->lines[i].unconvertible)
      unconvertible.push_back(i);
    else
      probed.push_back(i);
  }
  shared.probed = &probed;
  reporter reports;
  reports.job = &shared;
  reports.log = log;
  reports.control = control;
  const int count = static_cast<int>(settings->nameservers.size());
  // A single pass has no next one to overlap: it is reported on this
  // thread once it has ended, and builds its figures and files where its
  // probes' memory was freed, not in a thread's arena of its own.
  if (count > 1)
    start_reports(&reports);
  {
    std::lock_guard<std::mutex> hold(control->report);
    control->reports = &reports;
  }

  // Each pass's own state; side by side, each on a thread of its own,
  // every one begun before any probes.
  std::vector<pass_job> jobs(static_cast<std::size_t>(count), shared);
  std::vector<ended_pass> begun(static_cast<std::size_t>(count));
  auto begin = [&](int p) {
    pass_job &job = jobs[static_cast<std::size_t>(p)];
    ended_pass &ended = begun[static_cast<std::size_t>(p)];
    job.index = p;
    ended.pass =
        fresh_pass(list, settings->names[static_cast<std::size_t>(p)].c_str(),
                   settings->rounds, unconvertible);
    ended.start = std::chrono::steady_clock::now();
    job.pass = ended.pass.get();
    events->pass_started(p, count, job.pass->ns.c_str(), events->context);
    for (std::size_t i : unconvertible) {
      if (events->line_done)
        events->line_done(p, &job.pass->lines[i], events->context);
    }
  };
  // One nameserver has none beside it: its pass runs here, and its memory
  // comes from this thread's arena, not one more.
  if (settings->side_by_side && count > 1) {
    for (int p = 0; p < count; ++p)
      begin(p);
    std::vector<std::thread> side;
    for (std::size_t at = 0; at < jobs.size(); ++at)
      side.emplace_back(run_pass, &jobs[at], &reports, control,
                        std::move(begun[at]));
    for (std::thread &t : side)
      t.join();
  } else {
    for (int p = 0; p < count && !control->stop.load(); ++p) {
      begin(p);
      const std::size_t at = static_cast<std::size_t>(p);
      run_pass(&jobs[at], &reports, control, std::move(begun[at]));
    }
  }
  end_reports(&reports);
  {
    std::lock_guard<std::mutex> hold(control->report);
    control->reports = nullptr;
  }
  if (log)
    std::fclose(log);
  return settings->log_path && !log ? -1 : 0;
}

void stop_passes(run_control *control) {
  std::lock_guard<std::mutex> hold(control->report);
  if (control->reports)
    report_ended(control->reports);
  control->stop.store(true);
}

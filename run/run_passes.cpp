// Each pass runs the engine over 2 × the probed lines: name 2i is line i's
// bare name, 2i + 1 its "www." name.
#include "run/run_passes.h"

#include "net/dns_message.h"
#include "net/dns_reply.h"
#include "net/probe.h"
#include "run/authority.h"
#include "run/log_block.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <thread>

namespace {

enum {
  // Two random labels, each asked under com., as www. under com., under
  // cn. and under invalid.
  NX_LABELS = 2,
  NX_LABEL_SIZE = 16,
  // While a pass's checks run, how often at the least the front end hears.
  CHECK_TELL_MS = 200,
};

// A pass's state; every pass's starts as a copy of one made for the run.
struct pass_job {
  int index = 0; // the pass's
  int round = 0; // from 0
  const run_list *list = nullptr;
  // List lines with a row: one list for every pass, never copied.
  const std::vector<std::size_t> *probed = nullptr;
  pass_result *pass = nullptr;
  std::string name; // the last name handed out; the engine copies it
  const run_events *events = nullptr;
  // The TCP fallback's probes, by engine index as above.
  std::vector<std::size_t> truncated;
  bool fallback_wanted = false; // truncated replies are asked again over TCP
  ns_address used{};            // where the round's queries went
  bool fallback = false;        // the engine runs over `truncated`
  const run_settings *settings = nullptr;
  std::vector<int> checked; // probes asked for a check, by provider row
  // Engine indices from 0 are the names that cannot exist, then the lines'.
  std::vector<std::string> nx_names;
  std::vector<probe_answers> nx_answers; // by NX name, of an answered one
  std::vector<int> nx_outcomes;
};

std::size_t probe_of(const pass_job *job, std::size_t index) {
  return job->fallback ? job->truncated[index] : index;
}

// A list line's probe: its bare name, or its "www." name.
std::string probe_name(const pass_job *job, std::size_t line, bool www) {
  const std::string &domain = job->list->lines[line].domain;
  return www ? "www." + domain : domain;
}

// The list line's probe that the engine's `whole` index names; false for
// a name that cannot exist (those come first).
bool line_probe_of(const pass_job *job, std::size_t whole, std::size_t *line,
                   bool *www) {
  if (whole < job->nx_names.size())
    return false;
  const std::size_t index = whole - job->nx_names.size();
  *line = (*job->probed)[index / 2];
  *www = index % 2 != 0;
  return true;
}

// A later round's record of a list line's probe.
round_probe &round_at(pass_result *pass, int round, std::size_t line,
                      bool www) {
  return pass
      ->rounds[static_cast<std::size_t>(round - 1)][probe_number(line, www)];
}

const char *name_of(std::size_t at, void *context) {
  pass_job *job = static_cast<pass_job *>(context);
  const std::size_t whole = probe_of(job, at);
  std::size_t line;
  bool www;
  if (!line_probe_of(job, whole, &line, &www))
    return job->nx_names[whole].c_str();
  if (job->list->lines[line].domain.empty())
    return nullptr; // nothing to ask: unsendable
  job->name = probe_name(job, line, www);
  return job->name.c_str();
}

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
  std::size_t line;
  bool www;
  const run_settings *settings = job->settings;
  if (!settings->checks || job->fallback ||
      !line_probe_of(job, at, &line, &www))
    return;
  const std::size_t row = static_cast<std::size_t>(job->list->lines[line].row);
  if (job->checked[row] < settings->check_max)
    authority_ask(settings->checks, probe_name(job, line, www),
                  settings->engine.qtype);
}

// Names that cannot exist (RFC 6761's invalid. among them), a fresh
// random label each pass so that no cache holds them.
void make_nx_names(pass_job *job) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  job->nx_names.clear();
  for (int k = 0; k < NX_LABELS; ++k) {
    std::string label;
    for (int i = 0; i < NX_LABEL_SIZE; ++i)
      label += letters[random() % (sizeof letters - 1)];
    for (const char *suffix : {".com.", ".cn.", ".invalid."})
      job->nx_names.push_back(label + suffix);
    job->nx_names.insert(job->nx_names.end() - 2, "www." + label + ".com.");
  }
  job->nx_answers.assign(job->nx_names.size(), probe_answers{});
  job->nx_outcomes.assign(job->nx_names.size(), PROBE_NONE);
}

// Answers that all lead where the names that cannot exist were sent.
bool redirected(const nx_result &nx, const probe_answers &answers) {
  if (nx.verdict != NX_HIJACK || answers.answers.empty())
    return false;
  for (const std::string &answer : answers.answers) {
    if (std::find(nx.addrs.begin(), nx.addrs.end(), answer) == nx.addrs.end())
      return false;
  }
  return true;
}

// The pass's probes are over: what the names that cannot exist got, and
// which answers only lead where those did.
void judge_nx(pass_job *job) {
  nx_result &nx = job->pass->nx;
  nx.names = job->nx_names;
  // Addresses lead somewhere: the answers of other types are no redirect.
  const int qtype = job->settings->engine.qtype;
  const bool addresses = qtype == DNS_TYPE_A || qtype == DNS_TYPE_AAAA;
  bool all_negative = !job->nx_names.empty();
  for (std::size_t i = 0; i < job->nx_names.size(); ++i) {
    all_negative = all_negative && job->nx_outcomes[i] == PROBE_NEGATIVE;
    for (const std::string &answer : job->nx_answers[i].answers) {
      if (addresses &&
          std::find(nx.addrs.begin(), nx.addrs.end(), answer) == nx.addrs.end())
        nx.addrs.push_back(answer);
    }
  }
  nx.verdict = !nx.addrs.empty() ? NX_HIJACK
               : all_negative    ? NX_CLEAN
                                 : NX_UNKNOWN;
  if (nx.verdict != NX_HIJACK)
    return;
  for (std::size_t line : *job->probed) {
    for (bool www : {false, true}) {
      stored_probe &probe = probe_at(job->pass, line, www);
      probe_answers answers;
      if (probe.outcome != PROBE_OK ||
          !job->pass->answers.get(probe_number(line, www), &answers) ||
          !redirected(nx, answers))
        continue;
      probe.outcome = PROBE_FAILED;
      probe.error = RUN_ERROR_REDIRECTED;
      ask_check(job, line, www, &probe);
    }
  }
}

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
      redirected(pass->nx, answers)) {
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
  const std::size_t whole = probe_of(job, at);
  std::size_t line_index;
  bool www;
  if (!line_probe_of(job, whole, &line_index, &www)) {
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

// The answers of a reply, sorted, for comparing: order and TTL do not
// count.
std::vector<std::string> answer_set(const probe_answers &answers) {
  std::vector<std::string> set = answers.answers;
  std::sort(set.begin(), set.end());
  return set;
}

// A further reply to a probe already decided. One whose answers differ
// from the deciding reply's makes a race; every reply after is kept too.
void take_echo(std::size_t at, const probe_echo *e, void *context) {
  const unsigned char *reply = e->reply;
  const long length = e->length;
  pass_job *job = static_cast<pass_job *>(context);
  const int kind = classify_reply(length, reply);
  std::size_t line;
  bool www;
  if (!line_probe_of(job, probe_of(job, at), &line, &www) ||
      (kind != REPLY_ANSWERED && kind != REPLY_NEGATIVE))
    return;
  const std::size_t number = probe_number(line, www);
  probe_answers echo;
  if (!read_answers(reply, length, job->settings->engine.qtype, &echo))
    return;
  pass_result *pass = job->pass;
  auto race = pass->races.find(number);
  if (race == pass->races.end()) {
    probe_answers first{{}, {}, -1};
    pass->answers.get(number, &first);
    if (answer_set(first) == answer_set(echo))
      return; // the same answer again: no race
    race = pass->races.emplace(number, std::vector<kept_reply>{}).first;
    race->second.push_back(
        kept_reply{probe_at(pass, line, www).reply_us, first, e->first_ip_ttl});
  }
  race->second.push_back(kept_reply{e->us, echo, e->ip_ttl});
}

// Probes with replies that disagree are suspect: a failure, like no answer.
void judge_races(pass_job *job) {
  for (const auto &race : job->pass->races) {
    const std::size_t line = race.first / 2;
    const bool www = race.first % 2 != 0;
    stored_probe &probe = probe_at(job->pass, line, www);
    if (probe.outcome != PROBE_OK && probe.outcome != PROBE_NEGATIVE)
      continue;
    probe.outcome = PROBE_FAILED;
    probe.error = RUN_ERROR_SUSPECT;
    ask_check(job, line, www, &probe);
  }
}

// A pass whose probes have ended, on its way to be reported once its
// checks have.
struct ended_pass {
  std::unique_ptr<pass_result> pass;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point probed; // its probes' end
  std::vector<std::string> checks; // the names whose checks it waits for
  bool reported = false;           // under the report lock
};

} // namespace

// Reports the passes in the nameservers' order, on a thread of its own,
// each once its checks have ended: a pass's checks overlap the probes of
// the passes after it.
struct reporter {
  const pass_job *job; // what every pass shares: the list, the settings
  std::FILE *log;
  run_control *control;
  std::mutex lock;
  std::condition_variable handed;
  std::map<int, ended_pass> ended; // by pass, until reported; under lock
  int next = 0;                    // the pass to report next; under lock
  bool no_more = false;            // under lock
  std::thread thread;
};

namespace {

// Under the report lock: the pass's verdicts, its log block, and the front
// end's word.
void emit(reporter *r, int index, ended_pass *e) {
  const pass_job *job = r->job;
  pass_result *pass = e->pass.get();
  // Its own time: not the wait behind a pass before it.
  std::chrono::steady_clock::time_point end = e->probed;
  if (job->settings->checks)
    end = std::max(end, take_verdicts(job, pass));
  pass->seconds = std::chrono::duration<double>(end - e->start).count();
  if (r->log)
    write_log_block(r->log, pass->ns.c_str(), job->list, pass);
  job->events->pass_ended(index, pass, job->events->context);
  e->reported = true;
}

void serve_reports(reporter *r) {
  for (;;) {
    int index;
    ended_pass *e;
    {
      std::unique_lock<std::mutex> hold(r->lock);
      r->handed.wait(hold,
                     [r] { return r->no_more || r->ended.count(r->next); });
      auto found = r->ended.find(r->next);
      if (found == r->ended.end())
        return; // a stopped run: the passes after it never came
      index = found->first;
      e = &found->second; // a map's element stays where it is
    }
    const bool ended =
        !r->job->settings->checks ||
        await_checks(r->job, e->checks, index, &r->control->stop);
    {
      std::lock_guard<std::mutex> hold(r->control->report);
      if (ended && !e->reported && !r->control->stop.load())
        emit(r, index, e);
    }
    std::lock_guard<std::mutex> hold(r->lock);
    r->ended.erase(index);
    ++r->next;
  }
}

// Under the report lock, as a stop comes: the passes whose probes and
// checks have ended, and that wait behind one that has not, are reported
// now (in order, with gaps), so that a stop loses none.
void report_ended(reporter *r) {
  std::lock_guard<std::mutex> hold(r->lock);
  for (auto &entry : r->ended) {
    ended_pass &e = entry.second;
    std::size_t first = 0;
    const bool checked = !r->job->settings->checks ||
                         checks_ended(r->job->settings, e.checks, &first) ==
                             static_cast<int>(e.checks.size());
    if (!e.reported && checked)
      emit(r, entry.first, &e);
  }
}

void hand_over(reporter *r, int index, ended_pass ended) {
  {
    std::lock_guard<std::mutex> hold(r->lock);
    r->ended.emplace(index, std::move(ended));
  }
  r->handed.notify_one();
}

// Waits until every pass handed over was reported (or dropped by a stop);
// without a reporting thread, reports them here.
void end_reports(reporter *r) {
  {
    std::lock_guard<std::mutex> hold(r->lock);
    r->no_more = true;
  }
  r->handed.notify_one();
  if (r->thread.joinable())
    r->thread.join();
  else
    serve_reports(r);
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
    if (settings->nx_probe && round == 0)
      make_nx_names(job);
    // What could not even start fails every probe, as the transport says.
    const int cause = probe_round(job, target, control);
    if (cause != PROBE_ERROR_NONE)
      fail_round(job, cause);
    if (round == 0 && !control->stop.load()) {
      judge_races(job);
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
    reports.thread = std::thread(serve_reports, &reports);
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

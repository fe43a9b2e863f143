// A slice worker: probes the usable lines of its slice on the engine, the
// bare name first, then "www." plus the name, and files both outcomes in a
// reserved slot. At one query in flight the engine asks them strictly in
// that order; the worker says what went wrong in the Windows program's
// words.
#include "run/slice_worker.h"

#include "net/dns_message.h"
#include "net/probe.h"
#include "net/udp_transport.h"
#include "run/console.h"
#include "run/domain_list.h"
#include "run/driver_events.h"
#include "run/result_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

const engine_settings CLASSIC_ENGINE{
    1, REPLY_TIMEOUT_MS, PROBE_ATTEMPTS, 0.0, DNS_TYPE_A, true, false};

namespace {

enum {
  // "www." and a slot's name: at most 253 characters in practice (a stored
  // line holds at most 254, the shortest tag and the colon come first).
  WWW_NAME_SIZE = 4 + RESULT_NAME_SIZE,
  // A progress notice for every this many finished domains.
  PROGRESS_EVERY = 10,
  // A line of a probe's trouble: a fixed text and an error's text.
  DIAGNOSTIC_SIZE = 256,
};

struct worker {
  slice_job *job;
  std::vector<int> lines; // the slice's usable lines
  domain_result *slot;    // of the domain under way
  char www[WWW_NAME_SIZE];
};

void say(const char *what, const char *text) {
  char line[DIAGNOSTIC_SIZE];
  std::snprintf(line, sizeof line, "%s: %s\n", what, text);
  run_diagnostic(line);
}

// Each attempt that could not be made, as the attempt itself would say it.
void say_failures(const worker *w, const probe_result *r) {
  if (r->error == PROBE_ERROR_UNSENDABLE) {
    for (int i = 0; i < w->job->engine->attempts; ++i)
      run_diagnostic("make dns package failed\n");
  }
  for (int i = 0; i < r->failed_sends; ++i)
    say("sendto failed", sock_error_text(r->sys_error));
}

const char *name_of(std::size_t index, void *context) {
  worker *w = static_cast<worker *>(context);
  const int line = w->lines[index / 2];
  if (index % 2 == 0) {
    char copy[LINE_COPY_SIZE] = {};
    int row = 0;
    const char *domain = usable_domain(w->job->domains[line], copy, &row);
    w->slot = &result_table[row][reserve_slot(row)];
    std::snprintf(w->slot->name, sizeof w->slot->name, "%s", domain);
    w->slot->line = line;
    return w->slot->name;
  }
  std::snprintf(w->www, sizeof w->www, "www.%s", w->slot->name);
  return w->www;
}

void finish_domain(const worker *w) {
  // Under the lock, so that the notices leave in increasing order.
  std::lock_guard<std::mutex> hold(*result_lock);
  const int done = ++done_count;
  if (done % PROGRESS_EVERY == 0)
    console_printf("\t\t\t\t\tquery %d/%d domain name\n", done, w->job->total);
  domain_probed(w->slot, done, w->job->total);
}

void probe_done(std::size_t index, const probe_result *r, void *context) {
  worker *w = static_cast<worker *>(context);
  say_failures(w, r);
  const probe_timing timing{r->attempts, r->reply_us};
  if (index % 2 == 0) {
    w->slot->bare_status = r->outcome;
    w->slot->bare_timing = timing;
    return;
  }
  w->slot->www_status = r->outcome;
  w->slot->www_timing = timing;
  finish_domain(w);
}

// Without a socket every attempt of every name fails to be sent, after
// taking its ID as a query that was built does.
void fail_every_probe(worker *w, int no_socket) {
  probe_result failed{PROBE_FAILED, 0, -1, -1, PROBE_ERROR_NETWORK, 0, 0,
                      nullptr,      0};
  for (std::size_t index = 0; index < 2 * w->lines.size(); ++index) {
    const char *name = name_of(index, w);
    for (int i = 0; i < w->job->engine->attempts; ++i) {
      unsigned char query[QUERY_BUFFER_SIZE] = {};
      if (build_query(name, w->job->engine->qtype, query, sizeof query) <= 0)
        run_diagnostic("make dns package failed\n");
      else
        say("sendto failed", std::strerror(no_socket));
    }
    probe_done(index, &failed, w);
  }
}

} // namespace

int slice_worker(slice_job *job) {
  worker w;
  w.job = job;
  w.slot = nullptr;
  for (int i = job->first; i <= job->last; i++) {
    char copy[LINE_COPY_SIZE] = {};
    int row = 0;
    if (usable_domain(job->domains[i], copy, &row))
      w.lines.push_back(i);
  }
  // A nameserver that cannot be reached is not fatal: every probe fails and
  // is counted so.
  ns_address ns;
  if (parse_dotted_ns(job->ns, &ns) != 0) {
    say("inet_addr failed", std::strerror(errno));
    fail_every_probe(&w, EBADF);
    return 0;
  }
  const engine_job work{2 * w.lines.size(), name_of, probe_done, &w, nullptr};
  int sys_error = 0;
  if (udp_run(&ns, job->engine, &work, &sys_error) != 0) {
    say("set sock opt failed", sock_error_text(sys_error));
    fail_every_probe(&w, EBADF);
  }
  return 0;
}

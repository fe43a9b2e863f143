#include "run/pass_reporter.h"

#include "run/log_block.h"
#include "run/pass_checks.h"

#include <algorithm>

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

} // namespace

void start_reports(reporter *r) {
  r->thread = std::thread(serve_reports, r);
}

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

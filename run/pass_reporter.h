// Reports the passes of a run in the nameservers' order, each once its
// checks have ended, so that a pass's checks overlap the probes of the
// passes after it; on a stop, those that have ended.
#ifndef RUN_PASS_REPORTER_H
#define RUN_PASS_REPORTER_H

#include "run/pass_job.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A pass whose probes have ended, on its way to be reported once its
// checks have.
struct ended_pass {
  std::unique_ptr<pass_result> pass;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point probed; // its probes' end
  std::vector<std::string> checks; // the names whose checks it waits for
  bool reported = false;           // under the report lock
};

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

// Reports from a thread of its own from now on.
void start_reports(reporter *r);
// The pass's probes have ended: it is reported once its checks have.
void hand_over(reporter *r, int index, ended_pass ended);
// Waits until every pass handed over was reported (or dropped by a stop);
// without a reporting thread, reports them here.
void end_reports(reporter *r);
// Under the report lock, as a stop comes: the passes whose probes and
// checks have ended, and that wait behind one that has not, are reported
// now (in order, with gaps), so that a stop loses none.
void report_ended(reporter *r);

#endif

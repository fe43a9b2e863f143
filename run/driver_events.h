// The Windows program's run reaches its window only through these events,
// which carry the run's data: the window composes its own texts from them.
// The program links one implementation (ui/channel.cpp), which the run's
// tests also link over a recording window.
#ifndef RUN_DRIVER_EVENTS_H
#define RUN_DRIVER_EVENTS_H

#include "run/result_table.h"

struct run_facts {
  const char *const *nameservers; // one pass each, in order
  int passes;
  int lines; // of the list, usable or not
};

// A provider row of a pass, as the report counts it.
struct row_summary {
  const char *tag;
  int resolved; // probes answered
  int probed;   // two for each of the row's domains
  double rate;  // percent
};

// A pass as its report gave it: read-only, valid during the event.
struct pass_summary {
  const char *ns;
  int index; // from 0, of `count` passes
  int count;
  row_summary rows[RESULT_ROWS]; // the rows that had domains, in row order
  int row_count;
  int resolved;
  int probed;  // two for each line of the list
  double rate; // percent; not a number for a list of no lines
};

// On the driver's thread, in this order: run_started, then for each pass
// pass_started, domain_probed for each domain, pass_ended; then run_ended.
void run_started(const run_facts *facts);
void pass_started(int index, int count, const char *ns);
// A worker has filed both outcomes of a domain in `slot` (complete, no
// longer written): the `done`th of `total` list lines. Any worker thread,
// one at a time, `done` increasing.
void domain_probed(const domain_result *slot, int done, int total);
// The pass's report is in the log; called with the report lock held, so a
// stop waits for it.
void pass_ended(const pass_summary *pass);
void run_ended(void);
// A probe's trouble in one line, "\n" included; any worker thread.
void run_diagnostic(const char *line);

#endif

// The port through which a run reaches the program that shows it. Each
// program links exactly one implementation: the Windows dialog's
// (ui/channel.cpp, which the run's tests also link, over a recording window)
// and the terminal program's (cli/display.cpp).
#ifndef RUN_FRONT_END_H
#define RUN_FRONT_END_H

struct domain_result;

// What the dialog shows: the status line, the percent label, the output
// pane, the progress bar and the state of the start, read-domains and
// view-log buttons. All but post_progress return once the change is shown.
void set_status_text(const char *text);
void set_percent_text(const char *text);
void set_output_text(const char *text);
void set_progress_range(void);
// Queues a progress percentage and returns at once (worker threads call it).
void post_progress(int percent);
void set_controls_enabled(bool enabled);
void append_output(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A pass begins: nameserver `ns`, number `index` (from 0) of the `count`
// passes of this run.
void pass_started(int index, int count, const char *ns);
// A worker has filed both outcomes of one domain in `slot`. Any worker
// thread, concurrently; the slot is complete and no longer written.
void domain_probed(const domain_result *slot);
// The pass's report is written and the result table holds the whole pass.
// Called on the driver's thread before the table is cleared again.
void pass_reported(int index, const char *ns);

#endif

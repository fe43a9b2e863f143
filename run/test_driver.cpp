// The test driver: each nameserver of the settings tested by one worker per
// slice, then reported to the log and standard output, and its figures to
// the window.
#include "run/test_driver.h"

#include "run/console.h"
#include "run/domain_list.h"
#include "run/driver_events.h"
#include "run/log_block.h"
#include "run/report.h"
#include "run/result_table.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

bool is_empty(const char *text) {
  return !text || text[0] == '\0';
}

bool same_text(const char *a, const char *b) {
  return a && b && std::strcmp(a, b) == 0;
}

// Taken for the whole of a report, so that stop_test never cuts one short.
std::mutex report_guard;
bool stopped; // under report_guard

// One pass; -1 when the run was stopped before its report.
int run_pass(const driver_settings *settings, int index, slice_job *jobs,
             std::thread *workers, int slices, std::FILE *log) {
  const char *ns = settings->nameservers[index];
  clear_results();
  done_count = 0;
  pass_started(index, settings->nameserver_count, ns);
  console_printf("begin to test %s\n", ns);

  for (int i = 0; i < slices; ++i) {
    jobs[i].ns = ns;
    // A worker that cannot be started leaves its lines without a slot; the
    // pass still ends.
    try {
      workers[i] = std::thread(slice_worker, &jobs[i]);
    } catch (const std::system_error &) {
    }
  }
  for (int i = 0; i < slices; ++i) {
    if (workers[i].joinable())
      workers[i].join();
  }

  std::lock_guard<std::mutex> hold(report_guard);
  if (stopped)
    return -1;
  pass_summary pass;
  pass.index = index;
  pass.count = settings->nameserver_count;
  write_report(ns, settings->count, log, &pass);
  pass_ended(&pass);
  return 0;
}

} // namespace

driver_settings classic_driver_settings(char **domains, int count) {
  driver_settings settings;
  settings.domains = domains;
  settings.count = count;
  settings.log_path = "./log.txt";
  // The local nameservers, then each public resolver that no local one
  // already names; empty ones get no pass at all.
  const char *candidates[MAX_NAMESERVERS] = {local_dns_1, nullptr, public_dns_1,
                                             public_dns_2};
  if (local_dns_num == 2)
    candidates[1] = local_dns_2;
  int n = 0;
  for (int c = 0; c < MAX_NAMESERVERS; ++c) {
    const bool dropped = c >= 2 && (same_text(candidates[0], candidates[c]) ||
                                    same_text(candidates[1], candidates[c]));
    if (!is_empty(candidates[c]) && !dropped)
      settings.nameservers[n++] = candidates[c];
  }
  settings.nameserver_count = n;
  settings.slices = MAX_SLICES;
  settings.engine = CLASSIC_ENGINE;
  return settings;
}

int build_slices(int count, int slices, slice_job bounds[MAX_SLICES]) {
  if (count <= 0 || slices <= 0)
    return 0;
  if (slices > MAX_SLICES)
    slices = MAX_SLICES;
  if (count < slices) {
    for (int i = 0; i < count; ++i) {
      bounds[i].first = i;
      bounds[i].last = i;
    }
    return count;
  }
  // The last slice also takes the remainder of the division.
  int size = count / slices;
  for (int i = 0; i < slices; ++i) {
    bounds[i].first = i * size;
    bounds[i].last = i * size + size - 1;
  }
  bounds[slices - 1].last = count - 1;
  return slices;
}

int test_driver(const driver_settings *settings) {
  {
    // A stop ends the run it came during, not the next one.
    std::lock_guard<std::mutex> hold(report_guard);
    stopped = false;
  }
  const run_facts facts{settings->nameservers, settings->nameserver_count,
                        settings->count};
  run_started(&facts);
  create_result_lock();

  slice_job jobs[MAX_SLICES] = {};
  const int slices = build_slices(settings->count, settings->slices, jobs);
  for (int i = 0; i < slices; ++i) {
    jobs[i].domains = settings->domains;
    jobs[i].total = settings->count;
    jobs[i].engine = &settings->engine;
  }
  std::thread workers[MAX_SLICES];

  // Binary, so that the file holds exactly the bytes of the formats.
  std::FILE *log =
      settings->log_path ? std::fopen(settings->log_path, "wb") : nullptr;
  if (log) {
    std::fprintf(log, "%s\r\n\r\n", LOG_HEADER);
    // A run ended early keeps at least its header.
    std::fflush(log);
  }

  for (int p = 0; p < settings->nameserver_count; ++p) {
    if (run_pass(settings, p, jobs, workers, slices, log) != 0)
      break;
  }

  if (log)
    std::fclose(log);
  destroy_result_lock();
  run_ended();
  return 0;
}

void stop_test(void) {
  std::lock_guard<std::mutex> hold(report_guard);
  stopped = true;
}

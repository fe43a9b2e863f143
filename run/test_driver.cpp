// The test driver: the machine's nameservers, then the public resolvers not
// among them, each tested by one worker per slice and reported.
#include "run/test_driver.h"

#include "net/console.h"
#include "run/domain_list.h"
#include "run/front_end.h"
#include "run/local_dns.h"
#include "run/log_block.h"
#include "run/report.h"
#include "run/result_table.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

enum {
  // "Testing namserver " and a dotted text of at most 15 characters.
  STATUS_TEXT_SIZE = 64,
  // Two local nameservers and two public resolvers.
  MAX_CANDIDATES = 4,
};

// The report file, in the current directory.
const char LOG_PATH[] = "./log.txt";

bool is_empty(const char *text) {
  return !text || text[0] == '\0';
}

bool same_text(const char *a, const char *b) {
  return a && b && std::strcmp(a, b) == 0;
}

// The nameservers of a run, in order: the local ones, then each public
// resolver that no local one already names. Empty ones stay in; the passes
// skip them.
int nameserver_sequence(const char *sequence[MAX_CANDIDATES]) {
  int n = 0;
  sequence[n++] = local_dns_1;
  if (local_dns_num == 2)
    sequence[n++] = local_dns_2;
  const int locals = n;
  const char *const publics[] = {public_dns_1, public_dns_2};
  for (const char *candidate : publics) {
    bool dropped = false;
    for (int i = 0; i < locals; ++i)
      dropped = dropped || same_text(sequence[i], candidate);
    if (!dropped)
      sequence[n++] = candidate;
  }
  return n;
}

// Taken for the whole of a report, so that stop_test never cuts one short.
std::mutex report_guard;
bool stopped; // under report_guard

// One pass; -1 when the run was stopped before its report.
int run_pass(const char *ns, int index, int count, slice_job **jobs,
             std::thread *workers, int slices, std::FILE *log) {
  current_ns = ns;
  clear_results();
  set_percent_text("0%");
  char status[STATUS_TEXT_SIZE];
  std::memset(status, 0, sizeof status);
  std::snprintf(status, sizeof status, "Testing namserver %s", ns);
  set_status_text(status);
  done_count = 0;
  console_printf("begin to test %s\n", ns);
  pass_started(index, count, ns);

  for (int i = 0; i < slices; ++i) {
    if (!jobs[i])
      continue;
    // A worker that cannot be started leaves its lines without a slot; the
    // pass still ends.
    try {
      workers[i] = std::thread(slice_worker, jobs[i]);
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
  post_progress(100);
  write_report(domain_count, log);
  pass_reported(index, ns);
  return 0;
}

} // namespace

int build_slices(int count, slice_job bounds[MAX_SLICES]) {
  if (count <= 0)
    return 0;
  if (count < MAX_SLICES) {
    for (int i = 0; i < count; ++i) {
      bounds[i].first = i;
      bounds[i].last = i;
    }
    return count;
  }
  // The last slice also takes the remainder of the division.
  int size = count / MAX_SLICES;
  for (int i = 0; i < MAX_SLICES; ++i) {
    bounds[i].first = i * size;
    bounds[i].last = i * size + size - 1;
  }
  bounds[MAX_SLICES - 1].last = count - 1;
  return MAX_SLICES;
}

int test_driver(char **domains) {
  {
    // A stop ends the run it came during, not the next one.
    std::lock_guard<std::mutex> hold(report_guard);
    stopped = false;
  }
  set_controls_enabled(false);
  set_progress_range();
  set_output_text("\r\n努力工作中...");
  create_result_lock();

  slice_job bounds[MAX_SLICES] = {};
  const int slices = build_slices(domain_count, bounds);
  // A record that cannot be allocated leaves its slice without a worker.
  const std::size_t table_size = static_cast<std::size_t>(slices);
  slice_job **jobs = new (std::nothrow) slice_job *[table_size]();
  std::thread *workers = new (std::nothrow) std::thread[table_size];
  const int started = jobs && workers ? slices : 0;
  for (int i = 0; i < started; ++i) {
    jobs[i] = new (std::nothrow) slice_job(bounds[i]);
    if (jobs[i])
      jobs[i]->domains = domains;
  }

  // Binary, so that the file holds exactly the bytes of the formats.
  std::FILE *log = std::fopen(LOG_PATH, "wb");
  if (log) {
    std::fprintf(log, "%s\r\n\r\n", LOG_HEADER);
    // A run ended early keeps at least its header.
    std::fflush(log);
  }

  // Empty candidates get no pass at all, and do not count as one.
  const char *sequence[MAX_CANDIDATES];
  const int candidates = nameserver_sequence(sequence);
  int passes = 0;
  for (int c = 0; c < candidates; ++c) {
    if (!is_empty(sequence[c]))
      sequence[passes++] = sequence[c];
  }
  for (int p = 0; p < passes; ++p) {
    if (run_pass(sequence[p], p, passes, jobs, workers, started, log) != 0)
      break;
  }

  if (log)
    std::fclose(log);
  for (int i = 0; i < started; ++i)
    delete jobs[i];
  delete[] jobs;
  delete[] workers;
  destroy_result_lock();
  set_status_text("Finish.");
  set_controls_enabled(true);
  return 0;
}

void stop_test(void) {
  std::lock_guard<std::mutex> hold(report_guard);
  stopped = true;
}

// A slice worker: probes the usable lines of its slice, the bare name first,
// then "www." plus the name, and files both outcomes in a reserved slot.
#include "run/slice_worker.h"

#include "net/console.h"
#include "net/probe.h"
#include "run/domain_list.h"
#include "run/front_end.h"
#include "run/result_table.h"

#include <cstdio>
#include <cstring>

enum {
  // A stored line is at most 254 characters, so its domain is at most 249
  // (the shortest tag and the colon come first) and "www." plus it is 253.
  NAME_BUFFER_SIZE = 256,
  // A progress notice for every this many finished domains.
  PROGRESS_EVERY = 10,
};

int slice_worker(slice_job *job) {
  sockaddr_in address{};
  // A failed socket is not fatal: every probe on it fails and is counted so.
  sock_t sock = open_probe_socket(&address, current_ns);
  for (int i = job->first; i <= job->last; i++) {
    char line[LINE_COPY_SIZE] = {};
    int row;
    char *domain = usable_domain(job->domains[i], line, &row);
    if (!domain)
      continue;
    domain_result &slot = result_table[row][reserve_slot(row)];
    std::snprintf(slot.name, sizeof slot.name, "%s", domain);
    slot.line = i;
    slot.bare_status = probe_name(domain, sock, address, &slot.bare_timing);
    char www[NAME_BUFFER_SIZE] = {};
    std::snprintf(www, sizeof www, "www.%s", domain);
    slot.www_status = probe_name(www, sock, address, &slot.www_timing);

    {
      // Under the lock, so that the notices leave in increasing order.
      std::lock_guard<std::mutex> hold(*result_lock);
      if (++done_count % PROGRESS_EVERY == 0) {
        console_printf("\t\t\t\t\tquery %d/%d domain name\n", done_count,
                       domain_count);
        post_progress(domain_count > 0 ? done_count * 100 / domain_count : 0);
      }
    }
    domain_probed(&slot);
  }
  if (sock != -1)
    close_probe_socket(sock);
  return 0;
}

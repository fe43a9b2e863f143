// The outcomes of one pass: 10 provider rows of 2048 slots, in static storage.
#ifndef RUN_RESULT_TABLE_H
#define RUN_RESULT_TABLE_H

#include "net/probe.h"

#include <cstdint>
#include <mutex>

enum {
  RESULT_ROWS = 10,
  RESULT_SLOTS = 2048,
  RESULT_NAME_SIZE = 256,
};

// How a probe went: the queries it sent (0 to 2) and, when a reply decided
// it (an answer or a negative answer), the microseconds from sending its
// first datagram to that reply; -1 when none did.
struct probe_timing {
  std::int32_t attempts;
  std::int32_t reply_us;
};

struct domain_result {
  char name[RESULT_NAME_SIZE];
  std::int32_t bare_status;
  std::int32_t www_status;
  // Kept for the front ends' own views (latency, exports in list order);
  // the report does not read them.
  std::int32_t line; // the slot's index in the domain list
  probe_timing bare_timing;
  probe_timing www_timing;
};

extern domain_result result_table[RESULT_ROWS][RESULT_SLOTS];
extern int provider_count[RESULT_ROWS];
extern int done_count;
// Guards provider_count and done_count; exists only while a run does.
extern std::mutex *result_lock;

void create_result_lock(void);
void destroy_result_lock(void);
void clear_results(void);
int reserve_slot(int row);

#endif

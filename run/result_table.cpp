// The state of one pass. Slots are written without the lock: each belongs to
// the one worker that reserved it, and the report reads them after the join.
#include "run/result_table.h"

#include <cstring>

domain_result result_table[RESULT_ROWS][RESULT_SLOTS];
int provider_count[RESULT_ROWS];
int done_count;
std::mutex *result_lock;

void create_result_lock(void) {
  result_lock = new std::mutex;
}

void destroy_result_lock(void) {
  delete result_lock;
  result_lock = nullptr;
}

void clear_results(void) {
  for (int row = 0; row < RESULT_ROWS; row++) {
    provider_count[row] = 0;
    std::memset(result_table[row], 0, sizeof result_table[row]);
  }
}

int reserve_slot(int row) {
  std::lock_guard<std::mutex> hold(*result_lock);
  return provider_count[row]++;
}

// The machine-readable results: JSON and CSV, of the passes kept so far.
#ifndef CLI_EXPORT_H
#define CLI_EXPORT_H

#include <cstdio>
#include <string>

struct export_run {
  std::string started; // ISO 8601, local time with its offset
  double started_unix; // the same, in seconds since 1970
  double seconds;      // how long the run had taken when last written
  const char *list_path;
  int stored;
  int usable;
  int passes_planned;
  bool stopped; // by a signal: the run is not complete, whatever was kept
};

// The run is complete: every planned nameserver kept, and no stop.
bool run_complete(const export_run *run);

// Makes the text of pass `index` for each format, once, after it is kept.
void export_pass(int index);
// The whole JSON document or CSV file of the passes exported so far.
void write_json(std::FILE *out, const export_run *run);
void write_csv(std::FILE *out);

// The texts of the list's domains as the exports write them; made once.
void prepare_domain_texts(void);
// The text of list line `line` (as UTF-8; see utf8_text).
const std::string &domain_text(int line);

#endif

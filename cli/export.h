// The machine-readable results: JSON and CSV, of the passes kept so far,
// formatted as they are written (a list of a million lines is not held
// twice).
#ifndef CLI_EXPORT_H
#define CLI_EXPORT_H

#include <cstddef>
#include <cstdio>
#include <string>

struct run_results;

struct export_run {
  std::string started; // ISO 8601, local time with its offset
  double started_unix; // the same, in seconds since 1970
  double seconds;      // how long the run had taken when last written
  const char *list_path;
  std::string site; // where the run was made, UTF-8
  int passes_planned;
  bool stopped; // by a signal: the run is not complete, whatever was kept
  // The settings, as the JSON and the report tell them.
  const char *rules; // "open" or "classic"
  int concurrency;
  int timeout_ms;
  int attempts;
  int rounds;        // asks of every name
  bool side_by_side; // the nameservers at once
  double rate;       // 0 for no limit
  const char *type;
  int qtype;
  bool tcp_fallback;
  bool insecure;
};

// The run is complete: every planned nameserver kept, and no stop.
bool run_complete(const export_run *run, const run_results &r);

void write_json(std::FILE *out, const export_run *run, const run_results &r);
// A CSV field as every CSV of the program writes it (RFC 4180, and no
// formula for a spreadsheet).
std::string csv_field(const std::string &value);
void write_csv(std::FILE *out, const run_results &r);

#endif

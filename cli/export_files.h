// The export files (JSON, CSV, HTML, metrics) asked for as files: each
// rewritten whole after every nameserver, so that a stop or a crash
// leaves the latest complete results, and named at the end once it holds
// them.
#ifndef CLI_EXPORT_FILES_H
#define CLI_EXPORT_FILES_H

#include "cli/export.h"
#include "cli/options.h"

#include <cstdio>
#include <string>
#include <vector>

struct export_file {
  const char *option;
  const char *shown; // how the end of the run names it
  const char *path;  // null when not asked for as a file
  void (*write)(std::FILE *out, const export_run *run, const run_results &r);
  bool written; // holds the latest results: only then is it named
};

struct export_files {
  export_file files[4];
  bool write_failed = false; // one could not be written at least once
};

// True for the path "-": standard output, written once at the end.
bool is_stdout(const char *path);

void prepare_export_files(export_files *f, const cli_options &options);
// Rewrites every file; the messages of those that could not be written.
std::vector<std::string> write_export_files(export_files *f,
                                            const export_run *run,
                                            const run_results &r);

#endif

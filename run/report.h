// One nameserver's report: the log's block and standard output's lines; the
// figures go back in `pass` for the front end.
#ifndef RUN_REPORT_H
#define RUN_REPORT_H

#include "run/driver_events.h"

#include <cstdio>

void write_report(const char *ns, int lines, std::FILE *log,
                  pass_summary *pass);

#endif

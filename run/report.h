// One nameserver's report: log, standard output and the output pane.
#ifndef RUN_REPORT_H
#define RUN_REPORT_H

#include <cstdio>

float write_report(int lines, std::FILE *log);

#endif

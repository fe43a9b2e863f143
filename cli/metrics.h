// The results in Prometheus' text exposition format (0.0.4), for
// node_exporter's textfile collector: one file, replaced after every
// nameserver.
#ifndef CLI_METRICS_H
#define CLI_METRICS_H

#include "cli/export.h"

#include <cstdio>
#include <string>

void write_metrics(std::FILE *out, const export_run *run, const run_results &r);

// A label value as the format wants it: backslash, double quote and line
// feed escaped.
std::string metric_label(const std::string &value);

#endif

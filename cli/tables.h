// The tables the terminal program prints once the run has ended or was
// stopped, of the passes kept.
#ifndef CLI_TABLES_H
#define CLI_TABLES_H

#include <cstdio>

struct run_results;

// Providers by nameserver, success rate and median latency, a total row,
// and the exact totals in the report's words.
void print_table(std::FILE *out, bool colour, const run_results &r);
// A line for each nameserver whose replies to a query disagreed, for each
// whose later asks were as slow as its first (no cache), and for each that
// answers names that do not exist, with where it sends them.
void print_redirects(std::FILE *out, const run_results &r);
// Where the checked failures lie, per nameserver, and the authoritative
// servers that failed, most failures first; nothing when none was checked.
void print_authority(std::FILE *out, const run_results &r);

#endif

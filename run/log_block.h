// The log's formats, and the block both programs write for a nameserver.
#ifndef RUN_LOG_BLOCK_H
#define RUN_LOG_BLOCK_H

#include <cstdio>

struct run_list;
struct pass_result;

// The first line (GBK), written before any block.
extern const char LOG_HEADER[];

// One nameserver's block, written a piece at a time by both programs from
// their own results, so that a million failed names are never copied:
// per provider row, its tag, its failed names ("www." before the name for
// the second probe of a line) and its rate; then the rule with the total
// over every counted line, and the separator. `log` may be null; `echo`,
// when set, is given each rate, total and separator line as written (the
// Windows program's console shows them).
void log_row_tag(std::FILE *log, const char *tag);
void log_failed_name(std::FILE *log, const char *name, bool www);
void log_row_rate(std::FILE *log, void (*echo)(const char *line),
                  const char *tag, int ok, int names);
void log_block_end(std::FILE *log, void (*echo)(const char *line),
                   const char *ns, int total_ok, int lines);

// The block of an engine run: each provider row that probed a line, with
// its failed names in list order, over every counted line.
void write_log_block(std::FILE *log, const char *ns, const run_list *list,
                     const pass_result *pass);

#endif

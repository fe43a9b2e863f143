// The log's formats, and the block an engine run writes for a nameserver.
#ifndef RUN_LOG_BLOCK_H
#define RUN_LOG_BLOCK_H

#include <cstdio>

struct run_list;
struct pass_result;

// The first line (GBK), written before any block.
extern const char LOG_HEADER[];
// A provider's rate: tag, resolved, queried, percent.
extern const char LOG_RATE_LINE[];
// The rule, then the nameserver's total: address, resolved, queried,
// percent.
extern const char LOG_RULE_AND_TOTAL[];
extern const char CLOSING_SEPARATOR[];

// One nameserver's block in the very format of the classic report: each
// provider row that probed a line, with its failed names in list order and
// its rate, then the total over every counted line.
void write_log_block(std::FILE *log, const char *ns, const run_list *list,
                     const pass_result *pass);

#endif

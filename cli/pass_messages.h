// What the terminal program says of a pass once it is kept: where a
// name's connections went, what kept the nameserver from answering (once
// per cause), a server's HTTP status or closing words, and the list's
// names that cannot be sent (after the first pass only).
#ifndef CLI_PASS_MESSAGES_H
#define CLI_PASS_MESSAGES_H

#include "cli/results.h"
#include "net/ns_address.h"

#include <string>
#include <vector>

// The messages, in the order said. *unsent_said: the unsendable names
// were said already; set once they are.
std::vector<std::string> pass_messages(const ns_target &target,
                                       const kept_pass &pass,
                                       const run_results &r, bool *unsent_said);

#endif

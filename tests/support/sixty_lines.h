// A run of 60 lines over two local nameservers and the two public
// resolvers, with answered, negative, refused and silent names, and the log
// it leaves: the run's end-to-end suite and the terminal program's suite
// check the same bytes.
#ifndef TESTS_SUPPORT_SIXTY_LINES_H
#define TESTS_SUPPORT_SIXTY_LINES_H

#include "tests/support/fake_ns.h"

#include <string>
#include <vector>

// The list, each line ending in "\n".
extern const std::vector<std::string> sixty_lines;
// The answers of the four fakes, in the order the run tests them.
void script_sixty_line_fakes(fake_ns *local_1, fake_ns *local_2,
                             fake_ns *public_1, fake_ns *public_2);
// log.txt after the run, the nameservers being 127.0.0.41, 127.0.0.42 and
// the two public resolvers.
extern const std::string sixty_line_log;

#endif

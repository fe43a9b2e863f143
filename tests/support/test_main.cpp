// Entry of every suite: refuses to run outside the network sandbox, starts the
// socket library, then runs the tests.
#include "net/sock.h"
#include "tests/support/sandbox_check.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string problem = sandbox_problem();
  if (!problem.empty()) {
    std::fprintf(stderr,
                 "FATAL: this suite may send datagrams and runs only inside "
                 "the network sandbox (scripts/sandbox -- ...): %s\n",
                 problem.c_str());
    return 2;
  }
  if (sock_startup() != 0) {
    std::fprintf(stderr, "FATAL: the socket library did not start\n");
    return 2;
  }
  int rc = RUN_ALL_TESTS();
  sock_cleanup();
  return rc;
}

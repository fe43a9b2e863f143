// Every suite may send datagrams, so none runs outside the network sandbox.
#ifndef TESTS_SUPPORT_SANDBOX_CHECK_H
#define TESTS_SUPPORT_SANDBOX_CHECK_H

#include <string>

// Empty when the only network interface is loopback, else what was found.
std::string sandbox_problem(void);

#endif

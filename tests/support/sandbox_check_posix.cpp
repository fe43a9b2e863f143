// The interfaces that this process's network namespace holds, from netlink
// (/sys/class/net would show the host's).
#include "tests/support/sandbox_check.h"

#include <ifaddrs.h>

#include <set>

std::string sandbox_problem(void) {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0)
    return "cannot list the network interfaces";
  std::set<std::string> others;
  for (ifaddrs *i = list; i; i = i->ifa_next) {
    if (i->ifa_name && std::string(i->ifa_name) != "lo")
      others.insert(i->ifa_name);
  }
  freeifaddrs(list);
  std::string problem;
  for (const std::string &name : others)
    problem += (problem.empty() ? "interfaces other than lo: " : ", ") + name;
  return problem;
}

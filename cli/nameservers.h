// The nameservers a run tests when none is named: the machine's own, then
// the two public resolvers not among them.
#ifndef CLI_NAMESERVERS_H
#define CLI_NAMESERVERS_H

#include <string>
#include <vector>

// Open rules: the first two "nameserver" lines of the resolver file, IPv4
// or IPv6, in file order. Classic rules: the Windows program's discovery,
// IPv4 only. Then each public resolver that is not among them.
void default_nameservers(bool classic, std::vector<std::string> *out);

struct ns_target;
// Looks up the addresses of a target named only by its host name, once,
// with the system's resolver: the first it gives, and the others (each
// once, in its order) as the fallbacks the connections go on to. 0, or -1
// with the reason in *error.
int resolve_target(ns_target *target, std::string *error);

#endif

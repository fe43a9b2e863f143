// Where a walk down the delegations starts: the root servers, built in
// (IANA's root hints) or read from a root hints file for private roots.
#ifndef RUN_ROOT_HINTS_H
#define RUN_ROOT_HINTS_H

#include "net/ns_address.h"

#include <string>
#include <vector>

struct hint_server {
  std::string name; // canonical
  std::vector<ns_address> addresses;
};

std::vector<hint_server> builtin_root_hints(void);

// Reads a root hints file: "NAME [TTL] [IN] NS TARGET" and
// "TARGET [TTL] [IN] A|AAAA ADDR" lines, ";" comments. 0, or -1 with
// *error naming the line ("hints.txt:3: ...") or the file.
int read_root_hints(const char *path, std::vector<hint_server> *servers,
                    std::string *error);

#endif

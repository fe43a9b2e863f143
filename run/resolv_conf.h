// The resolver configuration of a POSIX system, read as the C library's
// resolver reads it: a "nameserver" keyword at the start of a line, the
// address up to a blank or a comment.
#ifndef RUN_RESOLV_CONF_H
#define RUN_RESOLV_CONF_H

#include <string>
#include <vector>

// The addresses of the file's "nameserver" lines, in file order, as
// written (the caller judges them); none when the file cannot be read.
void resolv_conf_nameservers(const char *path, std::vector<std::string> *out);

#endif

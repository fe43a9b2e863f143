// The local nameserver texts: the start-up split of what get_local_dns
// found. The platform files (local_dns_win32.cpp, local_dns_posix.cpp) only
// find the addresses.
#include "run/local_dns.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char public_dns_1[] = "223.5.5.5";
const char public_dns_2[] = "119.29.29.29";

int local_dns_num;
char *local_dns_text;
const char *local_dns_1;
const char *local_dns_2;

namespace {

// The count and the text come from the same data, so this never fails; if
// it ever does, it says so and the caller makes the count agree with the
// text, which is what the driver walks (a release build must not go on with
// a count of 2 and no second text).
int check(bool holds, const char *what) {
  if (holds)
    return 0;
  std::fprintf(stderr, "local dns check failed: %s\n", what);
  return -1;
}

} // namespace

void join_local_dns(char *text, int size, const char *first,
                    const char *second) {
  if (!first)
    first = "";
  // Each address is the platform's 16-byte string: at most 15 characters.
  if (second) {
    std::snprintf(text, static_cast<std::size_t>(size), "%.15s,%.15s", first,
                  second);
    local_dns_num = 2;
  } else {
    std::snprintf(text, static_cast<std::size_t>(size), "%.15s", first);
    local_dns_num = 1;
  }
}

int split_local_dns(void) {
  char text[LOCAL_DNS_TEXT_SIZE];
  std::memset(text, 0, sizeof text);
  get_local_dns(text, static_cast<int>(sizeof text));
  return split_local_dns_text(text);
}

int split_local_dns_text(const char *text) {
  std::size_t length = std::strlen(text);
  char *copy = static_cast<char *>(std::malloc(length + 1));
  if (copy)
    std::memcpy(copy, text, length + 1);
  // A second start-up replaces the first copy rather than leaking it.
  release_local_dns();
  if (!copy) {
    local_dns_1 = "";
    local_dns_num = 1;
    return -1;
  }
  local_dns_text = copy;

  int rc;
  char *comma = std::strchr(local_dns_text, ',');
  if (comma) {
    rc = check(local_dns_num == 2, "local_dns_num == 2");
    local_dns_2 = comma + 1;
    *comma = '\0';
    local_dns_1 = local_dns_text;
    local_dns_num = 2;
  } else {
    rc = check(local_dns_num == 1, "local_dns_num == 1");
    local_dns_1 = local_dns_text;
    local_dns_2 = nullptr;
    local_dns_num = 1;
  }
  return rc;
}

void release_local_dns(void) {
  std::free(local_dns_text);
  local_dns_text = nullptr;
  local_dns_1 = nullptr;
  local_dns_2 = nullptr;
}

// Arbitrary names through build_query: either -1, or a datagram within the
// buffer whose name reads back as labels of 1 to 63 bytes that join to the
// input (less one trailing dot). And a name with a wire form that fits is
// never refused.
#include "net/dns_message.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

// Independent of the code under test: one trailing dot dropped, then every
// label 1 to 63 bytes and at most 255 octets in label form.
static bool valid_name(std::string name) {
  if (!name.empty() && name.back() == '.')
    name.pop_back();
  if (name.empty())
    return true;
  if (name.size() + 2 > 255)
    return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = name.find('.', start);
    std::size_t end = dot == std::string::npos ? name.size() : dot;
    if (end == start || end - start > 63)
      return false;
    if (dot == std::string::npos)
      return true;
    start = dot + 1;
  }
}

static unsigned u16(const unsigned char *p) {
  return static_cast<unsigned>(p[0] << 8 | p[1]);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  if (size == 0)
    return 0;
  // The first byte picks the capacity, up to the probe's 300 bytes.
  int dst_len = data[0] * 300 / 255;
  char *name = static_cast<char *>(std::malloc(size));
  std::memcpy(name, data + 1, size - 1);
  name[size - 1] = '\0';
  unsigned char *dst = static_cast<unsigned char *>(
      std::malloc(static_cast<std::size_t>(dst_len) + 1));
  int n = build_query(name, DNS_TYPE_A, dst, dst_len);

  std::string expected(name);
  bool valid = valid_name(expected);
  if (!expected.empty() && expected.back() == '.')
    expected.pop_back();
  int wanted = DNS_HEADER_SIZE +
               (expected.empty() ? 1 : static_cast<int>(expected.size()) + 2) +
               4;
  if (n == -1) {
    if (valid && wanted <= dst_len)
      std::abort();
  } else {
    if (!valid || n != wanted || n > dst_len)
      std::abort();
    if (u16(dst + DNS_FLAGS_OFFSET) != DNS_FLAG_RD ||
        u16(dst + DNS_QDCOUNT_OFFSET) != 1 || u16(dst + DNS_ANCOUNT_OFFSET) ||
        u16(dst + DNS_NSCOUNT_OFFSET) || u16(dst + DNS_ARCOUNT_OFFSET))
      std::abort();
    std::string joined;
    int at = DNS_HEADER_SIZE;
    while (dst[at] != 0) {
      int label = dst[at];
      if (label > DNS_MAX_LABEL || at + 1 + label >= n - 4)
        std::abort();
      if (!joined.empty())
        joined += '.';
      joined.append(reinterpret_cast<const char *>(dst + at + 1),
                    static_cast<std::size_t>(label));
      at += 1 + label;
    }
    if (joined != expected || at + 5 != n || u16(dst + at + 1) != DNS_TYPE_A ||
        u16(dst + at + 3) != DNS_CLASS_IN)
      std::abort();
  }
  std::free(dst);
  std::free(name);
  return 0;
}

// Arbitrary file contents through load_domain_list: never a crash, and the
// stored list keeps its limits.
#include "run/domain_list.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  static const std::string path =
      "/tmp/fuzz_domain_list_" + std::to_string(getpid()) + ".txt";
  if (size == 0)
    return 0;
  // The first byte repeats the rest up to 128 times, so that short inputs
  // still reach the 2048-line limit.
  int repeats = 1 << (data[0] & 0x07);
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (!f)
    return 0;
  for (int i = 0; i < repeats; i++)
    std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);
  if (load_domain_list(path.c_str()) != 0)
    std::abort();
  if (domain_count < 0 || domain_count > MAX_DOMAINS)
    std::abort();
  for (int i = 0; i < domain_count; i++) {
    const char *line = domain_list[i];
    if (!line)
      continue; // only a failed heap copy leaves one
    std::size_t len = std::strlen(line);
    if (len < 3 || len > 254 || std::strchr(line, '\n'))
      std::abort();
  }
  for (int i = domain_count; i < MAX_DOMAINS; i++)
    if (domain_list[i])
      std::abort();
  std::remove(path.c_str());
  return 0;
}

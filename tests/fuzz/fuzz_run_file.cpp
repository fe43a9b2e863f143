// Arbitrary file contents read as a run's JSON: never a crash, and what a
// file that is read leaves in the set keeps to its bounds.
#include "cli/run_set.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  static const std::string path =
      "/tmp/fuzz_run_file_" + std::to_string(getpid()) + ".json";
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (!f)
    return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  run_set set;
  std::string why;
  if (read_run(path.c_str(), &set, &why) != 0) {
    if (why.empty())
      std::abort(); // a refusal always says why
    return 0;
  }
  if (set.runs.size() != 1 || set.words.size() > 256)
    std::abort();
  for (const run_column &c : set.columns) {
    if (c.run != 0 || c.cells.size() != set.names.size())
      std::abort();
    for (const run_cell &cell : c.cells)
      if (cell.cause >= set.words.size() || cell.verdict >= set.words.size())
        std::abort();
  }
  return 0;
}

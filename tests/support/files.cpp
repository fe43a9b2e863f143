#include "tests/support/files.h"

#include <cstdio>

bool write_bytes(const std::string &path, const std::string &bytes) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (!f)
    return false;
  bool whole = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && whole;
}

std::string read_file(const std::string &path) {
  std::string bytes;
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (!f)
    return bytes;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes.append(chunk, got);
  std::fclose(f);
  return bytes;
}

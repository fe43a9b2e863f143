// Bytes as hex text and back, for the fake nameserver's control commands
// ("-" stands for no bytes, so that every field is one word).
#ifndef TESTS_SUPPORT_HEX_H
#define TESTS_SUPPORT_HEX_H

#include <string>

inline std::string hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    unsigned v = static_cast<unsigned char>(c);
    out += digits[v >> 4];
    out += digits[v & 15];
  }
  return out.empty() ? "-" : out;
}

inline std::string unhex(const std::string &text) {
  std::string out;
  if (text == "-")
    return out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return out;
}

#endif

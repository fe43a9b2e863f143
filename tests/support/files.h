// Whole-file reads and writes for the tests, the benchmarks and the GUI
// suite, always in binary so that the bytes are exactly the program's.
#ifndef TESTS_SUPPORT_FILES_H
#define TESTS_SUPPORT_FILES_H

#include <string>

// Replaces the file with `bytes`; false when it cannot be written whole.
bool write_bytes(const std::string &path, const std::string &bytes);
// The bytes of the file; "" when it cannot be read.
std::string read_file(const std::string &path);

#endif

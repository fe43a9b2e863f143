#include "tests/support/run_files.h"

#include "run/domain_list.h"
#include "run/local_dns.h"
#include "run/test_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::atomic<int> scratch_serial{0};

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

} // namespace

scratch_dir::scratch_dir() {
  previous_ = fs::current_path().string();
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path dir =
      fs::temp_directory_path() / ("zelkor-run-" + std::to_string(stamp) + "-" +
                                   std::to_string(scratch_serial++));
  fs::create_directories(dir);
  fs::current_path(dir);
  path_ = dir.string();
}

scratch_dir::~scratch_dir() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
  fs::remove_all(path_, ignored);
}

void write_file(const std::string &path, const std::string &bytes) {
  ASSERT_TRUE(write_bytes(path, bytes)) << path;
}

void load_lines(const std::vector<std::string> &lines) {
  std::string bytes;
  for (const std::string &line : lines)
    bytes += line;
  write_file("domains.txt", bytes);
  ASSERT_EQ(load_domain_list("domains.txt"), 0);
  ASSERT_EQ(domain_count, static_cast<int>(lines.size()));
}

void use_local_nameservers(const std::vector<std::string> &addresses) {
#ifdef _WIN32
  std::string joined;
  int count = 1;
  if (!addresses.empty())
    joined = addresses[0];
  if (addresses.size() > 1) {
    joined += "," + addresses[1];
    count = 2;
  }
  use_local_text(joined.c_str(), count);
#else
  static std::string path;
  std::string bytes = "# written by the test\n";
  for (const std::string &a : addresses)
    bytes += "nameserver " + a + "\n";
  path = (fs::current_path() / "resolv.conf").string();
  write_file(path, bytes);
  resolv_conf_path = path.c_str();
  ASSERT_EQ(split_local_dns(), 0);
#endif
}

void use_local_text(const char *text, int count) {
  local_dns_num = count;
  ASSERT_EQ(split_local_dns_text(text), 0);
}

void forget_local_nameservers(void) {
  release_local_dns();
#ifndef _WIN32
  resolv_conf_path = "/etc/resolv.conf";
#endif
}

std::string console_text(const std::string &bytes) {
  return bytes;
}

std::string run_whole_test(void) {
  testing::internal::CaptureStdout();
  const driver_settings settings =
      classic_driver_settings(domain_list, domain_count);
  std::thread driver(test_driver, &settings);
  driver.join();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

std::vector<std::string> reported_nameservers(const std::string &text) {
  std::vector<std::string> names;
  for (const std::string &line : split_lines(text)) {
    std::size_t at = line.find(" total: ");
    if (at == std::string::npos || line.empty() || line[0] == ' ')
      continue;
    names.push_back(line.substr(0, line.find(' ')));
  }
  return names;
}

std::vector<std::string> begun_nameservers(const std::string &text) {
  static const std::string begin = "begin to test ";
  std::vector<std::string> names;
  for (const std::string &line : split_lines(text)) {
    if (line.compare(0, begin.size(), begin) == 0)
      names.push_back(line.substr(begin.size()));
  }
  return names;
}

#include "run/nx_probe.h"

#include "net/dns_message.h"

#include <algorithm>
#include <random>

namespace {

enum {
  // Two random labels, each asked under com., as www. under com., under
  // cn. and under invalid.
  NX_LABELS = 2,
  NX_LABEL_SIZE = 16,
};

} // namespace

std::vector<std::string> nx_probe_names(void) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::vector<std::string> names;
  for (int k = 0; k < NX_LABELS; ++k) {
    std::string label;
    for (int i = 0; i < NX_LABEL_SIZE; ++i)
      label += letters[random() % (sizeof letters - 1)];
    for (const char *suffix : {".com.", ".cn.", ".invalid."})
      names.push_back(label + suffix);
    names.insert(names.end() - 2, "www." + label + ".com.");
  }
  return names;
}

nx_result judge_nx_names(const std::vector<std::string> &names,
                         const std::vector<int> &outcomes,
                         const std::vector<probe_answers> &answers, int qtype) {
  nx_result nx;
  nx.names = names;
  // Addresses lead somewhere: the answers of other types are no redirect.
  const bool addresses = qtype == DNS_TYPE_A || qtype == DNS_TYPE_AAAA;
  bool all_negative = !names.empty();
  for (std::size_t i = 0; i < names.size(); ++i) {
    all_negative = all_negative && outcomes[i] == PROBE_NEGATIVE;
    for (const std::string &answer : answers[i].answers) {
      if (addresses &&
          std::find(nx.addrs.begin(), nx.addrs.end(), answer) == nx.addrs.end())
        nx.addrs.push_back(answer);
    }
  }
  nx.verdict = !nx.addrs.empty() ? NX_HIJACK
               : all_negative    ? NX_CLEAN
                                 : NX_UNKNOWN;
  return nx;
}

bool nx_redirected(const nx_result &nx, const probe_answers &answers) {
  if (nx.verdict != NX_HIJACK || answers.answers.empty())
    return false;
  for (const std::string &answer : answers.answers) {
    if (std::find(nx.addrs.begin(), nx.addrs.end(), answer) == nx.addrs.end())
      return false;
  }
  return true;
}

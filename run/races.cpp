#include "run/races.h"

#include <algorithm>

namespace {

// The answers of a reply, sorted, for comparing: order and TTL do not
// count.
std::vector<std::string> answer_set(const probe_answers &answers) {
  std::vector<std::string> set = answers.answers;
  std::sort(set.begin(), set.end());
  return set;
}

} // namespace

void note_echo(pass_result *pass, std::size_t number, const probe_answers &echo,
               const probe_echo *e) {
  auto race = pass->races.find(number);
  if (race == pass->races.end()) {
    probe_answers first{{}, {}, -1};
    pass->answers.get(number, &first);
    if (answer_set(first) == answer_set(echo))
      return; // the same answer again: no race
    race = pass->races.emplace(number, std::vector<kept_reply>{}).first;
    race->second.push_back(
        kept_reply{probe_at(pass, number / 2, number % 2 != 0).reply_us, first,
                   e->first_ip_ttl});
  }
  race->second.push_back(kept_reply{e->us, echo, e->ip_ttl});
}

std::vector<std::size_t> judge_races(pass_result *pass) {
  std::vector<std::size_t> suspect;
  for (const auto &race : pass->races) {
    stored_probe &probe = probe_at(pass, race.first / 2, race.first % 2 != 0);
    if (probe.outcome != PROBE_OK && probe.outcome != PROBE_NEGATIVE)
      continue;
    probe.outcome = PROBE_FAILED;
    probe.error = RUN_ERROR_SUSPECT;
    suspect.push_back(race.first);
  }
  return suspect;
}

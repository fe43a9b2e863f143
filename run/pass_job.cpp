#include "run/pass_job.h"

engine_name name_at(const pass_job *job, std::size_t at) {
  engine_name n{job->fallback ? job->truncated[at] : at, false, 0, false};
  if (n.whole < job->nx_names.size())
    return n;
  const std::size_t index = n.whole - job->nx_names.size();
  n.line_probe = true;
  n.line = (*job->probed)[index / 2];
  n.www = index % 2 != 0;
  return n;
}

std::string probe_name(const pass_job *job, std::size_t line, bool www) {
  const std::string &domain = job->list->lines[line].domain;
  return www ? "www." + domain : domain;
}

round_probe &round_at(pass_result *pass, int round, std::size_t line,
                      bool www) {
  return pass
      ->rounds[static_cast<std::size_t>(round - 1)][probe_number(line, www)];
}

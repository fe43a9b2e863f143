// The CSV export, by RFC 4180: a row per probed name.
#include "cli/export.h"

#include "cli/names.h"
#include "cli/results.h"
#include "cli/text.h"
#include "net/probe.h"

#include <cstring>

namespace {

void csv_row(std::FILE *out, const std::string &ns, const std::string &tag,
             const std::string &domain, const std::string &name,
             const std::string &ascii, const stored_probe &probe,
             const answer_store &kept, std::size_t at) {
  char ms[32] = "";
  if (probe.reply_us >= 0)
    std::snprintf(ms, sizeof ms, "%.3f", probe.reply_us / 1000.0);
  const bool failed =
      probe.outcome != PROBE_OK && probe.outcome != PROBE_NEGATIVE;
  probe_answers answers;
  const std::string answer_text =
      kept.get(at, &answers) ? joined(answers.answers, " ") : "";
  std::fprintf(out, "%s,%s,%s,%s,%s,%s,%d,%s,%s,%s,%s,%s\r\n",
               csv_field(ns).c_str(), csv_field(tag).c_str(),
               csv_field(domain).c_str(), csv_field(name).c_str(),
               probe_outcome_name(probe), ms, probe.attempts,
               rcode_name(probe.rcode).c_str(),
               failed ? error_name(probe.error) : "", csv_field(ascii).c_str(),
               verdict_name(probe.verdict), csv_field(answer_text).c_str());
}

} // namespace

// RFC 4180: quoted when it holds a comma, a quote or a line end; a field a
// spreadsheet would take for a formula (one that starts with = + - @, a tab
// or a carriage return) gets a leading apostrophe. A lone "-", the row of
// bare domains, is no formula and stays as it is.
std::string csv_field(const std::string &value) {
  std::string field = value;
  if (!field.empty() && field != "-" && std::strchr("=+-@\t\r", field[0]))
    field.insert(0, "'");
  if (field.find_first_of(",\"\r\n") == std::string::npos)
    return field;
  std::string quoted = "\"";
  for (char c : field) {
    if (c == '"')
      quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

void write_csv(std::FILE *out, const run_results &r) {
  std::fputs("nameserver,provider,domain,name,outcome,ms,attempts,rcode,"
             "error,ascii,authority,answers\r\n",
             out);
  const std::vector<list_line> &lines = r.list->lines;
  const int done = r.done();
  for (int p = 0; p < done; ++p) {
    const kept_pass &pass = r.passes[static_cast<std::size_t>(p)];
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].row < 0)
        continue;
      const std::string domain = domain_text(r, i);
      const std::string &tag = provider_name(r, lines[i].row);
      const bool converted = r.list->written.count(i) != 0;
      const std::string ascii = converted ? lines[i].domain : "";
      csv_row(out, pass.result.ns, tag, domain, domain, ascii,
              pass.result.lines[i].bare, pass.result.answers,
              probe_number(i, false));
      csv_row(out, pass.result.ns, tag, domain, "www." + domain,
              converted ? "www." + ascii : "", pass.result.lines[i].www,
              pass.result.answers, probe_number(i, true));
    }
  }
}

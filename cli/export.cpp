// JSON through nlohmann::json (escaping, numbers, UTF-8 checks), CSV by
// RFC 4180.
#include "cli/export.h"

#include "cli/results.h"
#include "cli/text.h"
#include "net/probe.h"
#include "version.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>

namespace {

typedef nlohmann::ordered_json json;

struct domain_text {
  std::string utf8;
  bool exact; // false when bytes became U+FFFD; the JSON then adds them
};

domain_text domain_texts[MAX_DOMAINS];
int passes_exported;
std::string json_of_pass[MAX_PASSES];
std::string csv_of_pass[MAX_PASSES];

// The domain part of a list line: what follows the first colon.
const char *domain_of(int line) {
  const char *colon =
      domain_list[line] ? std::strchr(domain_list[line], ':') : nullptr;
  return colon ? colon + 1 : "";
}

// A rate or latency: null where there is none, never NaN.
json number(double value, double scale) {
  if (std::isnan(value))
    return nullptr;
  return std::round(value * scale) / scale;
}

const char *outcome_name(int outcome) {
  if (outcome == PROBE_OK)
    return "ok";
  return outcome == PROBE_NEGATIVE ? "negative" : "failed";
}

json probe_json(const probe_record &probe) {
  json j;
  j["outcome"] = outcome_name(probe.outcome);
  j["ms"] = probe.timing.reply_us >= 0
                ? number(probe.timing.reply_us / 1000.0, 1000.0)
                : json(nullptr);
  j["attempts"] = probe.timing.attempts;
  return j;
}

std::string hex_of(const char *bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes);
       *p; ++p) {
    hex += digits[*p >> 4];
    hex += digits[*p & 15];
  }
  return hex;
}

// Every text is UTF-8 by now (utf8_text); should one not be, its bad bytes
// become U+FFFD rather than an exception.
std::string dump(const json &j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string make_pass_json(const pass_record *pass) {
  int ok, count;
  double rate = total_rate(pass, &ok, &count);
  json total;
  total["ok"] = ok;
  total["count"] = count;
  total["rate"] = number(rate, 10000.0);

  std::string text = "    {\n      \"address\": " + dump(pass->ns) +
                     ",\n      \"total\": " + dump(total) +
                     ",\n      \"providers\": [";
  for (int row = 0; row < PROVIDER_TAG_COUNT; ++row) {
    row_figures f;
    row_figures_of(pass, row, &f);
    json p;
    p["tag"] = provider_tags[row];
    p["lines"] = f.lines;
    p["ok"] = f.ok;
    p["negative"] = f.negative;
    p["failed"] = f.failed;
    p["probed"] = f.probed;
    p["rate"] = number(f.rate, 10000.0);
    p["median_ms"] = number(f.median_ms, 1000.0);
    p["p95_ms"] = number(f.p95_ms, 1000.0);
    text += row ? ",\n        " : "\n        ";
    text += dump(p);
  }
  text += "\n      ],\n      \"names\": [";
  bool first = true;
  for (int i = 0; i < domain_count; ++i) {
    const line_record &line = pass->lines[i];
    if (line.row == NO_ROW)
      continue;
    json n;
    n["provider"] = provider_tags[line.row];
    n["domain"] = domain_texts[i].utf8;
    if (!domain_texts[i].exact)
      n["domain_hex"] = hex_of(domain_of(i));
    n["bare"] = probe_json(line.bare);
    n["www"] = probe_json(line.www);
    text += first ? "\n        " : ",\n        ";
    text += dump(n);
    first = false;
  }
  text += first ? "]\n    }" : "\n      ]\n    }";
  return text;
}

// RFC 4180: quoted when it holds a comma, a quote or a line end; a field a
// spreadsheet would take for a formula gets a leading apostrophe.
std::string csv_field(const std::string &value) {
  std::string field = value;
  if (!field.empty() && std::strchr("=+-@\t\r", field[0]))
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

void csv_row(std::string *text, const char *ns, int row,
             const std::string &domain, const std::string &name,
             const probe_record &probe) {
  char ms[32] = "";
  if (probe.timing.reply_us >= 0)
    std::snprintf(ms, sizeof ms, "%.3f", probe.timing.reply_us / 1000.0);
  char tail[64];
  std::snprintf(tail, sizeof tail, ",%s,%s,%d\r\n", outcome_name(probe.outcome),
                ms, probe.timing.attempts);
  *text += ns;
  *text += ',';
  *text += provider_tags[row];
  *text += ',' + csv_field(domain) + ',' + csv_field(name) + tail;
}

std::string make_pass_csv(const pass_record *pass) {
  std::string text;
  for (int i = 0; i < domain_count; ++i) {
    const line_record &line = pass->lines[i];
    if (line.row == NO_ROW)
      continue;
    const std::string &domain = domain_texts[i].utf8;
    csv_row(&text, pass->ns, line.row, domain, domain, line.bare);
    csv_row(&text, pass->ns, line.row, domain, "www." + domain, line.www);
  }
  return text;
}

} // namespace

void prepare_domain_texts(void) {
  for (int i = 0; i < domain_count; ++i)
    domain_texts[i].exact = utf8_text(domain_of(i), &domain_texts[i].utf8);
}

const std::string &domain_text(int line) {
  return domain_texts[line].utf8;
}

bool run_complete(const export_run *run) {
  return !run->stopped && passes_exported == run->passes_planned;
}

void export_pass(int index) {
  json_of_pass[index] = make_pass_json(&passes[index]);
  csv_of_pass[index] = make_pass_csv(&passes[index]);
  passes_exported = index + 1;
}

void write_json(std::FILE *out, const export_run *run) {
  std::string list;
  utf8_text(run->list_path, &list);
  json lines;
  lines["stored"] = run->stored;
  lines["usable"] = run->usable;
  std::fprintf(out,
               "{\n  \"version\": %s,\n  \"started\": %s,\n  \"list\": %s,\n"
               "  \"lines\": %s,\n  \"complete\": %s,\n  \"nameservers\": [",
               dump(ZELKOR_VERSION).c_str(), dump(run->started).c_str(),
               dump(list).c_str(), dump(lines).c_str(),
               run_complete(run) ? "true" : "false");
  for (int p = 0; p < passes_exported; ++p)
    std::fprintf(out, "%s\n%s", p ? "," : "", json_of_pass[p].c_str());
  std::fputs(passes_exported ? "\n  ]\n}\n" : "]\n}\n", out);
}

void write_csv(std::FILE *out) {
  std::fputs("nameserver,provider,domain,name,outcome,ms,attempts\r\n", out);
  for (int p = 0; p < passes_exported; ++p)
    std::fputs(csv_of_pass[p].c_str(), out);
}

// The JSON export, through nlohmann::json (escaping, numbers, UTF-8
// checks).
#include "cli/export.h"

#include "cli/names.h"
#include "cli/results.h"
#include "cli/text.h"
#include "net/probe.h"
#include "version.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace {

typedef nlohmann::ordered_json json;

// A rate or latency: null where there is none, never NaN.
json number(double value, double scale) {
  if (std::isnan(value))
    return nullptr;
  return std::round(value * scale) / scale;
}

// Where a checked probe's failure lies, and what each authoritative server
// did.
json authority_json(const stored_probe &probe, const std::string &name,
                    int qtype, const run_results &r) {
  json a;
  a["verdict"] = verdict_name(probe.verdict);
  const auth_check *check =
      r.checks ? authority_result(r.checks, name, qtype) : nullptr;
  if (!check)
    return a;
  a["zone"] = check->zone;
  if (!check->reason.empty())
    a["reason"] = check->reason;
  else if (!check->chain_reason.empty())
    a["reason"] = check->chain_reason;
  if (!check->chain.empty())
    a["chain"] = check->chain;
  json servers = json::array();
  for (const auth_server &s : check->servers) {
    json server;
    server["name"] = s.name;
    server["address"] = s.address;
    server["outcome"] = auth_outcome_name(s.reply.outcome);
    server["rcode"] =
        s.reply.rcode >= 0 ? json(rcode_name(s.reply.rcode)) : json(nullptr);
    server["aa"] = s.reply.aa;
    server["ms"] = s.reply.ms >= 0 ? json(s.reply.ms) : json(nullptr);
    server["transport"] = transport_name(s.reply.transport);
    if (s.child_only)
      server["child_only"] = true;
    servers.push_back(server);
  }
  a["servers"] = servers;
  return a;
}

void answers_json(const probe_answers &answers, json *j) {
  (*j)["answers"] = answers.answers;
  (*j)["cname"] = answers.cname;
  (*j)["ttl"] = answers.ttl >= 0 ? json(answers.ttl) : json(nullptr);
}

// One round of a probe, from round 1's record or a later round's.
template <typename P> json round_json(const P &probe) {
  json r;
  r["outcome"] = probe_outcome_name(probe.outcome, probe.error);
  r["ms"] = probe.reply_us >= 0 ? number(probe.reply_us / 1000.0, 1000.0)
                                : json(nullptr);
  r["rcode"] = probe.rcode >= 0 ? json(rcode_name(probe.rcode)) : json(nullptr);
  r["error"] = probe.outcome == PROBE_FAILED ? json(error_name(probe.error))
                                             : json(nullptr);
  r["attempts"] = probe.attempts;
  return r;
}

json rounds_json(const stored_probe &first, const pass_result &pass,
                 std::size_t at) {
  json rounds = json::array({round_json(first)});
  for (const std::vector<round_probe> &round : pass.rounds)
    rounds.push_back(round_json(round[at]));
  return rounds;
}

json probe_json(const stored_probe &probe, const std::string &name, int qtype,
                const pass_result &pass, std::size_t at, const run_results &r) {
  json j;
  j["outcome"] = probe_outcome_name(probe);
  j["ms"] = probe.reply_us >= 0 ? number(probe.reply_us / 1000.0, 1000.0)
                                : json(nullptr);
  j["attempts"] = probe.attempts;
  j["rcode"] = probe.rcode >= 0 ? json(rcode_name(probe.rcode)) : json(nullptr);
  if (probe.outcome != PROBE_OK && probe.outcome != PROBE_NEGATIVE)
    j["error"] = error_name(probe.error);
  if (probe.tcp_fallback)
    j["tcp_fallback"] = true;
  if (!pass.rounds.empty()) {
    j["rounds"] = rounds_json(probe, pass, at);
    j["stability"] = stability_name(stability_of(pass, at / 2, at % 2 != 0));
  }
  probe_answers answers;
  if (pass.answers.get(at, &answers))
    answers_json(answers, &j);
  if (probe.vs_authority == VS_SAME)
    j["vs_authority"] = "same";
  else if (probe.vs_authority == VS_DIFFERS)
    j["vs_authority"] = "differs";
  else if (probe.vs_authority == VS_UNVERIFIABLE)
    j["vs_authority"] = "unverifiable";
  if (probe.error == RUN_ERROR_SUSPECT) {
    auto race = pass.races.find(at);
    json reasons = json::array();
    if (race != pass.races.end())
      reasons.push_back("race");
    if (pass.bogons.count(at))
      reasons.push_back("bogon");
    j["reasons"] = reasons;
    if (race != pass.races.end()) {
      json replies = json::array();
      for (const kept_reply &kept : race->second) {
        json reply;
        reply["ms"] =
            kept.us >= 0 ? number(kept.us / 1000.0, 1000.0) : json(nullptr);
        answers_json(kept.answers, &reply);
        reply["ip_ttl"] = kept.ip_ttl >= 0 ? json(kept.ip_ttl) : json(nullptr);
        replies.push_back(reply);
      }
      j["replies"] = replies;
    }
  }
  if (probe.verdict != VERDICT_NONE && probe.verdict != VERDICT_NOT_CHECKED)
    j["authority"] = authority_json(probe, name, qtype, r);
  return j;
}

std::string hex_of(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (char byte : bytes) {
    const unsigned char c = static_cast<unsigned char>(byte);
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

// Every text is UTF-8 by now (domain_text); should one not be, its bad
// bytes become U+FFFD rather than an exception.
std::string dump(const json &j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// What the nameserver did with names that cannot exist, as a line of the
// nameserver's object; none when they were not asked.
std::string nx_json(const kept_pass &pass) {
  const nx_result &nx = pass.result.nx;
  if (nx.verdict == NX_NONE)
    return "";
  json j;
  j["verdict"] = nx_verdict_name(nx.verdict);
  j["addrs"] = nx.addrs;
  j["names"] = nx.names;
  j["redirected"] = pass.total.errors[RUN_ERROR_REDIRECTED];
  return "      \"nx_probe\": " + dump(j) + ",\n";
}

void write_pass_json(std::FILE *out, const kept_pass *pass, int qtype,
                     const run_results &r) {
  int ok, count;
  double rate = total_rate(r, pass, &ok, &count);
  json total;
  total["ok"] = ok;
  total["count"] = count;
  total["rate"] = number(rate, 10000.0);
  total["median_ms"] = number(pass->total.median_ms, 1000.0);
  total["p95_ms"] = number(pass->total.p95_ms, 1000.0);
  if (!pass->result.rounds.empty()) {
    total["cold_median_ms"] = number(pass->total.cold_median_ms, 1000.0);
    total["warm_median_ms"] = number(pass->total.warm_median_ms, 1000.0);
  }
  const stream_stats &stream = pass->result.stream;
  json connections;
  connections["opened"] = stream.opened;
  connections["reconnections"] = stream.reconnections;
  connections["resumed"] = stream.resumed;
  connections["setup_failures"] = stream.setup_failures;
  connections["setup_median_ms"] =
      number(setup_ms(stream.setup_us, 50), 1000.0);
  connections["setup_p95_ms"] = number(setup_ms(stream.setup_us, 95), 1000.0);
  connections["tcp_fallbacks"] = pass->result.fallbacks;
  if (pass->result.transport == NS_QUIC)
    connections["zero_rtt"] = stream.zero_rtt;
  std::fprintf(out,
               "    {\n      \"address\": %s,\n      \"transport\": %s,\n"
               "      \"connect_address\": %s,\n"
               "      \"total\": %s,\n"
               "      \"replied\": %s,\n      \"connections\": %s,\n"
               "%s"
               "      \"providers\": [",
               dump(pass->result.ns).c_str(),
               dump(transport_name(pass->result.transport)).c_str(),
               dump(pass->result.address).c_str(), dump(total).c_str(),
               pass->any_reply ? "true" : "false", dump(connections).c_str(),
               nx_json(*pass).c_str());
  for (int row = 0; row < provider_rows(r); ++row) {
    const row_figures &f = figures_of(pass, row);
    json p;
    p["tag"] = provider_name(r, row);
    p["lines"] = f.lines;
    p["ok"] = f.ok;
    p["negative"] = f.negative;
    p["failed"] = f.failed;
    p["probed"] = f.probed;
    p["rate"] = number(f.rate, 10000.0);
    p["median_ms"] = number(f.median_ms, 1000.0);
    p["p95_ms"] = number(f.p95_ms, 1000.0);
    if (!pass->result.rounds.empty()) {
      p["cold_median_ms"] = number(f.cold_median_ms, 1000.0);
      p["warm_median_ms"] = number(f.warm_median_ms, 1000.0);
      p["flaky"] = f.flaky;
      p["down"] = f.down;
    }
    json errors = json::object();
    for (int e = PROBE_ERROR_TIMEOUT; e < ERROR_KINDS; ++e)
      errors[error_name(e)] = f.errors[e];
    p["errors"] = errors;
    if (r.checks) {
      json verdicts = json::object();
      for (int v = VERDICT_RESOLVER; v <= VERDICT_UNVERIFIABLE; ++v)
        verdicts[verdict_name(v)] = f.verdicts[v];
      verdicts["not_checked"] = f.verdicts[VERDICT_NOT_CHECKED];
      p["authority"] = verdicts;
    }
    std::fprintf(out, "%s%s", row ? ",\n        " : "\n        ",
                 dump(p).c_str());
  }
  std::fputs("\n      ],\n      \"names\": [", out);
  bool first = true;
  const std::vector<list_line> &lines = r.list->lines;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].row < 0)
      continue;
    const line_probes &probes = pass->result.lines[i];
    bool exact = true;
    json n;
    n["provider"] = provider_name(r, lines[i].row);
    n["domain"] = domain_text(r, i, &exact);
    if (!exact)
      n["domain_hex"] = hex_of(written_domain(r.list, i));
    // The form asked, where it is not the one written.
    if (r.list->written.count(i))
      n["ascii"] = lines[i].domain;
    n["bare"] = probe_json(probes.bare, lines[i].domain, qtype, pass->result,
                           probe_number(i, false), r);
    n["www"] = probe_json(probes.www, "www." + lines[i].domain, qtype,
                          pass->result, probe_number(i, true), r);
    std::fprintf(out, "%s%s", first ? "\n        " : ",\n        ",
                 dump(n).c_str());
    first = false;
  }
  std::fputs(first ? "]\n    }" : "\n      ]\n    }", out);
}

} // namespace

bool run_complete(const export_run *run, const run_results &r) {
  return !run->stopped && r.done() == run->passes_planned;
}

void write_json(std::FILE *out, const export_run *run, const run_results &r) {
  std::string list;
  utf8_text(run->list_path, &list);
  json lines;
  lines["stored"] = r.list->lines.size();
  lines["usable"] = r.list->probed;
  json settings;
  settings["rules"] = run->rules;
  settings["concurrency"] = run->concurrency;
  settings["timeout_ms"] = run->timeout_ms;
  settings["attempts"] = run->attempts;
  settings["rounds"] = run->rounds;
  settings["side_by_side"] = run->side_by_side;
  settings["rate"] = run->rate > 0 ? json(run->rate) : json(nullptr);
  settings["type"] = run->type;
  settings["tcp_fallback"] = run->tcp_fallback;
  settings["insecure"] = run->insecure;
  std::fprintf(out,
               "{\n  \"version\": %s,\n  \"site\": %s,\n  \"started\": %s,\n"
               "  \"list\": %s,\n"
               "  \"lines\": %s,\n  \"settings\": %s,\n  \"complete\": %s,\n"
               "  \"nameservers\": [",
               dump(ZELKOR_VERSION).c_str(), dump(run->site).c_str(),
               dump(run->started).c_str(), dump(list).c_str(),
               dump(lines).c_str(), dump(settings).c_str(),
               run_complete(run, r) ? "true" : "false");
  const int done = r.done();
  for (int p = 0; p < done; ++p) {
    std::fputs(p ? ",\n" : "\n", out);
    write_pass_json(out, &r.passes[static_cast<std::size_t>(p)], run->qtype, r);
  }
  std::fputs(done ? "\n  ]" : "]", out);
  if (r.checks) {
    json servers = json::array();
    for (const auth_tally &t : authority_tallies(r.checks)) {
      json server;
      server["address"] = t.address;
      server["name"] = t.name;
      server["zone"] = t.zone;
      server["queries"] = t.queries;
      server["failures"] = t.failures;
      servers.push_back(server);
    }
    std::fprintf(out, ",\n  \"authoritative_servers\": %s",
                 dump(servers).c_str());
  }
  std::fputs("\n}\n", out);
}

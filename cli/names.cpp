// The names the terminal program gives things, for every output.
#include "cli/names.h"

#include "cli/results.h"
#include "net/probe.h"
#include "run/authority.h"

#include <cmath>
#include <cstdio>

namespace {

const char *const ERROR_NAMES[ERROR_KINDS] = {
    "",        "timeout",    "rcode",   "truncated", "unsendable",
    "network", "idna",       "connect", "tls",       "http",
    "format",  "redirected", "suspect", "quic",      "noanswer",
};

const char *const TRANSPORT_NAMES[] = {"udp", "tcp", "tls", "https", "quic"};

} // namespace

const char *outcome_name(int outcome) {
  if (outcome == PROBE_OK)
    return "ok";
  return outcome == PROBE_NEGATIVE ? "negative" : "failed";
}

const char *probe_outcome_name(int outcome, int error) {
  if (error == RUN_ERROR_REDIRECTED)
    return "redirected";
  return error == RUN_ERROR_SUSPECT ? "suspect" : outcome_name(outcome);
}

const char *probe_outcome_name(const stored_probe &probe) {
  return probe_outcome_name(probe.outcome, probe.error);
}

const char *nx_verdict_name(int verdict) {
  switch (verdict) {
  case NX_CLEAN:
    return "clean";
  case NX_HIJACK:
    return "hijack";
  case NX_UNKNOWN:
    return "unknown";
  default:
    return "";
  }
}

const char *error_name(int error) {
  return error >= 0 && error < ERROR_KINDS ? ERROR_NAMES[error] : "";
}

// "NOERROR", "NXDOMAIN", ... for a response code; "" for none (-1).
std::string rcode_name(int rcode) {
  static const char *const NAMES[] = {
      "NOERROR",  "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED",
      "YXDOMAIN", "YXRRSET", "NXRRSET",  "NOTAUTH",  "NOTZONE"};
  if (rcode < 0)
    return "";
  if (rcode < static_cast<int>(sizeof NAMES / sizeof NAMES[0]))
    return NAMES[rcode];
  return "RCODE" + std::to_string(rcode);
}

const char *transport_name(int transport) {
  const int known =
      static_cast<int>(sizeof TRANSPORT_NAMES / sizeof TRANSPORT_NAMES[0]);
  return transport >= 0 && transport < known ? TRANSPORT_NAMES[transport] : "";
}

const char *verdict_name(int verdict) {
  switch (verdict) {
  case VERDICT_RESOLVER:
    return "resolver";
  case VERDICT_PARTIAL:
    return "partial";
  case VERDICT_AUTHORITY:
    return "authority";
  case VERDICT_CONFIRMED:
    return "confirmed";
  case VERDICT_UNVERIFIABLE:
    return "unverifiable";
  default:
    return "";
  }
}

std::string ms_text(double ms) {
  if (std::isnan(ms))
    return "-";
  char text[32];
  if (ms < 10.0)
    std::snprintf(text, sizeof text, "%.2f ms", ms);
  else if (ms < 1000.0)
    std::snprintf(text, sizeof text, "%.1f ms", ms);
  else
    std::snprintf(text, sizeof text, "%.0f ms", ms);
  return text;
}

std::string rate_text(double rate) {
  if (std::isnan(rate))
    return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", rate);
  return text;
}

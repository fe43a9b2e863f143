// The names the terminal program gives things, one place for every output
// (the table, JSON, CSV, the HTML report and the metrics): outcomes, causes,
// response codes, transports, verdicts and durations.
#ifndef CLI_NAMES_H
#define CLI_NAMES_H

#include <string>

struct stored_probe;

// "ok", "negative" or "failed" for a PROBE_ outcome.
const char *outcome_name(int outcome);
// As outcome_name, but "redirected" or "suspect" for a probe judged so
// (by its error), in round 1 or a later round.
const char *probe_outcome_name(int outcome, int error);
const char *probe_outcome_name(const stored_probe &probe);
// "clean", "hijack" or "unknown" for an NX_ verdict; "" for none.
const char *nx_verdict_name(int verdict);
// "timeout", "rcode", ... for a PROBE_ERROR_; "" for none.
const char *error_name(int error);
// "NOERROR", "NXDOMAIN", ... for a response code; "" for none (-1).
std::string rcode_name(int rcode);
// "udp", "tcp", "tls" or "https" for an NS_ transport.
const char *transport_name(int transport);
// "resolver", "partial", "authority", "confirmed", "unverifiable" for a
// VERDICT_; "" for none or one not checked.
const char *verdict_name(int verdict);
// A duration as a person reads it: "0.52 ms", "12.3 ms", "1235 ms"; "-" for
// none (NaN).
std::string ms_text(double ms);
// A rate in percent as the terminal table prints it: "100.0%"; "-" for
// none (NaN).
std::string rate_text(double rate);

#endif

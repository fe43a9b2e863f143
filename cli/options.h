// The terminal program's command line.
#ifndef CLI_OPTIONS_H
#define CLI_OPTIONS_H

#include <cstddef>
#include <vector>

enum {
  // Queries in flight by default: the Windows program's ten workers.
  DEFAULT_CONCURRENCY = 10,
};

// Which probes are checked against the authoritative servers.
enum {
  AUTHORITY_FAILED, // failed and negative ones
  AUTHORITY_ALL,
  AUTHORITY_OFF,
};

enum {
  ACTION_RUN,
  ACTION_HELP,
  ACTION_VERSION,
};

struct cli_options {
  int action;
  const char *list_path;
  std::vector<const char *> servers; // -s, in the order given
  const char *log_path;              // null with --no-log
  const char *json_path;             // null for none; "-" for standard output
  const char *csv_path;
  const char *html_path;    // null for none
  const char *metrics_path; // null for none
  bool has_min_rate;
  double min_rate;
  bool quiet;
  bool classic;        // the Windows program's list rules and nameservers
  int connections;     // per TCP, TLS or HTTPS nameserver
  const char *ca_file; // --ca-file, or null
  bool insecure;       // --insecure
  bool doh_get;        // --doh-get
  int concurrency;
  int timeout_ms;
  int attempts;
  double rate; // queries a second; 0 for no limit
  int qtype;
  const char *type_name;
  int authority;          // AUTHORITY_
  int authority_max;      // checks per provider and nameserver
  double authority_rate;  // queries a second to one authoritative address
  const char *root_hints; // --root-hints FILE, or null for the built-in
  int hold_ms;            // listening after a deciding reply; 0: not at all
  bool one_at_a_time;     // the nameservers in turn, not side by side
  int rounds;             // asks of every name
  const char *site;       // --site NAME, or null for the host's name
};

// 0, or -1 with the reason in `error` (one line, no program name).
int parse_options(int argc, char **argv, cli_options *options, char *error,
                  std::size_t error_size);
// What --help prints.
extern const char USAGE_TEXT[];

#endif

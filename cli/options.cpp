// The command line: getopt_long, then checks that no datagram is sent for
// a value that is not what the user meant.
#include "cli/options.h"

#include "net/dns_message.h"
#include "net/engine.h"
#include "net/ns_address.h"
#include "net/probe.h"
#include "net/target_run.h"
#include "run/slice_worker.h"

#include <getopt.h>
#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char USAGE_TEXT[] =
    "Usage: zelkor [OPTIONS] [LIST]\n"
    "       zelkor report [--html FILE] [--json FILE] [--csv FILE] "
    "RUN.json...\n"
    "       zelkor compare [--json FILE] OLD.json NEW.json\n"
    "Tests how reliably DNS nameservers resolve the domains of LIST (default\n"
    "./domains.txt): one record (A unless -t) of every domain and of\n"
    "www.domain, over UDP, and reports each provider's success rate and\n"
    "latency per nameserver.\n"
    "Under the open rules (all but --classic) a name is ok when the reply is\n"
    "NOERROR with a record of the asked type (at the end of its CNAME\n"
    "chain), negative for NXDOMAIN or no data, and failed otherwise.\n"
    "Each nameserver is also asked eight names that cannot exist: one that\n"
    "answers them with addresses redirects, and an answer that only leads\n"
    "there counts as a failure (redirected); so do replies to one query\n"
    "that disagree (suspect, see --hold).\n"
    "\n"
    "LIST: a line is tag:domain or a bare domain. The tag, the text before\n"
    "the first colon, names the DNS hosting provider: zelkor, quarin,\n"
    "tovessa, brelm, ruvo-ns, 9pel, marvoly and pelnox are built in (a tag\n"
    "that starts with one counts as it: quarin-cn is quarin); any other tag\n"
    "is a provider of its own, and bare domains are the provider '-'. Blanks\n"
    "around tag and domain are dropped; blank lines and lines starting with\n"
    "# are skipped. Any number of lines; UTF-8, or UTF-16 with its mark.\n"
    "For example:\n"
    "  # our domains\n"
    "  cloudflare:example.com\n"
    "  route53:example.org\n"
    "  www.example.net\n"
    "--classic reads LIST as the Windows program does instead: lines\n"
    "provider:domain with a built-in tag only, nothing trimmed, at most 2048\n"
    "lines; other lines count in the totals but are not probed.\n"
    "\n"
    "By default the machine's nameservers (the first two nameserver lines of\n"
    "/etc/resolv.conf, IPv4 or IPv6; with --classic IPv4 only) are tested,\n"
    "then 223.5.5.5 and 119.29.29.29 unless already among them.\n"
    "\n"
    "Options:\n"
    "  -s, --server ADDR   test the nameserver ADDR instead: 192.0.2.53,\n"
    "                      192.0.2.53:5353, 2001:db8::53, "
    "[2001:db8::53]:5353;\n"
    "                      tcp://ADDR for DNS over TCP, tls://HOST for DNS\n"
    "                      over TLS (port 853), https://HOST[/PATH] for DNS\n"
    "                      over HTTPS (port 443, /dns-query), quic://HOST\n"
    "                      for DNS over QUIC (UDP port 853); HOST is an\n"
    "                      address, a name (looked up once), or\n"
    "                      NAME@ADDR; repeat for several, shown in the\n"
    "                      order given\n"
    "      --rounds N      ask every name N times of every nameserver, a\n"
    "                      round after another, 1 to 10 (default 1): the\n"
    "                      first ask is cold, the later ones warm; a name\n"
    "                      that fails in some rounds is flaky, in every\n"
    "                      round down\n"
    "      --site NAME     where the run is made, as its files name it\n"
    "                      (default: the host's name)\n"
    "      --one-at-a-time test the nameservers one after another, not all\n"
    "                      at once (the open rules test them side by side,\n"
    "                      each with its own -c queries in flight, so that\n"
    "                      all meet the same moments of the network)\n"
    "  -c, --concurrency N queries in flight to a nameserver, 1 to 10000\n"
    "                      (default 10)\n"
    "      --timeout MS    wait for a reply MS milliseconds, 1 to 60000\n"
    "                      (default 2000)\n"
    "      --attempts N    queries for a name without a reply, 1 to 5\n"
    "                      (default 2)\n"
    "      --rate QPS      send at most QPS queries a second to a nameserver\n"
    "                      (default: no limit)\n"
    "      --connections N connections to a TCP, TLS, HTTPS or QUIC\n"
    "                      nameserver, 1 to 64 (default 1); -c queries\n"
    "                      share them\n"
    "      --ca-file FILE  trust the CA certificates in FILE (PEM) instead\n"
    "                      of the system's\n"
    "      --insecure      do not check TLS certificates\n"
    "      --doh-get       ask DNS over HTTPS with GET (default POST)\n"
    "  -t, --type TYPE     the record type asked: A (default), AAAA, MX, TXT,\n"
    "                      NS, CNAME, SOA, CAA, HTTPS, ... or TYPEnnn\n"
    "      --authority WHICH check failed and negative probes (failed, the\n"
    "                      default), every probe (all) or none (off)\n"
    "                      against the name's own authoritative servers,\n"
    "                      found from the root: a check costs a query to\n"
    "                      each of the zone's servers (two without EDNS or\n"
    "                      over TCP at most), once a run for each name,\n"
    "                      and the delegations are followed once a zone\n"
    "      --authority-max N  check at most N probes of a provider a\n"
    "                      nameserver (default 1000)\n"
    "      --authority-rate QPS  send at most QPS queries a second to one\n"
    "                      authoritative address (default 50)\n"
    "      --root-hints FILE  start from the root servers of FILE (root\n"
    "                      hints form) instead of IANA's\n"
    "      --hold MS       after the reply that decides a name, listen MS\n"
    "                      milliseconds more for replies that disagree\n"
    "                      (a forged one raced the true one): the name\n"
    "                      is then suspect (default 250; 0: off; never\n"
    "                      past the attempt's timeout)\n"
    "      --classic       the Windows program's list rules and nameservers\n"
    "      --log FILE      write the report to FILE (default ./log.txt)\n"
    "      --no-log        write no report file\n"
    "      --json FILE     write the results as JSON to FILE (- for stdout)\n"
    "      --csv FILE      write one CSV row per probed name to FILE\n"
    "                      (- for stdout)\n"
    "      --html FILE     write a report to look at (one page, nothing\n"
    "                      fetched) to FILE\n"
    "      --metrics FILE  write Prometheus metrics to FILE (for\n"
    "                      node_exporter's textfile collector)\n"
    "      --min-rate PCT  exit with status 1 when a nameserver's total\n"
    "                      success rate is below PCT (0 to 100)\n"
    "  -q, --quiet         show no progress\n"
    "  -h, --help          show this help and exit\n"
    "      --version       show the version and exit\n"
    "\n"
    "Numbers are read and written with a '.' whatever the locale. Every FILE\n"
    "is checked before anything is sent: an empty path, a directory, a\n"
    "missing folder or a file that cannot be written is an error.\n"
    "\n"
    "Exit status: 0 when the run finished (and every rate met --min-rate),\n"
    "1 when a rate was below --min-rate, 2 for a usage error, a list that\n"
    "cannot be read or has nothing to test, or a file or standard output\n"
    "that cannot be written. Stopped by SIGINT (Ctrl-C) or SIGTERM, it keeps\n"
    "the finished nameservers in every file, then ends by that signal (a\n"
    "shell shows 130 or 143).\n"
    "\n"
    "zelkor report puts runs' JSON files side by side (several sites, or\n"
    "several times at one): rates by provider, nameserver and site, latency,\n"
    "and the names that failed, with where the failure lies. zelkor compare\n"
    "says what changed between two runs of a list, and exits with 1 when a\n"
    "name newly fails or a nameserver starts redirecting names that do not\n"
    "exist. Both exit with 2 for a file that is no run's JSON.\n";

namespace {

enum {
  OPT_LOG = 256,
  OPT_NO_LOG,
  OPT_JSON,
  OPT_CSV,
  OPT_HTML,
  OPT_METRICS,
  OPT_MIN_RATE,
  OPT_VERSION,
  OPT_CLASSIC,
  OPT_ONE_AT_A_TIME,
  OPT_TIMEOUT,
  OPT_ATTEMPTS,
  OPT_CONNECTIONS,
  OPT_CA_FILE,
  OPT_INSECURE,
  OPT_DOH_GET,
  OPT_RATE,
  OPT_AUTHORITY,
  OPT_AUTHORITY_MAX,
  OPT_AUTHORITY_RATE,
  OPT_ROOT_HINTS,
  OPT_HOLD,
  OPT_ROUNDS,
  OPT_SITE,
  // Limits of the pace options.
  MAX_TIMEOUT_MS = 60000,
  MAX_RATE = 1000000,
  MAX_ROUNDS = 10,
};

const option LONG_OPTIONS[] = {
    {"server", required_argument, nullptr, 's'},
    {"log", required_argument, nullptr, OPT_LOG},
    {"no-log", no_argument, nullptr, OPT_NO_LOG},
    {"json", required_argument, nullptr, OPT_JSON},
    {"csv", required_argument, nullptr, OPT_CSV},
    {"html", required_argument, nullptr, OPT_HTML},
    {"metrics", required_argument, nullptr, OPT_METRICS},
    {"min-rate", required_argument, nullptr, OPT_MIN_RATE},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"classic", no_argument, nullptr, OPT_CLASSIC},
    {"one-at-a-time", no_argument, nullptr, OPT_ONE_AT_A_TIME},
    {"concurrency", required_argument, nullptr, 'c'},
    {"timeout", required_argument, nullptr, OPT_TIMEOUT},
    {"attempts", required_argument, nullptr, OPT_ATTEMPTS},
    {"connections", required_argument, nullptr, OPT_CONNECTIONS},
    {"ca-file", required_argument, nullptr, OPT_CA_FILE},
    {"insecure", no_argument, nullptr, OPT_INSECURE},
    {"doh-get", no_argument, nullptr, OPT_DOH_GET},
    {"rate", required_argument, nullptr, OPT_RATE},
    {"authority", required_argument, nullptr, OPT_AUTHORITY},
    {"authority-max", required_argument, nullptr, OPT_AUTHORITY_MAX},
    {"authority-rate", required_argument, nullptr, OPT_AUTHORITY_RATE},
    {"root-hints", required_argument, nullptr, OPT_ROOT_HINTS},
    {"hold", required_argument, nullptr, OPT_HOLD},
    {"rounds", required_argument, nullptr, OPT_ROUNDS},
    {"site", required_argument, nullptr, OPT_SITE},
    {"type", required_argument, nullptr, 't'},
    {nullptr, 0, nullptr, 0},
};

int fail(char *error, std::size_t size, const char *fmt, const char *what) {
  std::snprintf(error, size, fmt, what);
  return -1;
}

// A number written out in full from `low` to `high` ("95", "99.5"; not "",
// "5x" or "nan"); above `low` only, when `low_open`.
int parse_number(const char *text, double low, bool low_open, double high,
                 double *out) {
  char *end = nullptr;
  errno = 0;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) ||
      value < low || (low_open && value == low) || value > high)
    return -1;
  *out = value;
  return 0;
}

// getopt_long leaves the word it stopped at in argv[optind - 1] and the
// option's code in optopt, which for a long option is no character at all:
// the message names the option from the word, as the user typed it.
int option_error(const char *word, const char *problem, char *error,
                 std::size_t size) {
  if (std::strncmp(word, "--", 2) == 0) {
    const std::size_t length = std::strcspn(word, "=");
    // A long option the table knows, given a value it takes none of.
    if (!problem && optopt != 0)
      problem = "takes no value";
    std::snprintf(error, size, "option '%.*s' %s", static_cast<int>(length),
                  word, problem ? problem : "is unknown");
    return -1;
  }
  // A short option: the letter is optopt, wherever it stands in a group.
  if (optopt > ' ' && optopt < 127)
    std::snprintf(error, size, "option '-%c' %s", optopt,
                  problem ? problem : "is unknown");
  else
    std::snprintf(error, size, "option '%s' is unknown", word);
  return -1;
}

// A whole decimal number from `low` to `high`, written plainly.
int parse_count(const char *text, long low, long high, int *out) {
  char *end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < low ||
      value > high || !(*text >= '0' && *text <= '9'))
    return -1;
  *out = static_cast<int>(value);
  return 0;
}

struct record_type {
  const char *name;
  int code; // RFC 1035 3.2.2 and later registrations
};

const record_type RECORD_TYPES[] = {
    {"A", 1},     {"NS", 2},     {"CNAME", 5}, {"SOA", 6},
    {"PTR", 12},  {"MX", 15},    {"TXT", 16},  {"AAAA", 28},
    {"SRV", 33},  {"NAPTR", 35}, {"DS", 43},   {"DNSKEY", 48},
    {"SVCB", 64}, {"HTTPS", 65}, {"CAA", 257}, {"ANY", 255},
};

// "AAAA", "mx", "TYPE65": the code, or -1.
int parse_type(const char *text, const char **name) {
  for (const record_type &t : RECORD_TYPES) {
    if (strcasecmp(text, t.name) == 0) {
      *name = t.name;
      return t.code;
    }
  }
  int code;
  if (strncasecmp(text, "TYPE", 4) == 0 &&
      parse_count(text + 4, 1, 65535, &code) == 0) {
    *name = text;
    return code;
  }
  return -1;
}

// The options that take a whole number, and the range each allows.
struct count_option {
  int code;
  long low, high;
  int cli_options::*field;
  const char *message;
};

const count_option COUNT_OPTIONS[] = {
    {'c', 1, ENGINE_MAX_CONCURRENCY, &cli_options::concurrency,
     "--concurrency takes a number from 1 to 10000, not '%s'"},
    {OPT_TIMEOUT, 1, MAX_TIMEOUT_MS, &cli_options::timeout_ms,
     "--timeout takes milliseconds from 1 to 60000, not '%s'"},
    {OPT_ATTEMPTS, 1, ENGINE_MAX_ATTEMPTS, &cli_options::attempts,
     "--attempts takes a number from 1 to 5, not '%s'"},
    {OPT_CONNECTIONS, 1, STREAM_MAX_CONNECTIONS, &cli_options::connections,
     "--connections takes a number from 1 to 64, not '%s'"},
    {OPT_AUTHORITY_MAX, 0, 100000000, &cli_options::authority_max,
     "--authority-max takes a number from 0 to 100000000, not '%s'"},
    {OPT_ROUNDS, 1, MAX_ROUNDS, &cli_options::rounds,
     "--rounds takes a number from 1 to 10, not '%s'"},
    {OPT_HOLD, 0, MAX_TIMEOUT_MS, &cli_options::hold_ms,
     "--hold takes milliseconds from 0 to 60000, not '%s'"},
};

// The options that take queries a second.
struct rate_option {
  int code;
  double cli_options::*field;
  const char *message;
};

const rate_option RATE_OPTIONS[] = {
    {OPT_RATE, &cli_options::rate,
     "--rate takes queries a second above 0 and up to 1000000, not '%s'"},
    {OPT_AUTHORITY_RATE, &cli_options::authority_rate,
     "--authority-rate takes queries a second above 0 and up to 1000000, "
     "not '%s'"},
};

// The options that name a file, and the switches.
struct text_option {
  int code;
  const char *cli_options::*field;
};

const text_option TEXT_OPTIONS[] = {
    {OPT_CA_FILE, &cli_options::ca_file},
    {OPT_ROOT_HINTS, &cli_options::root_hints},
    {OPT_LOG, &cli_options::log_path},
    {OPT_JSON, &cli_options::json_path},
    {OPT_CSV, &cli_options::csv_path},
    {OPT_SITE, &cli_options::site},
};

struct switch_option {
  int code;
  bool cli_options::*field;
};

const switch_option SWITCH_OPTIONS[] = {
    {OPT_INSECURE, &cli_options::insecure},
    {OPT_DOH_GET, &cli_options::doh_get},
    {OPT_ONE_AT_A_TIME, &cli_options::one_at_a_time},
    {OPT_CLASSIC, &cli_options::classic},
    {'q', &cli_options::quiet},
};

cli_options default_options(void) {
  cli_options options{};
  options.action = ACTION_RUN;
  options.concurrency = DEFAULT_CONCURRENCY;
  options.timeout_ms = REPLY_TIMEOUT_MS;
  options.attempts = PROBE_ATTEMPTS;
  options.connections = 1;
  options.qtype = DNS_TYPE_A;
  options.type_name = "A";
  options.list_path = "./domains.txt";
  options.log_path = "./log.txt";
  options.authority = AUTHORITY_FAILED;
  options.authority_max = 1000;
  options.authority_rate = 50.0;
  options.hold_ms = 250;
  options.rounds = 1;
  return options;
}

// An option of the tables above: 0 when taken, -1 for a bad value, 1 when
// `c` is none of theirs.
int take_tabled(int c, cli_options *options, char *error,
                std::size_t error_size) {
  for (const count_option &o : COUNT_OPTIONS) {
    if (o.code == c)
      return parse_count(optarg, o.low, o.high, &(options->*o.field)) == 0
                 ? 0
                 : fail(error, error_size, o.message, optarg);
  }
  for (const rate_option &o : RATE_OPTIONS) {
    if (o.code == c)
      return parse_number(optarg, 0.0, true, MAX_RATE, &(options->*o.field)) ==
                     0
                 ? 0
                 : fail(error, error_size, o.message, optarg);
  }
  for (const text_option &o : TEXT_OPTIONS) {
    if (o.code == c) {
      options->*o.field = optarg;
      return 0;
    }
  }
  for (const switch_option &o : SWITCH_OPTIONS) {
    if (o.code == c) {
      options->*o.field = true;
      return 0;
    }
  }
  return 1;
}

// The options whose values are words of their own: 0, -1 for a bad
// value, 1 when `c` is none of them.
int take_worded(int c, cli_options *options, char *error,
                std::size_t error_size) {
  switch (c) {
  case 's': {
    ns_target target;
    if (parse_ns_target(optarg, &target) != 0)
      return fail(error, error_size,
                  "'%s' is not a nameserver's address: IPv4 or IPv6, with "
                  "an optional port, such as 192.0.2.53, 192.0.2.53:5353, "
                  "2001:db8::53 or [2001:db8::53]:5353; tcp://ADDR, "
                  "tls://HOST[:PORT], https://HOST[:PORT][/PATH] or "
                  "quic://HOST[:PORT], "
                  "HOST an address, a name or NAME@ADDR",
                  optarg);
    options->servers.push_back(optarg);
    return 0;
  }
  case OPT_AUTHORITY:
    if (std::strcmp(optarg, "failed") == 0)
      options->authority = AUTHORITY_FAILED;
    else if (std::strcmp(optarg, "all") == 0)
      options->authority = AUTHORITY_ALL;
    else if (std::strcmp(optarg, "off") == 0)
      options->authority = AUTHORITY_OFF;
    else
      return fail(error, error_size,
                  "--authority takes failed, all or off, not '%s'", optarg);
    return 0;
  case 't':
    options->qtype = parse_type(optarg, &options->type_name);
    if (options->qtype < 0)
      return fail(error, error_size,
                  "--type takes a record type such as A, AAAA, MX or "
                  "TYPE65, not '%s'",
                  optarg);
    return 0;
  case OPT_NO_LOG:
    options->log_path = nullptr;
    return 0;
  case OPT_HTML:
  case OPT_METRICS:
    // Files to be replaced whole as the run goes on, never a stream.
    if (std::strcmp(optarg, "-") == 0)
      return fail(error, error_size, "%s takes a file, not standard output",
                  c == OPT_HTML ? "--html" : "--metrics");
    (c == OPT_HTML ? options->html_path : options->metrics_path) = optarg;
    return 0;
  case OPT_MIN_RATE:
    if (parse_number(optarg, 0.0, false, 100.0, &options->min_rate) != 0)
      return fail(error, error_size,
                  "--min-rate takes a percentage from 0 to 100, not '%s'",
                  optarg);
    options->has_min_rate = true;
    return 0;
  }
  return 1;
}

// What follows the options, and what the options may not ask together.
int finish_options(int argc, char **argv, cli_options *options, char *error,
                   std::size_t error_size) {
  if (optind < argc)
    options->list_path = argv[optind++];
  if (optind < argc)
    return fail(error, error_size, "one list at most; '%s' is one too many",
                argv[optind]);
  if (options->json_path && options->csv_path &&
      std::strcmp(options->json_path, "-") == 0 &&
      std::strcmp(options->csv_path, "-") == 0)
    return fail(error, error_size, "%s",
                "--json and --csv cannot both write to standard output");
  if (options->site && !options->site[0])
    return fail(error, error_size, "%s", "--site takes a name, not ''");
  if (options->classic && options->rounds > 1)
    return fail(error, error_size, "%s",
                "--rounds goes with the open rules, not with --classic");
  return 0;
}

} // namespace

int parse_options(int argc, char **argv, cli_options *options, char *error,
                  std::size_t error_size) {
  *options = default_options();
  // getopt's own messages would name the option differently on each libc;
  // the caller says what went wrong in one line of its own.
  opterr = 0;
  // 0, not 1: glibc then forgets where an earlier parse stopped as well.
  optind = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":s:qhc:t:", LONG_OPTIONS, nullptr)) !=
         -1) {
    if (c == 'h' || c == OPT_VERSION) {
      options->action = c == 'h' ? ACTION_HELP : ACTION_VERSION;
      return 0;
    }
    if (c == ':')
      return option_error(argv[optind - 1], "needs a value", error, error_size);
    int taken = take_tabled(c, options, error, error_size);
    if (taken > 0)
      taken = take_worded(c, options, error, error_size);
    if (taken > 0)
      return option_error(argv[optind - 1], nullptr, error, error_size);
    if (taken < 0)
      return -1;
  }
  return finish_options(argc, argv, options, error, error_size);
}

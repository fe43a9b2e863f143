// The command line: getopt_long, then checks that no datagram is sent for
// a value that is not what the user meant.
#include "cli/options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char USAGE_TEXT[] =
    "Usage: zelkor [OPTIONS] [LIST]\n"
    "Tests how reliably DNS nameservers resolve the domains of LIST (default\n"
    "./domains.txt): the A record of every domain and of www.domain, over UDP\n"
    "port 53, and reports each provider's success rate and latency per\n"
    "nameserver. A line of LIST is provider:domain, and the provider is one\n"
    "of zelkor, quarin, tovessa, brelm, ruvo-ns, 9pel, marvoly and pelnox\n"
    "(a tag that starts with one counts as it: quarin-cn is quarin); other\n"
    "lines are not probed but count in each nameserver's total.\n"
    "\n"
    "By default the machine's nameservers (the first two IPv4 nameserver\n"
    "lines of /etc/resolv.conf) are tested, then 223.5.5.5 and 119.29.29.29\n"
    "unless already among them.\n"
    "\n"
    "Options:\n"
    "  -s, --server ADDR   test the nameserver ADDR (dotted IPv4) instead;\n"
    "                      repeat for several, tested in the order given\n"
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
    "shell shows 130 or 143).\n";

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
    {nullptr, 0, nullptr, 0},
};

int fail(char *error, std::size_t size, const char *fmt, const char *what) {
  std::snprintf(error, size, fmt, what);
  return -1;
}

// A percentage written out in full: "95", "99.5"; not "", "5x" or "nan".
int parse_rate(const char *text, double *rate) {
  char *end = nullptr;
  errno = 0;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) ||
      value < 0.0 || value > 100.0)
    return -1;
  *rate = value;
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

} // namespace

bool is_dotted_quad(const char *text) {
  const char *p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.')
      return false;
    int digits = 0;
    int value = 0;
    while (*p >= '0' && *p <= '9' && digits < 4) {
      value = value * 10 + (*p++ - '0');
      ++digits;
    }
    // No leading zero: the address parser reads "010" as octal 8.
    if (digits == 0 || digits > 3 || value > 255 ||
        (digits > 1 && p[-digits] == '0'))
      return false;
  }
  return *p == '\0';
}

int parse_options(int argc, char **argv, cli_options *options, char *error,
                  std::size_t error_size) {
  *options = cli_options{};
  options->action = ACTION_RUN;
  options->list_path = "./domains.txt";
  options->log_path = "./log.txt";
  // getopt's own messages would name the option differently on each libc;
  // the caller says what went wrong in one line of its own.
  opterr = 0;
  // 0, not 1: glibc then forgets where an earlier parse stopped as well.
  optind = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":s:qh", LONG_OPTIONS, nullptr)) != -1) {
    switch (c) {
    case 's':
      if (!is_dotted_quad(optarg))
        return fail(error, error_size,
                    "'%s' is not a dotted IPv4 address such as 192.0.2.53",
                    optarg);
      // The broadcast address is no nameserver, and the probe's address
      // parser cannot tell it from an error.
      if (std::strcmp(optarg, "255.255.255.255") == 0)
        return fail(error, error_size, "'%s' is not a nameserver's address",
                    optarg);
      if (options->server_count == MAX_CHOSEN_SERVERS)
        return fail(error, error_size, "at most %s nameservers can be given",
                    "16");
      options->servers[options->server_count++] = optarg;
      break;
    case OPT_LOG:
      options->log_path = optarg;
      break;
    case OPT_NO_LOG:
      options->log_path = nullptr;
      break;
    case OPT_JSON:
      options->json_path = optarg;
      break;
    case OPT_CSV:
      options->csv_path = optarg;
      break;
    case OPT_HTML:
    case OPT_METRICS:
      // Files to be replaced whole as the run goes on, never a stream.
      if (std::strcmp(optarg, "-") == 0)
        return fail(error, error_size, "%s takes a file, not standard output",
                    c == OPT_HTML ? "--html" : "--metrics");
      (c == OPT_HTML ? options->html_path : options->metrics_path) = optarg;
      break;
    case OPT_MIN_RATE:
      if (parse_rate(optarg, &options->min_rate) != 0)
        return fail(error, error_size,
                    "--min-rate takes a percentage from 0 to 100, not '%s'",
                    optarg);
      options->has_min_rate = true;
      break;
    case 'q':
      options->quiet = true;
      break;
    case 'h':
      options->action = ACTION_HELP;
      return 0;
    case OPT_VERSION:
      options->action = ACTION_VERSION;
      return 0;
    case ':':
      return option_error(argv[optind - 1], "needs a value", error, error_size);
    default:
      return option_error(argv[optind - 1], nullptr, error, error_size);
    }
  }
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
  return 0;
}

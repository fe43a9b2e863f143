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
    "Tests how reliably DNS nameservers resolve the domains of LIST (lines\n"
    "provider:domain; default ./domains.txt): the A record of every domain\n"
    "and of www.domain, over UDP port 53, and reports each provider's\n"
    "success rate and latency per nameserver.\n"
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
    "      --min-rate PCT  exit with status 1 when a nameserver's total\n"
    "                      success rate is below PCT (0 to 100)\n"
    "  -q, --quiet         show no progress\n"
    "  -h, --help          show this help and exit\n"
    "      --version       show the version and exit\n"
    "\n"
    "Exit status: 0 when the run finished (and every rate met --min-rate),\n"
    "1 when a rate was below --min-rate, 2 for a usage error, a list that\n"
    "cannot be read or an output file that cannot be written, 130 or 143\n"
    "when stopped by SIGINT or SIGTERM.\n";

namespace {

enum {
  OPT_LOG = 256,
  OPT_NO_LOG,
  OPT_JSON,
  OPT_CSV,
  OPT_MIN_RATE,
  OPT_VERSION,
};

const option LONG_OPTIONS[] = {
    {"server", required_argument, nullptr, 's'},
    {"log", required_argument, nullptr, OPT_LOG},
    {"no-log", no_argument, nullptr, OPT_NO_LOG},
    {"json", required_argument, nullptr, OPT_JSON},
    {"csv", required_argument, nullptr, OPT_CSV},
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
  optind = 1;
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
      return fail(error, error_size, "%s needs a value", argv[optind - 1]);
    default:
      if (optopt != 0) {
        std::snprintf(error, error_size, "unknown option '-%c'", optopt);
        return -1;
      }
      return fail(error, error_size, "unknown option '%s'", argv[optind - 1]);
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

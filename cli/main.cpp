// zelkor: the terminal program. The same test as the Windows program (the
// same list rules, nameservers, probes and log), shown on a terminal, with
// latency, JSON and CSV, and an exit status for scripts.
#include "cli/display.h"
#include "cli/export.h"
#include "cli/options.h"
#include "cli/results.h"
#include "cli/text.h"
#include "net/sock.h"
#include "net/console.h"
#include "run/domain_list.h"
#include "run/local_dns.h"
#include "run/test_driver.h"
#include "version.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

enum {
  EXIT_BELOW_RATE = 1,
  EXIT_TROUBLE = 2,
  EXIT_SIGNAL_BASE = 128,
  // How often the main thread looks for a signal and redraws.
  TICK_MS = 100,
};

cli_options options;
export_run run_info;
std::atomic<bool> run_over{false};
bool write_failed; // an export could not be written at least once

bool is_stdout(const char *path) {
  return path && std::strcmp(path, "-") == 0;
}

bool is_file(const char *path) {
  return path && !is_stdout(path);
}

void json_writer(std::FILE *out) {
  write_json(out, &run_info);
}

void csv_writer(std::FILE *out) {
  write_csv(out);
}

void replace_or_say(const char *path, void (*write)(std::FILE *)) {
  if (replace_file(path, write) == 0)
    return;
  std::fprintf(stderr, "zelkor: cannot write %s: %s\n", path,
               std::strerror(errno));
  write_failed = true;
}

// After every finished nameserver, on the driver's thread.
void rewrite_exports(int index) {
  export_pass(index);
  run_info.passes_planned = display_pass_count();
  if (is_file(options.json_path))
    replace_or_say(options.json_path, json_writer);
  if (is_file(options.csv_path))
    replace_or_say(options.csv_path, csv_writer);
}

std::string iso_8601_now(void) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  // "+0800" becomes "+08:00", the extended form of the rest.
  std::string iso = text;
  if (iso.size() >= 5)
    iso.insert(iso.size() - 2, ":");
  return iso;
}

int trouble(const char *fmt, const char *a, const char *b) {
  std::fputs("zelkor: ", stderr);
  std::fprintf(stderr, fmt, a, b);
  std::fputc('\n', stderr);
  return EXIT_TROUBLE;
}

// A list that cannot be opened or read (a directory opens but cannot be
// read) stops the program before anything is sent.
int check_list(const char *path) {
  std::FILE *file = std::fopen(path, "rb");
  if (!file)
    return trouble("cannot read the list %s: %s", path, std::strerror(errno));
  std::fgetc(file);
  int error = std::ferror(file) ? errno : 0;
  std::fclose(file);
  if (error)
    return trouble("cannot read the list %s: %s", path, std::strerror(error));
  return 0;
}

// Every file the run will write, checked before anything is sent.
int check_outputs(void) {
  if (options.log_path) {
    // Appending leaves an existing log as it is until the run rewrites it.
    std::FILE *log = std::fopen(options.log_path, "ab");
    if (!log)
      return trouble("cannot write the log %s: %s", options.log_path,
                     std::strerror(errno));
    std::fclose(log);
  }
  const char *files[] = {options.json_path, options.csv_path};
  for (const char *path : files) {
    if (is_file(path) && check_writable(path) != 0)
      return trouble("cannot write %s: %s", path, std::strerror(errno));
  }
  return 0;
}

bool colour_for(std::FILE *stream) {
  const char *no_colour = std::getenv("NO_COLOR");
  return isatty(fileno(stream)) && !(no_colour && *no_colour);
}

// What is left to show once the run has ended or was stopped: the export
// on standard output, the table, and where the files went.
void finish_outputs(void) {
  if (is_stdout(options.json_path))
    write_json(stdout, &run_info);
  if (is_stdout(options.csv_path))
    write_csv(stdout);
  // Standard output carries the export then; the table goes beside it.
  std::FILE *table = is_stdout(options.json_path) || is_stdout(options.csv_path)
                         ? stderr
                         : stdout;
  print_table(table, colour_for(table));
  if (options.log_path)
    std::fprintf(table, "log:  %s\n", options.log_path);
  if (is_file(options.json_path))
    std::fprintf(table, "json: %s\n", options.json_path);
  if (is_file(options.csv_path))
    std::fprintf(table, "csv:  %s\n", options.csv_path);
  std::fflush(stdout);
  std::fflush(stderr);
}

int min_rate_status(void) {
  if (!options.has_min_rate)
    return 0;
  int status = 0;
  for (int p = 0; p < passes_done; ++p) {
    int ok, count;
    double rate = total_rate(&passes[p], &ok, &count);
    // A nameserver that was given nothing to resolve has proved nothing.
    if (std::isnan(rate)) {
      std::fprintf(stderr,
                   "zelkor: %s had no names to resolve, below --min-rate "
                   "%g%%\n",
                   passes[p].ns, options.min_rate);
      status = EXIT_BELOW_RATE;
    } else if (rate < options.min_rate) {
      std::fprintf(stderr,
                   "zelkor: %s resolved %d of %d names (%.4f%%), below "
                   "--min-rate %g%%\n",
                   passes[p].ns, ok, count, rate, options.min_rate);
      status = EXIT_BELOW_RATE;
    }
  }
  return status;
}

void prepare_run(void) {
  // The core's console lines are the Windows program's; this program shows
  // its display instead, and says in its own words what loading the list
  // found.
  console_out = nullptr;
  console_err = nullptr;
  log_path = options.log_path;
  for (int i = 0; i < options.server_count; ++i)
    chosen_servers[i] = options.servers[i];
  chosen_server_count = options.server_count;
  if (chosen_server_count == 0)
    split_local_dns();
  after_pass = rewrite_exports;
}

} // namespace

int main(int argc, char **argv) {
  std::setlocale(LC_ALL, "");
  char error[256];
  if (parse_options(argc, argv, &options, error, sizeof error) != 0) {
    std::fprintf(stderr, "zelkor: %s\nTry 'zelkor --help'.\n", error);
    return EXIT_TROUBLE;
  }
  if (options.action == ACTION_HELP) {
    std::fputs(USAGE_TEXT, stdout);
    return 0;
  }
  if (options.action == ACTION_VERSION) {
    std::printf("zelkor %s\n", ZELKOR_VERSION);
    return 0;
  }
  if (check_list(options.list_path) != 0)
    return EXIT_TROUBLE;
  if (check_outputs() != 0)
    return EXIT_TROUBLE;

  prepare_run();
  if (load_domain_list(options.list_path) != 0)
    return trouble("cannot read the list %s: %s", options.list_path,
                   std::strerror(errno));
  // From here on the core's diagnostics are the probes': through the
  // display, each shown once.
  console_err = open_diagnostics();
  if (domain_count == 0)
    std::fprintf(stderr, "zelkor: %s: %s\n", options.list_path,
                 terminal_text("无域名列表").c_str());
  if (domain_count == MAX_DOMAINS)
    std::fprintf(stderr,
                 "zelkor: %s: a run takes the first %d lines; any further "
                 "lines are not tested\n",
                 options.list_path, MAX_DOMAINS);
  prepare_domain_texts();
  run_info.started = iso_8601_now();
  run_info.list_path = options.list_path;
  run_info.stored = domain_count;
  run_info.usable = usable_lines();

  int mode = PROGRESS_NONE;
  if (!options.quiet)
    mode = isatty(STDERR_FILENO) ? PROGRESS_LIVE : PROGRESS_PLAIN;
  display_begin(mode, run_info.usable);

  // Blocked in every thread; the main thread takes them with sigtimedwait,
  // so nothing runs in a signal handler. SIGUSR1 is the driver's word that
  // the run is over, so that the program ends without waiting for a tick.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  sock_startup();
  const pthread_t main_thread = pthread_self();
  std::thread driver([main_thread] {
    test_driver(domain_list);
    run_over.store(true);
    pthread_kill(main_thread, SIGUSR1);
  });
  const timespec tick = {0, TICK_MS * 1000000L};
  while (!run_over.load()) {
    int signal_number = sigtimedwait(&stop_signals, nullptr, &tick);
    if (signal_number == SIGINT || signal_number == SIGTERM) {
      // Waits for a report being written; nothing is reported after it.
      stop_test();
      display_end();
      std::fprintf(stderr,
                   "zelkor: stopped by %s; %d of %d nameservers "
                   "finished\n",
                   signal_number == SIGINT ? "SIGINT" : "SIGTERM", passes_done,
                   display_pass_count());
      finish_outputs();
      // The workers may be waiting on a reply: end without them. Every
      // finished block and file is already written whole.
      _exit(EXIT_SIGNAL_BASE + signal_number);
    }
    display_tick();
  }
  driver.join();
  display_end();
  finish_outputs();
  sock_cleanup();
  if (write_failed)
    return EXIT_TROUBLE;
  return min_rate_status();
}

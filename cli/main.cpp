// zelkor: the terminal program. The same test as the Windows program (the
// same list rules, nameservers, probes and log), shown on a terminal, with
// latency, JSON and CSV, and an exit status for scripts.
#include "cli/export_files.h"
#include "cli/idna.h"
#include "cli/nameservers.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/pass_messages.h"
#include "cli/progress.h"
#include "cli/runs_report.h"
#include "cli/results.h"
#include "cli/tables.h"
#include "cli/text.h"
#include "run/console.h"
#include "net/dns_message.h"
#include "net/dns_reply.h"
#include "net/probe.h"
#include "net/sock.h"
#include "run/authority.h"
#include "run/domain_list.h"
#include "run/run_list.h"
#include "run/root_hints.h"
#include "run/run_passes.h"
#include "version.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

namespace {

enum {
  EXIT_BELOW_RATE = 1,
  EXIT_TROUBLE = 2,
  // How often the main thread looks for a signal and redraws.
  TICK_MS = 100,
  // Checks of authoritative servers under way at once.
  CHECK_THREADS = 16,
};

// Everything one run of the program goes by and keeps.
struct cli_run {
  cli_options options{};
  run_list list{};
  run_settings settings{};
  export_run info{};
  export_files exports{};
  run_results results;
  std::unique_ptr<progress> shown; // once planned
  std::chrono::steady_clock::time_point start;
  std::atomic<bool> over{false};
  // The first failure to write standard output: reported once, at the end.
  int stdout_error = 0;
  // The names that cannot be sent are the list's: said after the first
  // pass only.
  bool unsent_said = false;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

void write_export_files(cli_run *run) {
  run->info.seconds = seconds_since(run->start);
  for (const std::string &trouble :
       write_export_files(&run->exports, &run->info, run->results))
    run->shown->say("%s", trouble.c_str());
}

void note_stdout_error(cli_run *run) {
  if (run->stdout_error == 0 && std::ferror(stdout))
    run->stdout_error = errno ? errno : EIO;
}

// 0 once everything written to standard output has reached it; else says
// why not (nothing for a reader that has gone away, as a closed pipe is
// no news to the user) and gives the exit status for it.
int finish_stdout(cli_run *run) {
  note_stdout_error(run);
  if (std::fflush(stdout) != 0 && run->stdout_error == 0)
    run->stdout_error = errno ? errno : EIO;
  if (run->stdout_error == 0)
    return 0;
  if (run->stdout_error != EPIPE)
    std::fprintf(stderr, "zelkor: cannot write standard output: %s\n",
                 std::strerror(run->stdout_error));
  return EXIT_TROUBLE;
}

// Where the run is made: --site, else the host's name, as UTF-8.
std::string site_of(const char *option) {
  char host[256] = "";
  if (!option && gethostname(host, sizeof host - 1) != 0)
    std::strcpy(host, "unknown");
  std::string site;
  utf8_text(option ? option : host, &site);
  return site;
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

// Refuses to go on, in one line; the texts are shown as the terminal may
// show them.
int trouble(const char *fmt, const char *a, const char *b) {
  std::fputs("zelkor: ", stderr);
  std::fprintf(stderr, fmt, shown_text(a).c_str(), shown_text(b).c_str());
  std::fputc('\n', stderr);
  return EXIT_TROUBLE;
}

// A list that cannot be opened or read (a directory opens but cannot be
// read), or that is no text, stops the program before anything is sent. A
// NUL byte is in no text file but one saved as UTF-16, which starts with
// its byte order mark.
int check_list(const char *path) {
  std::FILE *file = std::fopen(path, "rb");
  if (!file)
    return trouble("cannot read the list %s: %s", path, std::strerror(errno));
  char buffer[65536];
  std::size_t n;
  bool first = true, utf16 = false, nul = false;
  while (!nul && !utf16 &&
         (n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    utf16 = first && n >= 2 &&
            (std::memcmp(buffer, "\xFF\xFE", 2) == 0 ||
             std::memcmp(buffer, "\xFE\xFF", 2) == 0);
    nul = !utf16 && std::memchr(buffer, '\0', n) != nullptr;
    first = false;
  }
  int error = std::ferror(file) ? errno : 0;
  std::fclose(file);
  if (error)
    return trouble("cannot read the list %s: %s", path, std::strerror(error));
  if (nul)
    return trouble("%s is not a text list: it holds NUL bytes%s", path,
                   " (a list saved as UTF-16 starts with its byte order mark)");
  return 0;
}

// Every file the run will write, checked before anything is sent and
// without writing any of them.
int refuse_output(const char *option, const char *path, int way) {
  std::string reason;
  if (!path || check_output_path(path, way, &reason) == 0)
    return 0;
  std::fprintf(stderr, "zelkor: %s %s: %s\n", option,
               path[0] ? shown_text(path).c_str() : "\"\"", reason.c_str());
  return EXIT_TROUBLE;
}

int check_outputs(const cli_run *run) {
  if (refuse_output("--log", run->options.log_path, OUTPUT_IN_PLACE) != 0)
    return EXIT_TROUBLE;
  for (const export_file &f : run->exports.files) {
    if (refuse_output(f.option, f.path, OUTPUT_REPLACED) != 0)
      return EXIT_TROUBLE;
  }
  return 0;
}

// "zelkor, quarin, ..., pelnox": the tags a line may start with.
std::string known_tags(void) {
  std::string tags;
  for (int row = 0; row < PROVIDER_TAG_COUNT; ++row)
    tags += std::string(row ? ", " : "") + provider_tags[row];
  return tags;
}

bool colour_for(std::FILE *stream) {
  const char *no_colour = std::getenv("NO_COLOR");
  return isatty(fileno(stream)) && !(no_colour && *no_colour);
}

// What is left to show once the run has ended or was stopped: the export
// on standard output, the table, and where the files went.
void finish_outputs(cli_run *run) {
  const cli_options &options = run->options;
  if (is_stdout(options.json_path))
    write_json(stdout, &run->info, run->results);
  if (is_stdout(options.csv_path))
    write_csv(stdout, run->results);
  // A write that failed is noted now: the table's calls below change errno.
  note_stdout_error(run);
  // Standard output carries the export then; the table goes beside it.
  std::FILE *table = is_stdout(options.json_path) || is_stdout(options.csv_path)
                         ? stderr
                         : stdout;
  print_table(table, colour_for(table), run->results);
  print_redirects(table, run->results);
  print_authority(table, run->results);
  std::fprintf(table, "site: %s\n", terminal_utf8(run->info.site).c_str());
  if (options.log_path)
    std::fprintf(table, "log:  %s\n", shown_text(options.log_path).c_str());
  for (const export_file &f : run->exports.files) {
    if (f.path && f.written)
      std::fprintf(table, "%s%s\n", f.shown, shown_text(f.path).c_str());
  }
  note_stdout_error(run);
  std::fflush(stderr);
}

int min_rate_status(const cli_options &options, const run_results &r) {
  if (!options.has_min_rate)
    return 0;
  int status = 0;
  for (int p = 0; p < r.done(); ++p) {
    const kept_pass &pass = r.passes[static_cast<std::size_t>(p)];
    int ok, count;
    double rate = total_rate(r, &pass, &ok, &count);
    if (rate < options.min_rate) {
      std::fprintf(stderr,
                   "zelkor: %s resolved %d of %d names (%.4f%%), below "
                   "--min-rate %g%%\n",
                   shown_text(pass.result.ns).c_str(), ok, count, rate,
                   options.min_rate);
      status = EXIT_BELOW_RATE;
    }
  }
  return status;
}

// The run's events: see run_events.
void on_pass_started(int index, int count, const char *ns, void *context) {
  static_cast<cli_run *>(context)->shown->pass_started(index, count, ns);
}

void on_line_done(int index, const line_probes *line, void *context) {
  static_cast<cli_run *>(context)->shown->line_done(index, line);
}

void on_checking(int index, int checked, int total, void *context) {
  static_cast<cli_run *>(context)->shown->checking(index, checked, total);
}

// Called with the report lock held, so that a stop never cuts the files
// short.
void on_pass_ended(int index, pass_result *result, void *context) {
  cli_run *run = static_cast<cli_run *>(context);
  run_results &r = run->results;
  keep_pass(&r, result);
  // Kept in order; after a stop, a pass that had not ended leaves a gap.
  const kept_pass &pass = r.passes[static_cast<std::size_t>(r.done() - 1)];
  const ns_target &target =
      run->settings.nameservers[static_cast<std::size_t>(index)];
  for (const std::string &message :
       pass_messages(target, pass, r, &run->unsent_said))
    run->shown->say("%s", message.c_str());
  write_export_files(run);
  run->shown->pass_kept(index);
}

// Stopped by `signal_number`: keeps what the run has finished, shows it,
// then ends by that signal, so that a shell or a supervisor sees the
// program killed by it (a loop in a script stops too).
[[noreturn]] void stop_run(cli_run *run, int signal_number,
                           run_control *control) {
  // Waits for a report being written; nothing is reported after it.
  stop_passes(control);
  run->info.stopped = true;
  write_export_files(run);
  run->shown->end();
  std::fprintf(stderr, "zelkor: stopped by %s; %d of %d nameservers finished\n",
               signal_number == SIGINT ? "SIGINT" : "SIGTERM",
               run->results.done(), run->shown->pass_count());
  finish_outputs(run);
  finish_stdout(run);
  // The run's thread may be waiting on a reply: the program ends without
  // it. Every finished block and file is already written whole.
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
  sigset_t pending;
  sigemptyset(&pending);
  sigaddset(&pending, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &pending, nullptr);
  _exit(128 + signal_number);
}

// The options. False when the program ends here (help, version, a usage
// error), with its exit status in *status.
bool parse(int argc, char **argv, cli_run *run, int *status) {
  char error[256];
  if (parse_options(argc, argv, &run->options, error, sizeof error) != 0) {
    std::fprintf(stderr, "zelkor: %s\nTry 'zelkor --help'.\n", error);
    *status = EXIT_TROUBLE;
    return false;
  }
  if (run->options.action == ACTION_HELP) {
    std::fputs(USAGE_TEXT, stdout);
    *status = finish_stdout(run);
    return false;
  }
  if (run->options.action == ACTION_VERSION) {
    std::printf("zelkor %s\n", ZELKOR_VERSION);
    *status = finish_stdout(run);
    return false;
  }
  return true;
}

// What loading the list found, in this program's own words (the core's
// console lines are the Windows program's). 0, or the exit status.
int load_list(cli_run *run) {
  const cli_options &options = run->options;
  run_list &list = run->list;
  console_out = nullptr;
  console_err = nullptr;
  int loaded = options.classic ? load_classic_list(options.list_path, &list)
                               : load_open_list(options.list_path, &list);
  if (loaded != 0)
    return trouble("cannot read the list %s: %s", options.list_path,
                   std::strerror(errno));
  if (list.control_lines > 0)
    std::fprintf(
        stderr,
        "zelkor: %s: %zu line%s with control characters %s not "
        "tested, the first: '%s'\n",
        shown_text(options.list_path).c_str(), list.control_lines,
        list.control_lines == 1 ? "" : "s",
        list.control_lines == 1 ? "is" : "are",
        shown_text(list.first_control, name_columns(STDERR_FILENO)).c_str());
  if (list.probed == 0) {
    if (options.classic)
      return trouble("%s: nothing to test: no line is provider:domain with a "
                     "known provider (%s)",
                     options.list_path, known_tags().c_str());
    return trouble("%s: nothing to test: no line holds a domain (%s)",
                   options.list_path,
                   "a line is tag:domain or a domain; # starts a comment");
  }
  if (!options.classic) {
    idna_report idna;
    convert_names(&list, &idna);
    if (idna.failed > 0)
      std::fprintf(
          stderr,
          "zelkor: %s: the name '%s' has no ASCII form (%s); it "
          "is not sent%s\n",
          shown_text(options.list_path).c_str(),
          shown_text(idna.first, name_columns(STDERR_FILENO)).c_str(),
          idna.reason.c_str(),
          idna.failed > 1
              ? (std::string(idna.failed > 2 ? ", nor are " : ", nor is ") +
                 std::to_string(idna.failed - 1) + " more such name" +
                 (idna.failed > 2 ? "s" : ""))
                    .c_str()
              : "");
  }
  if (list.cut)
    std::fprintf(stderr,
                 "zelkor: %s: a run takes the first %d lines; the lines "
                 "after them are not tested\n",
                 shown_text(options.list_path).c_str(), MAX_DOMAINS);
  return 0;
}

// The nameservers and how to ask them. 0, or the exit status.
int plan_nameservers(cli_run *run) {
  const cli_options &options = run->options;
  run_settings &settings = run->settings;
  std::vector<std::string> names;
  if (options.servers.empty())
    default_nameservers(options.classic, &names);
  else
    names.assign(options.servers.begin(), options.servers.end());
  bool encrypted = false;
  for (const std::string &name : names) {
    ns_target target;
    if (parse_ns_target(name.c_str(), &target) != 0)
      continue; // the machine's own, which the checks above let through
    char shown[NS_TARGET_TEXT_SIZE];
    format_ns_target(&target, shown, sizeof shown);
    if (target.resolve) {
      std::string why;
      if (resolve_target(&target, &why) != 0)
        return trouble("cannot look up %s: %s", target.host, why.c_str());
    }
    encrypted = encrypted || target.transport >= NS_TLS;
    settings.names.push_back(shown);
    settings.nameservers.push_back(target);
  }
  if (options.ca_file && access(options.ca_file, R_OK) != 0)
    return trouble("--ca-file %s: %s", options.ca_file, std::strerror(errno));
  if (encrypted && options.insecure)
    std::fprintf(stderr, "zelkor: --insecure: TLS certificates are not "
                         "checked\n");
  settings.streams = stream_options{options.connections, options.ca_file,
                                    options.insecure, options.doh_get};
  // Classic mode keeps the Windows program's judgement: truncated fails,
  // and an answer is an answer.
  settings.tcp_fallback = !options.classic;
  settings.nx_probe = !options.classic;
  settings.side_by_side = !options.classic && !options.one_at_a_time;
  settings.rounds = options.rounds;
  settings.log_path = options.log_path;
  settings.engine = engine_settings{options.concurrency,
                                    options.timeout_ms,
                                    options.attempts,
                                    options.rate,
                                    options.qtype,
                                    false,
                                    false};
  settings.engine.hold_ms = options.classic ? 0 : options.hold_ms;
  // The open rules judge a reply rcode first: "ok" means the name resolved.
  settings.engine.judge = options.classic ? nullptr : judge_reply;
  return 0;
}

// The checks of the authoritative servers, under the open rules. 0, or
// the exit status (a root hints file that cannot be used).
int plan_checks(cli_run *run) {
  const cli_options &options = run->options;
  if (options.classic || options.authority == AUTHORITY_OFF)
    return 0;
  authority_settings checks;
  if (options.root_hints) {
    std::string why;
    if (read_root_hints(options.root_hints, &checks.roots, &why) != 0)
      return trouble("%s", why.c_str(), "");
  } else {
    checks.roots = builtin_root_hints();
  }
  checks.timeout_ms = options.timeout_ms;
  checks.attempts = options.attempts;
  checks.rate = options.authority_rate;
  checks.threads = CHECK_THREADS;
  run->settings.checks = authority_start(&checks);
  run->settings.check_all = options.authority == AUTHORITY_ALL;
  run->settings.check_max = options.authority_max;
  return 0;
}

// Everything checked and prepared before anything is sent. False when the
// program ends here, with its exit status in *status.
bool plan(cli_run *run, int *status) {
  const cli_options &options = run->options;
  *status = EXIT_TROUBLE;
  if (check_list(options.list_path) != 0)
    return false;
  prepare_export_files(&run->exports, options);
  if (check_outputs(run) != 0 || load_list(run) != 0 ||
      plan_nameservers(run) != 0 || plan_checks(run) != 0)
    return false;
  export_run &info = run->info;
  info.started = iso_8601_now();
  info.started_unix = std::chrono::duration<double>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  run->start = std::chrono::steady_clock::now();
  info.list_path = options.list_path;
  info.site = site_of(options.site);
  info.passes_planned = static_cast<int>(run->settings.nameservers.size());
  info.rules = options.classic ? "classic" : "open";
  info.tcp_fallback = run->settings.tcp_fallback;
  info.insecure = options.insecure;
  info.concurrency = options.concurrency;
  info.timeout_ms = options.timeout_ms;
  info.attempts = options.attempts;
  info.rounds = options.rounds;
  info.side_by_side = run->settings.side_by_side;
  info.rate = options.rate;
  info.type = options.type_name;
  info.qtype = options.qtype;
  prepare_results(&run->results, &run->list, run->settings.checks,
                  run->settings.nameservers.size());
  int mode = PROGRESS_NONE;
  if (!options.quiet)
    mode = isatty(STDERR_FILENO) ? PROGRESS_LIVE : PROGRESS_PLAIN;
  run->shown.reset(
      new progress(mode, static_cast<int>(run->list.probed) * options.rounds,
                   run->settings.side_by_side, &run->results));
  *status = 0;
  return true;
}

// The passes, on a thread of their own, while this one redraws the
// progress and waits for a stop. A stop ends the program here.
void execute(cli_run *run, const sigset_t &stop_signals) {
  run_control control;
  const run_events events{on_pass_started, on_line_done, on_checking,
                          on_pass_ended, run};
  const pthread_t main_thread = pthread_self();
  std::thread runner([&] {
    run_passes(&run->list, &run->settings, &events, &control);
    run->over.store(true);
    pthread_kill(main_thread, SIGUSR1);
  });
  const timespec tick = {0, TICK_MS * 1000000L};
  int stop_signal = 0;
  while (!run->over.load()) {
    int signal_number = sigtimedwait(&stop_signals, nullptr, &tick);
    if (stop_signal == 0 &&
        (signal_number == SIGINT || signal_number == SIGTERM))
      stop_signal = signal_number;
    // A run forgets a stop from before its start: a stop waits until the
    // first pass has begun.
    if (stop_signal != 0 && run->shown->pass_count() > 0)
      stop_run(run, stop_signal, &control);
    run->shown->tick();
  }
  if (stop_signal != 0)
    stop_run(run, stop_signal, &control);
  runner.join();
}

// What is left once every nameserver was tested: the table and the
// files named, and the exit status.
int finish(cli_run *run) {
  run->shown->end();
  finish_outputs(run);
  int status = finish_stdout(run);
  if (status == 0 && run->exports.write_failed)
    status = EXIT_TROUBLE;
  return status != 0 ? status : min_rate_status(run->options, run->results);
}

} // namespace

int main(int argc, char **argv) {
  // Only the character encoding follows the user's locale: every number
  // the program reads or writes keeps its '.', as files and scripts expect.
  std::setlocale(LC_CTYPE, "");
  // Runs already made, read back: no run of its own.
  if (argc > 1 && std::strcmp(argv[1], "report") == 0)
    return report_main(argc - 1, argv + 1);
  if (argc > 1 && std::strcmp(argv[1], "compare") == 0)
    return compare_main(argc - 1, argv + 1);
  // Blocked before any thread starts (the checks' and any a library
  // starts inherit the mask), so that only the main thread takes them,
  // with sigtimedwait: nothing runs in a signal handler, and no other
  // thread ends the program by default before the files are written.
  // SIGUSR1 is the run's word that it is over, so that the program ends
  // without waiting for a tick.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  cli_run run;
  int status = 0;
  if (!parse(argc, argv, &run, &status) || !plan(&run, &status))
    return status;
  sock_startup();
  execute(&run, stop_signals);
  sock_cleanup();
  status = finish(&run);
  if (run.settings.checks)
    authority_end(run.settings.checks);
  return status;
}

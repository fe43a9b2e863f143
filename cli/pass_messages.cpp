// The messages of a kept pass, as a function of the pass alone.
#include "cli/pass_messages.h"

#include "cli/text.h"
#include "net/probe.h"
#include "net/sock.h"

#include <cstdarg>
#include <cstdio>

namespace {

enum {
  // A name in a message: the columns a terminal line spares it.
  UNSENT_NAME_COLUMNS = 100,
  MESSAGE_SIZE = 512,
};

void say(std::vector<std::string> *said, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

void say(std::vector<std::string> *said, const char *fmt, ...) {
  char text[MESSAGE_SIZE];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  said->push_back(text);
}

// The first name of the pass that could not be sent, as written, cut to
// what a message line holds.
std::string first_unsent(const kept_pass &pass, const run_results &r) {
  const std::vector<list_line> &lines = r.list->lines;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const line_probes &probes = pass.result.lines[i];
    const std::string &domain = written_domain(r.list, i);
    std::string name;
    if (probes.bare.error == PROBE_ERROR_UNSENDABLE)
      name = domain;
    else if (probes.www.error == PROBE_ERROR_UNSENDABLE)
      name = "www." + domain;
    else
      continue;
    return escaped_utf8(name, UNSENT_NAME_COLUMNS);
  }
  return std::string();
}

// The address a name's connections went to; when none could be set up,
// every address of the name, each of which was tried.
std::string looked_up_address(const ns_target &target, const kept_pass &pass) {
  if (pass.result.stream.opened > 0)
    return pass.result.address;
  std::string all;
  char text[NS_TEXT_SIZE];
  for (int i = -1; i < target.fallback_count; ++i) {
    format_ns_address(i < 0 ? &target.address : &target.fallback[i], -1, text,
                      sizeof text);
    all += (i < 0 ? "" : " or ") + std::string(text);
  }
  return all;
}

} // namespace

std::vector<std::string> pass_messages(const ns_target &target,
                                       const kept_pass &pass,
                                       const run_results &r,
                                       bool *unsent_said) {
  std::vector<std::string> said;
  const char *ns = pass.result.ns.c_str();
  // A name is shown with the address its connections went to.
  if (target.looked_up)
    say(&said, "%s is %s", target.host,
        looked_up_address(target, pass).c_str());
  // What kept the nameserver from answering, once per cause.
  const stream_stats &stream = pass.result.stream;
  bool cause_said = true;
  if (pass.result.engine_error != 0)
    say(&said, "cannot test %s: %s", ns,
        sock_error_text(pass.result.engine_error));
  else if (pass.result.send_error != 0)
    say(&said, "cannot send to %s: %s", ns,
        sock_error_text(pass.result.send_error));
  else if (stream.setup_failures > 0)
    say(&said, "cannot %s %s: %s (%d failed)",
        stream.failure == PROBE_ERROR_TLS    ? "set up TLS with"
        : stream.failure == PROBE_ERROR_HTTP ? "speak HTTP/2 with"
                                             : "connect to",
        ns, stream.reason.c_str(), stream.setup_failures);
  else if (!stream.reason.empty())
    say(&said, "cannot test %s: %s", ns, stream.reason.c_str());
  else
    cause_said = false;
  if (stream.http_status != 0)
    say(&said, "%s answered with HTTP status %d", ns, stream.http_status);
  else if (!cause_said && !pass.any_reply &&
           pass.total.probed > pass.total.errors[PROBE_ERROR_UNSENDABLE] +
                                   pass.total.errors[RUN_ERROR_IDNA])
    say(&said, "no reply from %s to any query", ns);
  if (!stream.closed_with.empty())
    say(&said, "%s: %s", ns, stream.closed_with.c_str());
  const int unsent = pass.total.errors[PROBE_ERROR_UNSENDABLE];
  if (unsent > 0 && !*unsent_said) {
    *unsent_said = true;
    say(&said,
        "the name '%s' was not sent: it has no form a query can "
        "carry (an empty label, a label over 63 bytes, or over 255 "
        "bytes in all)%s",
        first_unsent(pass, r).c_str(),
        unsent > 1 ? (std::string(unsent > 2 ? ", nor were " : ", nor was ") +
                      std::to_string(unsent - 1) + " more such name" +
                      (unsent > 2 ? "s" : ""))
                         .c_str()
                   : "");
  }
  return said;
}

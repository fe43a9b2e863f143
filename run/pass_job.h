// A pass's state while it runs, shared by the units of a pass (its
// probes, its checks, its report), and what the engine's index of a name
// means.
#ifndef RUN_PASS_JOB_H
#define RUN_PASS_JOB_H

#include "run/run_passes.h"

#include <cstddef>
#include <string>
#include <vector>

// A pass's state; every pass's starts as a copy of one made for the run.
struct pass_job {
  int index = 0; // the pass's
  int round = 0; // from 0
  const run_list *list = nullptr;
  // List lines with a row: one list for every pass, never copied.
  const std::vector<std::size_t> *probed = nullptr;
  pass_result *pass = nullptr;
  std::string name; // the last name handed out; the engine copies it
  const run_events *events = nullptr;
  // The TCP fallback's probes, by their index in the round's own run.
  std::vector<std::size_t> truncated;
  bool fallback_wanted = false; // truncated replies are asked again over TCP
  ns_address used{};            // where the round's queries went
  bool fallback = false;        // the engine runs over `truncated`
  const run_settings *settings = nullptr;
  std::vector<int> checked; // probes asked for a check, by provider row
  // Engine indices from 0 are the names that cannot exist, then the lines'.
  std::vector<std::string> nx_names;
  std::vector<probe_answers> nx_answers; // by NX name, of an answered one
  std::vector<int> nx_outcomes;
};

// What the engine's index `at` names: one of the names that cannot exist
// (those come first), or a list line's bare or "www." probe; while the
// TCP fallback runs, its own list's.
struct engine_name {
  std::size_t whole; // the pass's index, past the fallback's list
  bool line_probe;   // a list line's, not a name that cannot exist
  std::size_t line;
  bool www;
};
engine_name name_at(const pass_job *job, std::size_t at);

// A list line's probe: its bare name, or its "www." name.
std::string probe_name(const pass_job *job, std::size_t line, bool www);
// A later round's record of a list line's probe.
round_probe &round_at(pass_result *pass, int round, std::size_t line, bool www);

#endif

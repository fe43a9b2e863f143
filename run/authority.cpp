// The checks: a walk down the delegations (one at a time, so that each
// zone's is followed once), then the zone's servers asked together.
#include "run/authority.h"

#include "net/dns_message.h"
#include "net/probe.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

enum {
  // Referrals followed for one name, and NS names without glue looked up
  // within a lookup: beyond, the delegation is not followed.
  MAX_LEVELS = 16,
  MAX_GLUE_DEPTH = 3,
};

struct cut_server {
  std::string name;
  ns_address address;
  bool child_only;
};

struct zone_cut {
  std::string zone;
  std::vector<cut_server> servers;
  std::string failure; // why nothing below it can be followed
  bool child_asked;    // the zone's own NS set was asked for
};

std::string key_of(const std::string &name, int qtype) {
  return name + "/" + std::to_string(qtype);
}

int labels(const std::string &zone) {
  if (zone == ".")
    return 0;
  int n = 0;
  for (char c : zone)
    n += c == '.';
  return n;
}

} // namespace

struct authority {
  authority_settings settings;
  auth_pacer pacer;
  // One walk down the delegations at a time; it guards the cuts and the
  // NS names' addresses. Recursive: a walk looks up NS names by walking.
  std::recursive_mutex walk;
  std::map<std::string, zone_cut> cuts;
  std::map<std::string, std::vector<ns_address>> glue;
  // The queue, the results and the threads' state.
  std::mutex lock;
  std::condition_variable work;
  std::condition_variable idle;
  std::deque<std::pair<std::string, int>> queue;
  std::set<std::string> asked;
  std::map<std::string, auth_check> results;
  // Every server of every cut known, by address: its name and zone.
  std::map<std::string, std::pair<std::string, std::string>> seen;
  int busy = 0;
  bool ending = false;
  std::vector<std::thread> threads;
};

namespace {

auth_question question(const authority *a, const std::string &name, int qtype) {
  return auth_question{name, qtype, a->settings.timeout_ms,
                       a->settings.attempts};
}

// One server asked one question.
auth_reply ask_one(authority *a, const ns_address &server,
                   const std::string &name, int qtype) {
  const auth_question q = question(a, name, qtype);
  std::vector<auth_reply> replies;
  auth_ask({server}, &q, &a->pacer, &replies);
  return replies[0];
}

// The addresses that records of `records` give `name`.
void add_addresses(const std::vector<dns_record> &records,
                   const std::string &name, std::vector<ns_address> *found) {
  for (const dns_record &r : records) {
    ns_address address;
    if (r.owner == name && (r.type == DNS_TYPE_A || r.type == DNS_TYPE_AAAA) &&
        parse_ns_address(r.data.c_str(), DNS_PORT, &address) == 0)
      found->push_back(address);
  }
}

std::vector<ns_address> addresses_of(authority *a, const std::string &name,
                                     int depth);

// The deepest cut known that holds `name`; the root's at least. Looked up
// suffix by suffix, longest first.
zone_cut deepest(authority *a, const std::string &name) {
  for (std::size_t at = 0; at < name.size(); ++at) {
    if (at > 0 && name[at - 1] != '.')
      continue;
    auto found = a->cuts.find(name.substr(at));
    if (found != a->cuts.end())
      return found->second;
  }
  return a->cuts["."];
}

// The names and zones of a cut's servers, for the tallies.
void remember(authority *a, const zone_cut &cut) {
  std::lock_guard<std::mutex> hold(a->lock);
  for (const cut_server &server : cut.servers)
    a->seen.emplace(auth_address_text(&server.address),
                    std::make_pair(server.name, cut.zone));
}

// A server's addresses: its glue in the reply that names it, or else
// looked up by a walk of their own.
std::vector<ns_address> server_addresses(authority *a, const dns_reply &reply,
                                         const std::string &server, int depth) {
  std::vector<ns_address> found;
  add_addresses(reply.additional, server, &found);
  return found.empty() ? addresses_of(a, server, depth) : found;
}

// The cut that a referral names, with its servers' addresses: glue, or
// looked up. Cached: later walks start there.
zone_cut cut_of_referral(authority *a, const dns_reply &reply,
                         const std::string &name, int depth) {
  std::string zone;
  for (const dns_record &r : reply.authority) {
    if (r.type == DNS_TYPE_NS && name_within(name, r.owner) &&
        labels(r.owner) > labels(zone))
      zone = r.owner;
  }
  auto known = a->cuts.find(zone);
  if (known != a->cuts.end())
    return known->second;
  zone_cut cut{zone, {}, std::string(), false};
  for (const dns_record &r : reply.authority) {
    if (r.type != DNS_TYPE_NS || r.owner != zone)
      continue;
    for (const ns_address &address :
         server_addresses(a, reply, r.data, depth + 1))
      cut.servers.push_back(cut_server{r.data, address, false});
  }
  if (cut.servers.empty())
    cut.failure = "no address for the servers of " + zone;
  a->cuts[zone] = cut;
  remember(a, cut);
  return cut;
}

// Walks down from the deepest known cut, a server at a time, through the
// root and the top-level zones, to the first cut of two labels or more
// (or one that answers for the name itself). False, with why, when a
// level cannot be followed.
bool find_cut(authority *a, const std::string &name, int qtype, int depth,
              zone_cut *cut) {
  std::lock_guard<std::recursive_mutex> hold(a->walk);
  *cut = deepest(a, name);
  for (int level = 0; level < MAX_LEVELS; ++level) {
    if (!cut->failure.empty())
      return false;
    if (labels(cut->zone) >= 2 || depth > MAX_GLUE_DEPTH)
      return true;
    int last = AUTH_NOT_ASKED;
    bool moved = false;
    for (const cut_server &server : cut->servers) {
      const auth_reply reply = ask_one(a, server.address, name, qtype);
      last = reply.outcome;
      if (auth_fine(last))
        return true; // the cut itself serves the name
      if (last == AUTH_REFERRAL) {
        *cut = cut_of_referral(a, reply.reply, name, depth);
        moved = true;
        break;
      }
    }
    if (!moved) {
      a->cuts[cut->zone].failure =
          "the servers of " + cut->zone + " did not answer (" +
          (last == AUTH_NOT_ASKED ? "not reachable from here"
                                  : auth_outcome_name(last)) +
          ")";
      *cut = a->cuts[cut->zone];
    }
  }
  cut->failure = "the delegations go deeper than " +
                 std::to_string(MAX_LEVELS) + " levels";
  return false;
}

// A name's addresses, as its own servers give them (A, and AAAA).
std::vector<ns_address> addresses_of(authority *a, const std::string &name,
                                     int depth) {
  std::lock_guard<std::recursive_mutex> hold(a->walk);
  auto known = a->glue.find(name);
  if (known != a->glue.end())
    return known->second;
  a->glue[name] = {}; // a name whose servers need it itself finds none
  std::vector<ns_address> found;
  if (depth <= MAX_GLUE_DEPTH) {
    for (int qtype :
         {static_cast<int>(DNS_TYPE_A), static_cast<int>(DNS_TYPE_AAAA)}) {
      zone_cut cut;
      if (!find_cut(a, name, qtype, depth, &cut))
        break;
      for (const cut_server &server : cut.servers) {
        const auth_reply reply = ask_one(a, server.address, name, qtype);
        if (!auth_fine(reply.outcome))
          continue;
        add_addresses(reply.reply.answers, name, &found);
        break;
      }
    }
  }
  a->glue[name] = found;
  return found;
}

// The zone's own NS set, asked of its first server that answers, once a
// run: the servers it names that the parent does not are asked too.
void add_child_servers(authority *a, zone_cut *cut) {
  std::lock_guard<std::recursive_mutex> hold(a->walk);
  zone_cut &known = a->cuts[cut->zone];
  if (!known.child_asked) {
    known.child_asked = true;
    for (const cut_server &server : known.servers) {
      const auth_reply asked =
          ask_one(a, server.address, known.zone, DNS_TYPE_NS);
      if (!auth_fine(asked.outcome))
        continue;
      const dns_reply &reply = asked.reply;
      for (const dns_record &r : reply.answers) {
        if (r.type != DNS_TYPE_NS || r.owner != known.zone)
          continue;
        bool listed = false;
        for (const cut_server &s : known.servers)
          listed = listed || s.name == r.data;
        if (listed)
          continue;
        for (const ns_address &address : server_addresses(a, reply, r.data, 1))
          known.servers.push_back(cut_server{r.data, address, true});
      }
      remember(a, known);
      break;
    }
  }
  *cut = known;
}

auth_check check(authority *a, const std::string &name, int qtype) {
  auth_check result;
  for (int level = 0; level < MAX_LEVELS; ++level) {
    zone_cut cut;
    if (!find_cut(a, name, qtype, 0, &cut)) {
      result.zone = cut.zone;
      result.reason = cut.failure;
      return result;
    }
    add_child_servers(a, &cut);
    std::vector<ns_address> addresses;
    for (const cut_server &server : cut.servers)
      addresses.push_back(server.address);
    const auth_question q = question(a, name, qtype);
    std::vector<auth_reply> replies;
    auth_ask(addresses, &q, &a->pacer, &replies);
    // A server that refers further down: the name's zone is below.
    const dns_reply *referral = nullptr;
    for (const auth_reply &r : replies) {
      if (r.outcome == AUTH_REFERRAL)
        referral = &r.reply;
    }
    if (referral) {
      std::lock_guard<std::recursive_mutex> hold(a->walk);
      const zone_cut below = cut_of_referral(a, *referral, name, 0);
      if (labels(below.zone) > labels(cut.zone))
        continue;
    }
    result.zone = cut.zone;
    bool reached = false;
    for (const auth_reply &r : replies)
      reached = reached || r.outcome != AUTH_NOT_ASKED;
    if (!reached)
      result.reason = "no server of " + cut.zone + " can be reached from here";
    for (std::size_t i = 0; i < cut.servers.size(); ++i)
      result.servers.push_back(auth_server{
          cut.servers[i].name, auth_address_text(&cut.servers[i].address),
          cut.servers[i].child_only, replies[i]});
    return result;
  }
  result.reason = "the delegations go deeper than " +
                  std::to_string(MAX_LEVELS) + " levels";
  return result;
}

void serve(authority *a) {
  std::unique_lock<std::mutex> hold(a->lock);
  for (;;) {
    a->work.wait(hold, [a] { return a->ending || !a->queue.empty(); });
    if (a->queue.empty())
      return;
    const std::pair<std::string, int> next = a->queue.front();
    a->queue.pop_front();
    ++a->busy;
    hold.unlock();
    auth_check result = check(a, next.first, next.second);
    hold.lock();
    a->results[key_of(next.first, next.second)] = result;
    if (--a->busy == 0 && a->queue.empty())
      a->idle.notify_all();
  }
}

} // namespace

authority *authority_start(const authority_settings *settings) {
  authority *a = new authority;
  a->settings = *settings;
  auth_pacer_start(&a->pacer, settings->rate);
  zone_cut root{".", {}, std::string(), true};
  for (const hint_server &s : settings->roots) {
    for (const ns_address &address : s.addresses)
      root.servers.push_back(cut_server{s.name, address, false});
  }
  a->cuts["."] = root;
  remember(a, root);
  for (int i = 0; i < std::max(1, settings->threads); ++i)
    a->threads.emplace_back(serve, a);
  return a;
}

void authority_ask(authority *a, const std::string &name, int qtype) {
  const std::string canonical = canonical_name(name);
  std::lock_guard<std::mutex> hold(a->lock);
  if (!a->asked.insert(key_of(canonical, qtype)).second)
    return;
  a->queue.emplace_back(canonical, qtype);
  a->work.notify_one();
}

void authority_wait(authority *a) {
  std::unique_lock<std::mutex> hold(a->lock);
  a->idle.wait(hold, [a] { return a->busy == 0 && a->queue.empty(); });
}

const auth_check *authority_result(authority *a, const std::string &name,
                                   int qtype) {
  std::lock_guard<std::mutex> hold(a->lock);
  auto found = a->results.find(key_of(canonical_name(name), qtype));
  return found == a->results.end() ? nullptr : &found->second;
}

std::vector<auth_tally> authority_tallies(authority *a) {
  std::map<std::string, auth_tally> by_address;
  {
    std::lock_guard<std::mutex> hold(a->pacer.lock);
    for (const auto &entry : a->pacer.queries)
      by_address[entry.first] =
          auth_tally{entry.first, "", "", entry.second, 0, AUTH_ANSWER};
  }
  std::lock_guard<std::mutex> hold(a->lock);
  for (auto &entry : by_address) {
    auto known = a->seen.find(entry.first);
    if (known != a->seen.end()) {
      entry.second.name = known->second.first;
      entry.second.zone = known->second.second;
    }
  }
  for (const auto &entry : a->results) {
    for (const auth_server &s : entry.second.servers) {
      auth_tally &t = by_address[s.address];
      t.address = s.address;
      t.name = s.name;
      t.zone = entry.second.zone;
      if (!auth_fine(s.reply.outcome) && s.reply.outcome != AUTH_NOT_ASKED) {
        ++t.failures;
        t.last_outcome = s.reply.outcome;
      }
    }
  }
  std::vector<auth_tally> tallies;
  for (const auto &entry : by_address)
    tallies.push_back(entry.second);
  return tallies;
}

std::vector<auth_tally> authority_failing(authority *a) {
  std::vector<auth_tally> failing;
  for (const auth_tally &t : authority_tallies(a)) {
    if (t.failures > 0)
      failing.push_back(t);
  }
  std::stable_sort(failing.begin(), failing.end(),
                   [](const auth_tally &x, const auth_tally &y) {
                     return x.failures > y.failures;
                   });
  return failing;
}

void authority_end(authority *a) {
  {
    std::lock_guard<std::mutex> hold(a->lock);
    a->ending = true;
    a->queue.clear();
  }
  a->work.notify_all();
  for (std::thread &t : a->threads)
    t.join();
  delete a;
}

bool auth_fine(int outcome) {
  return outcome == AUTH_ANSWER || outcome == AUTH_NEGATIVE;
}

int authority_verdict(const auth_check *check, int outcome) {
  if (!check)
    return VERDICT_NONE;
  if (!check->reason.empty())
    return VERDICT_UNVERIFIABLE;
  int asked = 0;
  int fine = 0;
  int answers = 0;
  for (const auth_server &s : check->servers) {
    if (s.reply.outcome == AUTH_NOT_ASKED)
      continue;
    ++asked;
    fine += auth_fine(s.reply.outcome);
    answers += s.reply.outcome == AUTH_ANSWER;
  }
  if (asked == 0)
    return VERDICT_UNVERIFIABLE;
  if (fine == 0)
    return VERDICT_AUTHORITY;
  if (fine < asked)
    return VERDICT_PARTIAL;
  // Every server is fine: do they agree with the probe?
  if (outcome == PROBE_NEGATIVE)
    return answers > 0 ? VERDICT_RESOLVER : VERDICT_CONFIRMED;
  if (outcome == PROBE_OK)
    return answers > 0 ? VERDICT_CONFIRMED : VERDICT_RESOLVER;
  return VERDICT_RESOLVER;
}

probe_answers authority_answers(const auth_check *check, int qtype) {
  probe_answers all{{}, {}, -1};
  for (const auth_server &s : check->servers) {
    if (s.reply.outcome == AUTH_ANSWER)
      answers_of(s.reply.reply, qtype, &all);
  }
  return all;
}

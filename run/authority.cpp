// The checks: walks down the delegations, then the zone's servers asked
// together, and a CNAME followed zone by zone. Walks run side by side: one
// waits only for a walk that is learning the same cut or server address,
// so that each is learned once.
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
  // CNAME links followed from a probe's name, as resolvers bound theirs.
  MAX_LINKS = 8,
};

// What the zone's own NS set added to its parent's.
enum { CHILD_UNKNOWN, CHILD_ASKING, CHILD_KNOWN };

struct cut_server {
  std::string name;
  ns_address address;
  bool child_only;
};

struct zone_cut {
  std::string zone;
  std::vector<cut_server> servers;
  std::string failure; // why nothing below it can be followed
  int child = CHILD_UNKNOWN;
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

// The suffix of `name` one label below `zone`: the cut a referral from
// `zone` most likely names.
std::string label_below(const std::string &name, const std::string &zone) {
  const int want = labels(zone) + 1;
  std::size_t at = name.size();
  for (int n = 0; n < want && at > 0;) {
    --at;
    if (at == 0 || name[at - 1] == '.')
      ++n;
  }
  return name.substr(at);
}

} // namespace

struct authority {
  authority_settings settings;
  auth_pacer pacer;
  // Guards the cuts, the NS names' addresses and what is being learned;
  // never held while a query waits.
  std::mutex cut_lock;
  std::condition_variable learned;
  std::map<std::string, zone_cut> cuts;
  std::map<std::string, std::vector<ns_address>> glue;
  std::map<std::string, std::thread::id> learning; // key, and who learns it
  // The queue, the results and the threads' state.
  std::mutex lock;
  std::condition_variable work;
  std::condition_variable ended; // a check has ended
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

// How long a walk waits for another that learns what it needs: more than
// a few servers' whole attempts, so that only two walks that need each
// other's cut ever run out of it.
std::chrono::milliseconds longest_wait(const authority *a) {
  return std::chrono::milliseconds(4 * (a->settings.attempts + 1) *
                                   std::max(1, a->settings.timeout_ms));
}

// Why a walk stopped that went on and on.
std::string too_deep(void) {
  return "the delegations go deeper than " + std::to_string(MAX_LEVELS) +
         " levels";
}

// While held, this thread learns what `key` names; a thread that needs the
// same key waits for it, and then finds it learned. The same thread passes
// (a walk looks up NS names by walking), and a wait is bounded, so that
// two walks that each need the other's cut still end.
class learning_key {
public:
  learning_key(authority *a, const std::string &key) : a_(a), key_(key) {
    std::unique_lock<std::mutex> hold(a->cut_lock);
    auto mine = a->learning.find(key);
    if (mine != a->learning.end() &&
        mine->second == std::this_thread::get_id()) {
      again_ = true;
      return;
    }
    a->learned.wait_for(hold, longest_wait(a),
                        [a, &key] { return !a->learning.count(key); });
    if (!a->learning.count(key)) {
      a->learning[key] = std::this_thread::get_id();
      owner_ = true;
    }
  }
  ~learning_key() {
    if (!owner_)
      return;
    {
      std::lock_guard<std::mutex> hold(a_->cut_lock);
      a_->learning.erase(key_);
    }
    a_->learned.notify_all();
  }
  // This thread was already learning it, further up its own walk.
  bool again() const {
    return again_;
  }

private:
  authority *a_;
  std::string key_;
  bool owner_ = false;
  bool again_ = false;
};

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
// suffix by suffix, longest first. Under cut_lock.
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

zone_cut deepest_now(authority *a, const std::string &name) {
  std::lock_guard<std::mutex> hold(a->cut_lock);
  return deepest(a, name);
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
// looked up. Kept: later walks start there.
zone_cut cut_of_referral(authority *a, const dns_reply &reply,
                         const std::string &name, int depth) {
  std::string zone;
  for (const dns_record &r : reply.authority) {
    if (r.type == DNS_TYPE_NS && name_within(name, r.owner) &&
        labels(r.owner) > labels(zone))
      zone = r.owner;
  }
  {
    std::lock_guard<std::mutex> hold(a->cut_lock);
    auto known = a->cuts.find(zone);
    if (known != a->cuts.end())
      return known->second;
  }
  zone_cut cut{zone, {}, std::string()};
  for (const dns_record &r : reply.authority) {
    if (r.type != DNS_TYPE_NS || r.owner != zone)
      continue;
    for (const ns_address &address :
         server_addresses(a, reply, r.data, depth + 1))
      cut.servers.push_back(cut_server{r.data, address, false});
  }
  if (cut.servers.empty())
    cut.failure = "no address for the servers of " + zone;
  {
    std::lock_guard<std::mutex> hold(a->cut_lock);
    cut = a->cuts.emplace(zone, cut).first->second;
  }
  remember(a, cut);
  return cut;
}

// Walks down from the deepest known cut, a server at a time, through the
// root and the top-level zones, to the first cut of two labels or more
// (or one that answers for the name itself). False, with why, when a
// level cannot be followed.
bool find_cut(authority *a, const std::string &name, int qtype, int depth,
              zone_cut *cut) {
  for (int level = 0; level < MAX_LEVELS; ++level) {
    *cut = deepest_now(a, name);
    if (!cut->failure.empty())
      return false;
    if (labels(cut->zone) >= 2 || depth > MAX_GLUE_DEPTH)
      return true;
    // Walks towards the same cut go one at a time; the later ones find it
    // learned.
    learning_key key(a, "cut " + label_below(name, cut->zone));
    const zone_cut now = deepest_now(a, name);
    if (now.zone != cut->zone || now.failure != cut->failure)
      continue;
    int last = AUTH_NOT_ASKED;
    bool moved = false;
    for (const cut_server &server : cut->servers) {
      const auth_reply reply = ask_one(a, server.address, name, qtype);
      last = reply.outcome;
      if (auth_fine(last))
        return true; // the cut itself serves the name
      if (last == AUTH_REFERRAL) {
        const zone_cut below = cut_of_referral(a, reply.reply, name, depth);
        moved = labels(below.zone) > labels(cut->zone);
        break;
      }
    }
    if (!moved) {
      std::lock_guard<std::mutex> hold(a->cut_lock);
      zone_cut &stuck = a->cuts[cut->zone];
      stuck.failure = "the servers of " + cut->zone + " did not answer (" +
                      (last == AUTH_NOT_ASKED ? "not reachable from here"
                                              : auth_outcome_name(last)) +
                      ")";
      *cut = stuck;
      return false;
    }
  }
  cut->failure = too_deep();
  return false;
}

// A name's addresses, as its own servers give them (A, and AAAA).
std::vector<ns_address> addresses_of(authority *a, const std::string &name,
                                     int depth) {
  {
    std::lock_guard<std::mutex> hold(a->cut_lock);
    auto known = a->glue.find(name);
    if (known != a->glue.end())
      return known->second;
  }
  learning_key key(a, "glue " + name);
  if (key.again())
    return {}; // a name whose servers need it itself finds none
  {
    std::lock_guard<std::mutex> hold(a->cut_lock);
    auto known = a->glue.find(name);
    if (known != a->glue.end())
      return known->second;
  }
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
  std::lock_guard<std::mutex> hold(a->cut_lock);
  a->glue[name] = found;
  return found;
}

// True when this thread is to ask the zone's own NS set (the first check
// of the zone); the others take what it learns.
bool claim_child(authority *a, const std::string &zone) {
  std::lock_guard<std::mutex> hold(a->cut_lock);
  zone_cut &known = a->cuts[zone];
  if (known.child != CHILD_UNKNOWN)
    return false;
  known.child = CHILD_ASKING;
  return true;
}

// The servers that the first fine reply to the zone's NS query names and
// its parent does not, added to the cut.
void learn_child(authority *a, const zone_cut &cut,
                 const std::vector<auth_reply> &ns_replies) {
  std::vector<cut_server> added;
  for (const auth_reply &asked : ns_replies) {
    if (!auth_fine(asked.outcome))
      continue;
    const dns_reply &reply = asked.reply;
    for (const dns_record &r : reply.answers) {
      if (r.type != DNS_TYPE_NS || r.owner != cut.zone)
        continue;
      bool listed = false;
      for (const cut_server &s : cut.servers)
        listed = listed || s.name == r.data;
      for (const cut_server &s : added)
        listed = listed || s.name == r.data;
      if (listed)
        continue;
      for (const ns_address &address : server_addresses(a, reply, r.data, 1))
        added.push_back(cut_server{r.data, address, true});
    }
    break;
  }
  zone_cut now;
  {
    std::lock_guard<std::mutex> hold(a->cut_lock);
    zone_cut &known = a->cuts[cut.zone];
    known.servers.insert(known.servers.end(), added.begin(), added.end());
    known.child = CHILD_KNOWN;
    now = known;
  }
  a->learned.notify_all();
  remember(a, now);
}

// The cut once its own NS set is known (or a bounded wait has passed).
zone_cut child_known(authority *a, const std::string &zone) {
  std::unique_lock<std::mutex> hold(a->cut_lock);
  a->learned.wait_for(hold, longest_wait(a), [a, &zone] {
    return a->cuts[zone].child == CHILD_KNOWN;
  });
  return a->cuts[zone];
}

// The servers of the zone that holds `name`, each asked for it. The
// zone's own NS set is asked in the same round by the first check of the
// zone, and the servers it adds are asked after.
auth_check check_name(authority *a, const std::string &name, int qtype) {
  auth_check result;
  for (int level = 0; level < MAX_LEVELS; ++level) {
    zone_cut cut;
    if (!find_cut(a, name, qtype, 0, &cut)) {
      result.zone = cut.zone;
      result.reason = cut.failure;
      return result;
    }
    const bool mine = claim_child(a, cut.zone);
    std::vector<ns_address> addresses;
    std::vector<auth_question> questions;
    for (const cut_server &server : cut.servers) {
      addresses.push_back(server.address);
      questions.push_back(question(a, name, qtype));
    }
    const std::size_t asked = addresses.size();
    if (mine) {
      for (const cut_server &server : cut.servers) {
        addresses.push_back(server.address);
        questions.push_back(question(a, cut.zone, DNS_TYPE_NS));
      }
    }
    std::vector<auth_reply> replies;
    auth_ask_each(addresses, questions, &a->pacer, &replies);
    if (mine)
      learn_child(a, cut,
                  std::vector<auth_reply>(
                      replies.begin() + static_cast<std::ptrdiff_t>(asked),
                      replies.end()));
    replies.resize(asked);
    // The servers that only the zone's own NS set names, asked now.
    const zone_cut whole = child_known(a, cut.zone);
    std::vector<ns_address> more;
    for (std::size_t i = cut.servers.size(); i < whole.servers.size(); ++i)
      more.push_back(whole.servers[i].address);
    if (!more.empty()) {
      const auth_question q = question(a, name, qtype);
      std::vector<auth_reply> later;
      auth_ask(more, &q, &a->pacer, &later);
      replies.insert(replies.end(), later.begin(), later.end());
    }
    cut.servers.assign(whole.servers.begin(),
                       whole.servers.begin() +
                           static_cast<std::ptrdiff_t>(replies.size()));
    // A server that refers further down: the name's zone is below.
    const dns_reply *referral = nullptr;
    for (const auth_reply &r : replies) {
      if (r.outcome == AUTH_REFERRAL)
        referral = &r.reply;
    }
    if (referral) {
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
  result.reason = too_deep();
  return result;
}

// The first reply with data among a check's servers; null for none.
const auth_reply *first_answer(const std::vector<auth_server> &servers) {
  for (const auth_server &s : servers) {
    if (s.reply.outcome == AUTH_ANSWER)
      return &s.reply;
  }
  return nullptr;
}

std::string chain_text(const std::string &from,
                       const std::vector<std::string> &chain) {
  std::string text = from;
  for (const std::string &link : chain)
    text += " -> " + link;
  return text;
}

// A CNAME in the servers' answer followed as a resolver would, zone by
// zone: where the chain ends, loops or breaks.
void follow_chain(authority *a, const std::string &name, int qtype,
                  auth_check *result) {
  std::set<std::string> seen{name};
  const std::vector<auth_server> *servers = &result->servers;
  for (int link = 0; link < MAX_LINKS; ++link) {
    const auth_reply *answer = first_answer(*servers);
    if (!answer)
      return;
    std::vector<std::string> links;
    const std::string end = chain_end(answer->reply, qtype, &links);
    if (links.empty())
      return; // data, not a chain
    for (const dns_record &r : answer->reply.answers) {
      if (r.owner == end && r.type == qtype) {
        result->chain.insert(result->chain.end(), links.begin(), links.end());
        return; // the chain ends in data within this zone
      }
    }
    for (const std::string &l : links) {
      result->chain.push_back(l);
      if (!seen.insert(l).second) {
        result->chain_end = CHAIN_LOOP;
        result->chain_reason =
            "the CNAME chain loops: " + chain_text(name, result->chain);
        return;
      }
    }
    auth_check next = check_name(a, end, qtype);
    if (!next.reason.empty()) {
      result->reason = "the CNAME target " + end + ": " + next.reason;
      return;
    }
    bool fine = false;
    bool data = false;
    for (const auth_server &s : next.servers) {
      fine = fine || auth_fine(s.reply.outcome);
      data = data || s.reply.outcome == AUTH_ANSWER;
    }
    if (!fine) {
      result->chain_end = CHAIN_BROKEN;
      result->chain_reason =
          "the CNAME chain breaks at " + end + ": no server of " + next.zone +
          " answers (" +
          auth_outcome_name(next.servers.empty()
                                ? AUTH_NOT_ASKED
                                : next.servers[0].reply.outcome) +
          ")";
      return;
    }
    result->end_servers = next.servers;
    if (!data) {
      result->chain_end = CHAIN_NEGATIVE;
      return;
    }
    result->chain_end = CHAIN_DATA;
    servers = &result->end_servers;
  }
  result->chain_end = CHAIN_BROKEN;
  result->chain_reason = "the CNAME chain is longer than " +
                         std::to_string(MAX_LINKS) +
                         " links: " + chain_text(name, result->chain);
}

auth_check check(authority *a, const std::string &name, int qtype) {
  auth_check result = check_name(a, name, qtype);
  if (result.reason.empty() && qtype != DNS_TYPE_CNAME)
    follow_chain(a, name, qtype, &result);
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
    result.ended = std::chrono::steady_clock::now();
    hold.lock();
    a->results[key_of(next.first, next.second)] = result;
    a->ended.notify_all();
    --a->busy;
  }
}

} // namespace

authority *authority_start(const authority_settings *settings) {
  authority *a = new authority;
  a->settings = *settings;
  auth_pacer_start(&a->pacer, settings->rate);
  zone_cut root{".", {}, std::string(), CHILD_KNOWN};
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

void authority_wait_a_while(authority *a, int most_ms) {
  std::unique_lock<std::mutex> hold(a->lock);
  a->ended.wait_for(hold, std::chrono::milliseconds(most_ms));
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
  // A chain that no resolver can follow fails everywhere.
  if (fine == 0 || check->chain_end == CHAIN_LOOP ||
      check->chain_end == CHAIN_BROKEN)
    return VERDICT_AUTHORITY;
  if (fine < asked)
    return VERDICT_PARTIAL;
  // A chain that ends where nothing exists: the name does not resolve.
  if (check->chain_end == CHAIN_NEGATIVE)
    return outcome == PROBE_NEGATIVE ? VERDICT_CONFIRMED : VERDICT_RESOLVER;
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
  // A chain's targets, and the data at its end.
  for (const std::string &link : check->chain) {
    if (std::find(all.cname.begin(), all.cname.end(), link) == all.cname.end())
      all.cname.push_back(link);
  }
  for (const auth_server &s : check->end_servers) {
    if (s.reply.outcome == AUTH_ANSWER)
      answers_of(s.reply.reply, qtype, &all);
  }
  return all;
}

// Asking authoritative servers one question each, all at once, as a check
// of a probe: without recursion, over UDP with EDNS (1232 bytes), the last
// of at least two attempts without EDNS; over TCP when the reply is cut
// short. Queries to any one address are paced. The terminal program's.
#ifndef NET_AUTH_QUERY_H
#define NET_AUTH_QUERY_H

#include "net/dns_reply.h"
#include "net/ns_address.h"
#include "net/schedule.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

// What an authoritative server did, the first that applies.
enum {
  AUTH_REFUSED,
  AUTH_SERVFAIL,
  AUTH_ANSWER,   // AA, with data
  AUTH_NEGATIVE, // AA, NXDOMAIN or no data
  AUTH_REFERRAL, // to servers further down
  AUTH_LAME,     // any other reply without AA
  AUTH_TIMEOUT,
  AUTH_ERROR,
  AUTH_NOT_ASKED, // an address this host cannot reach (IPv6 without a route)
};

struct auth_reply {
  int outcome; // AUTH_
  int rcode;   // -1 for none
  bool aa;
  int ms;        // from the first query to the reply; -1 for none
  int transport; // NS_UDP or NS_TCP
  dns_reply reply;
};

// Per address: when the next query may go, and what each has had.
struct auth_pacer {
  probe_clock::duration interval{}; // between queries to one address
  std::mutex lock;
  std::map<std::string, probe_clock::time_point> next;
  std::map<std::string, int> queries;
};

void auth_pacer_start(auth_pacer *pacer, double rate);

struct auth_question {
  std::string name; // canonical
  int qtype;
  int timeout_ms; // per attempt
  int attempts;   // over UDP: with EDNS but the last, and at least two
};

// Asks every server the question, all at once; `replies` by server.
void auth_ask(const std::vector<ns_address> &servers, const auth_question *q,
              auth_pacer *pacer, std::vector<auth_reply> *replies);
// The same with a question of its own for each server.
void auth_ask_each(const std::vector<ns_address> &servers,
                   const std::vector<auth_question> &questions,
                   auth_pacer *pacer, std::vector<auth_reply> *replies);

// What a reply says, for the question's name.
int auth_outcome(const dns_reply &reply, const std::string &qname);
// "refused", "servfail", "answer", "negative", "referral", "lame",
// "timeout", "error" or "not_asked" for an AUTH_.
const char *auth_outcome_name(int outcome);
// The address text of a server, without its port when it is 53.
std::string auth_address_text(const ns_address *server);

#endif

// The root hints: IANA's, as of 2023 (b.root-servers.net's new addresses),
// and the file form that named.root uses.
#include "run/root_hints.h"

#include "net/dns_reply.h"
#include "net/probe.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace {

struct builtin {
  const char *name;
  const char *v4;
  const char *v6;
};

const builtin ROOTS[] = {
    {"a.root-servers.net.", "198.41.0.4", "2001:503:ba3e::2:30"},
    {"b.root-servers.net.", "170.247.170.2", "2801:1b8:10::b"},
    {"c.root-servers.net.", "192.33.4.12", "2001:500:2::c"},
    {"d.root-servers.net.", "199.7.91.13", "2001:500:2d::d"},
    {"e.root-servers.net.", "192.203.230.10", "2001:500:a8::e"},
    {"f.root-servers.net.", "192.5.5.241", "2001:500:2f::f"},
    {"g.root-servers.net.", "192.112.36.4", "2001:500:12::d0d"},
    {"h.root-servers.net.", "198.97.190.53", "2001:500:1::53"},
    {"i.root-servers.net.", "192.36.148.17", "2001:7fe::53"},
    {"j.root-servers.net.", "192.58.128.30", "2001:503:c27::2:30"},
    {"k.root-servers.net.", "193.0.14.129", "2001:7fd::1"},
    {"l.root-servers.net.", "199.7.83.42", "2001:500:9f::42"},
    {"m.root-servers.net.", "202.12.27.33", "2001:dc3::35"},
};

bool is_number(const std::string &word) {
  for (char c : word) {
    if (!std::isdigit(static_cast<unsigned char>(c)))
      return false;
  }
  return !word.empty();
}

std::string upper(std::string word) {
  for (char &c : word)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return word;
}

} // namespace

std::vector<hint_server> builtin_root_hints(void) {
  std::vector<hint_server> servers;
  for (const builtin &b : ROOTS) {
    hint_server s;
    s.name = b.name;
    ns_address a;
    if (parse_ns_address(b.v4, DNS_PORT, &a) == 0)
      s.addresses.push_back(a);
    if (parse_ns_address(b.v6, DNS_PORT, &a) == 0)
      s.addresses.push_back(a);
    servers.push_back(s);
  }
  return servers;
}

int read_root_hints(const char *path, std::vector<hint_server> *servers,
                    std::string *error) {
  std::ifstream in(path);
  if (!in) {
    *error = std::string(path) + ": cannot be read";
    return -1;
  }
  std::vector<std::string> names; // the root's NS targets, in order
  std::map<std::string, std::vector<ns_address>> addresses;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string where = std::string(path) + ":" + std::to_string(number);
    const std::size_t comment = line.find(';');
    if (comment != std::string::npos)
      line.erase(comment);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;)
      w.push_back(word);
    if (w.empty())
      continue;
    // NAME [TTL] [IN] TYPE DATA
    std::size_t at = 1;
    if (at < w.size() && is_number(w[at]))
      ++at;
    if (at < w.size() && upper(w[at]) == "IN")
      ++at;
    if (w.size() != at + 2) {
      *error = where + ": not a record of the form NAME [TTL] [IN] TYPE DATA";
      return -1;
    }
    const std::string type = upper(w[at]);
    const std::string owner = canonical_name(w[0]);
    if (type == "NS") {
      if (owner != ".") {
        *error = where + ": an NS record of " + owner + ", not of the root";
        return -1;
      }
      names.push_back(canonical_name(w[at + 1]));
    } else if (type == "A" || type == "AAAA") {
      ns_address a;
      const bool v6 = w[at + 1].find(':') != std::string::npos;
      if (v6 != (type == "AAAA") ||
          parse_ns_address(w[at + 1].c_str(), DNS_PORT, &a) != 0) {
        *error = where + ": \"" + w[at + 1] + "\" is no " + type + " address";
        return -1;
      }
      addresses[owner].push_back(a);
    } else {
      *error = where + ": a record of type " + w[at] +
               " (a root hints file holds NS, A and AAAA)";
      return -1;
    }
  }
  servers->clear();
  for (const std::string &name : names) {
    hint_server s{name, addresses[name]};
    if (!s.addresses.empty())
      servers->push_back(s);
  }
  if (servers->empty()) {
    *error = std::string(path) +
             ": no root server with an address (NS records of \".\" and "
             "their A or AAAA records)";
    return -1;
  }
  return 0;
}

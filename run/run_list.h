// A domain list as an engine run takes it: every counted line in list
// order, each with its provider row, and the rows' names. Two sets of rules
// make one: the open rules (any tag, bare domains, comments, no limit) and
// the classic rules of the Windows program.
#ifndef RUN_RUN_LIST_H
#define RUN_RUN_LIST_H

#include <string>
#include <unordered_map>
#include <vector>

enum {
  LIST_OPEN,
  LIST_CLASSIC,
  NO_ROW = -1, // a counted line that is never probed (classic rules)
};

// The name of the row of bare domains (lines without a tag).
extern const char BARE_ROW_NAME[];

struct list_line {
  std::string domain; // as asked, bare; "www." is put before it for the other
  int row;            // into run_list::providers, or NO_ROW
  // The name has no ASCII form the DNS knows: it is never sent.
  bool unconvertible;
};

struct run_list {
  int rules; // LIST_OPEN or LIST_CLASSIC
  // The eight built-in tags in their order, then the list's own tags in
  // the order first seen, then BARE_ROW_NAME when a line has no tag.
  std::vector<std::string> providers;
  std::vector<list_line> lines;
  std::size_t probed; // lines with a row
  bool cut;           // classic rules: lines after the 2048th were left out
  // Open rules: lines holding a control character, which no name has (a
  // binary file, escape sequences): neither kept nor counted. The first
  // one's bytes, to show.
  std::size_t control_lines;
  std::string first_control;
  // The domain as the list wrote it, for the lines whose asked form differs
  // (an internationalised name in its ASCII form); few lines, so a map.
  std::unordered_map<std::size_t, std::string> written;
};

// The domain of line `i` as the list wrote it.
const std::string &written_domain(const run_list *list, std::size_t i);

// The open rules: "tag:domain" or a bare "domain" a line, blanks around
// each trimmed, blank lines and "#" comments skipped, any length and
// number of lines; UTF-16 with a byte order mark is decoded to UTF-8, a
// UTF-8 mark skipped, other bytes kept. 0, or -1 with errno set.
int load_open_list(const char *path, run_list *list);
// The classic rules, through the Windows program's own loader: 254-character
// pieces, at most 2048 lines, only the eight tags probed, nothing trimmed.
int load_classic_list(const char *path, run_list *list);

#endif

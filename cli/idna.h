// Internationalised domain names: a list's names as the DNS knows them.
#ifndef CLI_IDNA_H
#define CLI_IDNA_H

#include "run/run_list.h"

#include <cstddef>
#include <string>

struct idna_report {
  std::size_t failed; // names with no ASCII form
  std::string first;  // the first of them, as UTF-8
  std::string reason; // why it has none
};

// Puts every domain of the list that is not plain ASCII into its ASCII form
// (UTS #46 non-transitional processing, IDNA 2008): decoded as UTF-8, or as
// GBK when it is not UTF-8, then converted label by label. The list keeps
// the written form beside it. A name that cannot be converted is marked,
// and never sent. ASCII names stay as they are, case and all.
void convert_names(run_list *list, idna_report *report);

#endif

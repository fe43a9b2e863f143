// The domain list: `provider:domain` lines read from a file, and the provider
// tags that map a line to its result row.
#ifndef RUN_DOMAIN_LIST_H
#define RUN_DOMAIN_LIST_H

enum {
  MAX_DOMAINS = 2048,
  PROVIDER_TAG_COUNT = 8,
  // A copy of a stored line (at most 254 characters) and its terminator.
  LINE_COPY_SIZE = 256,
};

extern char *domain_list[MAX_DOMAINS];
extern int domain_count;
// The last load kept MAX_DOMAINS lines and left at least one more behind.
extern bool domain_list_cut;
extern const char *const provider_tags[PROVIDER_TAG_COUNT];

int load_domain_list(const char *path);
char *split_provider(char *line);
int match_provider(const char *field);
// Copies a stored line into the zero-filled `copy` and splits it: its domain,
// with its provider row in *row; null for a line that is never probed (a
// null entry, no colon, no known tag).
char *usable_domain(const char *entry, char copy[LINE_COPY_SIZE], int *row);

#endif

// The domain list: `provider:domain` lines read from a file, and the provider
// tags that map a line to its result row.
#ifndef RUN_DOMAIN_LIST_H
#define RUN_DOMAIN_LIST_H

enum {
  MAX_DOMAINS = 2048,
  PROVIDER_TAG_COUNT = 8,
};

extern char *domain_list[MAX_DOMAINS];
extern int domain_count;
extern const char *const provider_tags[PROVIDER_TAG_COUNT];

int load_domain_list(const char *path);
char *split_provider(char *line);
int match_provider(const char *field);

#endif

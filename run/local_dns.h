// The machine's own nameservers, at most two, found once at start-up.
#ifndef RUN_LOCAL_DNS_H
#define RUN_LOCAL_DNS_H

enum {
  // The platform's address string: a dotted IPv4 text and its terminator.
  LOCAL_DNS_ADDR_SIZE = 16,
  // What the start-up split hands get_local_dns; the text is at most 31.
  LOCAL_DNS_TEXT_SIZE = 128,
};

// The two public resolvers that a run tests after the machine's own.
extern const char public_dns_1[];
extern const char public_dns_2[];

extern int local_dns_num;
extern char *local_dns_text;
extern const char *local_dns_1;
extern const char *local_dns_2;

int get_local_dns(char *text, int size);
// Start-up: asks get_local_dns, keeps a heap copy and splits it at the comma.
int split_local_dns(void);
// The split itself, of a text as get_local_dns gives it, checked against
// local_dns_num; 0, or -1 when the two disagree or the copy failed (the
// count is then made to agree with the text).
int split_local_dns_text(const char *text);
void release_local_dns(void);

// Writes "a", or "a,b" when `second` is not null, into `text` (already
// cleared) and sets local_dns_num to 1 or 2; the platform files call it.
void join_local_dns(char *text, int size, const char *first,
                    const char *second);

#ifndef _WIN32
// The file the native build reads the nameservers from; tests point it at
// files of their own.
extern const char *resolv_conf_path;
#endif

#endif

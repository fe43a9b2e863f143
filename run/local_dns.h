// The machine's own nameservers, at most two, found once at start-up.
#ifndef RUN_LOCAL_DNS_H
#define RUN_LOCAL_DNS_H

extern int local_dns_num;
extern char *local_dns_text;
extern const char *local_dns_1;
extern const char *local_dns_2;

int get_local_dns(char *text, int size);
// Start-up: asks get_local_dns, keeps a heap copy and splits it at the comma.
int split_local_dns(void);
void release_local_dns(void);

#endif

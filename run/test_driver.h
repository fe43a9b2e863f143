// One test run: every nameserver of the sequence, one pass each.
#ifndef RUN_TEST_DRIVER_H
#define RUN_TEST_DRIVER_H

extern const char public_dns_1[];
extern const char public_dns_2[];

int test_driver(char **domains);

#endif

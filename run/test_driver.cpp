// The test driver.
#include "run/test_driver.h"

const char public_dns_1[] = "223.5.5.5";
const char public_dns_2[] = "119.29.29.29";

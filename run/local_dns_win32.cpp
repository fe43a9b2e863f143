// The machine's nameservers as the platform lists them: the first two
// entries of GetNetworkParams' DnsServerList.
#include "run/local_dns.h"

#include <winsock2.h>
#include <iphlpapi.h>

#include <cstdlib>
#include <cstring>

namespace {

// The first call only learns the size the record needs.
enum { FIRST_CALL_SIZE = 4 };

} // namespace

int get_local_dns(char *text, int size) {
  std::memset(text, 0, static_cast<std::size_t>(size));

  ULONG buffer_size = FIRST_CALL_SIZE;
  void *buffer = std::calloc(1, FIRST_CALL_SIZE);
  DWORD rc = GetNetworkParams(static_cast<FIXED_INFO *>(buffer), &buffer_size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    std::free(buffer);
    buffer = std::malloc(buffer_size);
  }
  if (buffer)
    rc = GetNetworkParams(static_cast<FIXED_INFO *>(buffer), &buffer_size);

  // A record the platform did not fill is never read: no nameserver then.
  if (!buffer || rc != ERROR_SUCCESS) {
    join_local_dns(text, size, "", nullptr);
    std::free(buffer);
    return 0;
  }
  const FIXED_INFO *info = static_cast<const FIXED_INFO *>(buffer);
  const IP_ADDR_STRING *second = info->DnsServerList.Next;
  join_local_dns(text, size, info->DnsServerList.IpAddress.String,
                 second ? second->IpAddress.String : nullptr);
  std::free(buffer);
  return 0;
}

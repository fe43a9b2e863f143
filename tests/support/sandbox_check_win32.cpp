// Under Wine the adapters are the Linux namespace's interfaces: inside the
// sandbox only the loopback one.
#include "tests/support/sandbox_check.h"

#include <winsock2.h>
#include <iphlpapi.h>

#include <vector>

std::string sandbox_problem(void) {
  ULONG size = 16384;
  std::vector<unsigned char> buffer(size);
  ULONG rc = GetAdaptersAddresses(
      AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr,
      reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()), &size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    buffer.resize(size);
    rc = GetAdaptersAddresses(
        AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr,
        reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()), &size);
  }
  if (rc == ERROR_NO_DATA)
    return "";
  if (rc != NO_ERROR)
    return "cannot list the network adapters";
  std::string problem;
  for (IP_ADAPTER_ADDRESSES *a =
           reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data());
       a; a = a->Next) {
    if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK)
      continue;
    problem += problem.empty() ? "adapters other than loopback: " : ", ";
    problem += a->AdapterName;
  }
  return problem;
}

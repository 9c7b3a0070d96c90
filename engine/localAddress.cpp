#include "localAddress.h"

#include "engineLimits.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace gw {

namespace {

struct TInterfaceAddresses {
  std::vector<uint32_t> Addresses;
  TTime ReadAt{};
  bool Read = false;

  void RefreshIfDue(TTime now) {
    if (Read && now - ReadAt < TEngineLimits::kLocalAddressRefresh) return;
    Read = true;
    ReadAt = now;
    Addresses.clear();
    ifaddrs* list = nullptr;
    // Without the list only loopback and the unspecified address count as local.
    if (::getifaddrs(&list) != 0) return;
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, &freeifaddrs);
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next)
      if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET)
        Addresses.push_back(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
  }
};

} // namespace

bool IsLocalAddress(uint32_t address, TTime now) {
  const uint32_t host = ntohl(address);
  if ((host >> 24) == 127 || host == INADDR_ANY) return true;
  static TInterfaceAddresses interfaces;
  interfaces.RefreshIfDue(now);
  return std::find(interfaces.Addresses.begin(), interfaces.Addresses.end(), address) != interfaces.Addresses.end();
}

} // namespace gw

#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace gw {

// How this host sends to an IPv4 address, as the routing table says at the moment of asking.
struct TRoute {
  int Interface = 0;      // the outgoing interface's index
  uint32_t Source = 0;    // the source address a socket bound to any address uses, network order
  bool Local = false;     // the address is this host's own: delivered, never sent out
};

// Asks the kernel's routing table (one netlink request, answered at once). Without a route,
// nothing, with the reason in `failure`.
std::optional<TRoute> RouteTo(uint32_t address, std::string& failure);

} // namespace gw

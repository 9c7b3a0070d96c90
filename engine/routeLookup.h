#pragma once

#include "uvHandle.h"

#include <cstdint>
#include <functional>
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

// Tells of every change of this namespace's IPv4 routes, addresses and links, as the kernel
// announces them (rtnetlink's groups), on the loop: `changed` runs once per wake-up that read
// any, and also when announcements were lost (the socket's queue overflowed), since then
// anything may have changed. Start fails with the reason; nothing is told then.
class TRouteWatch {
public:
  explicit TRouteWatch(std::function<void()> changed) : changed_(std::move(changed)) {}
  std::string Start(uv_loop_t* loop);

private:
  static void OnReadable(uv_poll_t* handle, int status, int events);

  std::function<void()> changed_;
  TFd fd_;
  TUvHandle<uv_poll_t> poll_;
};

} // namespace gw

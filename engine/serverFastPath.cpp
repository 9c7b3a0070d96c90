#include "server.h"

#include <algorithm>

// The tunnel's side of the kernel's fast path: whether it is on, which relays it carries,
// and what the kernel saw of them.
namespace gw {

namespace {
std::string NotCarried(const TClient& relay, const std::string& failure) {
  return "Fast path off for " + relay.Describe() + ": " + failure;
}
} // namespace

void TServer::TellFastPath() {
  TFastPath* path = context_.FastPath();
  if (!path) return;
  std::string reason = path->Failure();
  if (reason.empty() && !Listening()) reason = "the tunnel port is not open";
  if (reason.empty() && serverAddress_ == 0) reason = "the server's address is unknown";
  if (reason.empty())
    if (const std::optional<TRoute> route = RouteTo(serverAddress_, reason))
      reason = path->CannotCarryThrough(route->Interface);
  const bool wasOn = fastPathOn_;
  fastPathOn_ = reason.empty();
  std::string line = fastPathOn_ ? "Fast path on for " + Describe() : "Fast path off for " + Describe() + ": " + reason;
  if (line != fastPathLine_) {
    fastPathLine_ = std::move(line);
    context_.AddLog(fastPathLine_);
  }
  if (fastPathOn_ == wasOn) return;
  // Turned on, the relays it has are carried; turned off (the server's route moved to an
  // interface it cannot use), they go back to the sockets.
  for (const auto& relay : clients_) {
    if (fastPathOn_)
      CarryInKernel(*relay);
    else
      relay->LeaveKernel();
  }
}

void TServer::CarryInKernel(TClient& relay) {
  // Query replies are rewritten, which only the sockets do.
  if (!fastPathOn_ || relay.IsQuery || !relay.Connected()) return;
  std::string failure;
  relay.KernelPath = TFastPathRelay::Install(*context_.FastPath(),
                                             {relay.Peer, GameSocket->LocalPort(), relay.UpstreamPeer(),
                                              relay.UpstreamPort()},
                                             context_.Now(), failure);
  if (!relay.KernelPath)
    refusals_.Write(kNotCarried, [&] { return NotCarried(relay, failure); });
}

void TServer::TakeKernelActivity() {
  if (!context_.FastPath()) return;
  for (const auto& relay : clients_) {
    if (!relay->KernelPath) continue;
    // A lease the table would not renew: the relay is back on the sockets, and says so.
    if (const std::string& failure = relay->KernelPath->Failure(); !failure.empty()) {
      refusals_.Write(kNotCarried, [&] { return NotCarried(*relay, failure); });
      relay->LeaveKernel();
      continue;
    }
    const TTime seen = relay->KernelPath->ClientLastSeen();
    relay->LastActivity = std::max(relay->LastActivity, seen);
    LastActivity = std::max(LastActivity, seen);
  }
}

} // namespace gw

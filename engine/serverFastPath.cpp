#include "server.h"

#include <algorithm>
#include <utility>

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
  // interface it cannot use), they go back to the sockets, and new sources with them.
  kernelPacing_ = fastPathOn_ ? std::make_unique<TFastPathPacing>(*path, GameSocket->LocalPort()) : nullptr;
  kernelKnowsEveryRelay_ = true;
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
  if (relay.KernelPath) return;
  refusals_.Write(kNotCarried, [&] { return NotCarried(relay, failure); });
  LeaveKernel(relay);
}

void TServer::LeaveKernel(TClient& relay) {
  relay.LeaveKernel();
  if (relay.IsQuery) return;
  kernelKnowsEveryRelay_ = false;
  if (kernelPacing_) kernelPacing_->Stop();
}

void TServer::PaceInKernel(TTime now) {
  // Once a hold at most, whether it worked or not: not a table write per datagram of a flood.
  if (!kernelPacing_ || !kernelKnowsEveryRelay_ || kernelPacing_->Pacing(now)) return;
  TurnAwayInKernel(now);
}

void TServer::TurnAwayInKernel(TTime now) {
  kernelPacing_->TurnAwayFrom(now);
  if (const std::string& failure = kernelPacing_->Failure(); !failure.empty())
    refusals_.Write(kNotPaced, [&] { return "Fast path off for new clients of " + Describe() + ": " + failure; });
}

void TServer::TakeKernelActivity() {
  if (!context_.FastPath()) return;
  bool knowsEveryRelay = true;
  for (const auto& relay : clients_) {
    if (!relay->KernelPath) {
      if (!relay->IsQuery) knowsEveryRelay = false;
      continue;
    }
    // A lease the table would not renew: the relay is back on the sockets, and says so.
    if (const std::string& failure = relay->KernelPath->Failure(); !failure.empty()) {
      refusals_.Write(kNotCarried, [&] { return NotCarried(*relay, failure); });
      LeaveKernel(*relay);
      knowsEveryRelay = false;
      continue;
    }
    const TTime seen = relay->KernelPath->ClientLastSeen();
    if (seen > relay->LastActivity) {
      relay->LastActivity = seen;
      relay->Place.Touch(seen);
    }
    if (relay->Established()) LastActivity = std::max(LastActivity, seen);
  }
  kernelKnowsEveryRelay_ = knowsEveryRelay;
}

void TServer::SweepKernelPacing(TTime now) {
  // The query port's floods are its own: they never turn the game port's newcomers away.
  const uint64_t trialsMade = admission_.TakeGameTrials();
  if (!kernelPacing_) return;
  // What the kernel turned away counts as the pace's refusals, in the pace's line when the
  // pace refused first.
  const uint64_t turnedAway = kernelPacing_->TakeTurnedAway();
  counts_.Refused.Add(TRefusal::TrialPace, turnedAway);
  paceRefusals_.Write(
      0,
      [&] {
        return "Refused new clients of " + Describe() + " in the kernel: more than " +
               std::to_string(TAdmissionLimits::kFloodPerSecond) + " a second";
      },
      turnedAway);
  // A relay gone back to the sockets has stopped it already (LeaveKernel).
  if (kernelKnowsEveryRelay_ && trialsMade + turnedAway > TAdmissionLimits::kFloodPerSecond) TurnAwayInKernel(now);
}

} // namespace gw

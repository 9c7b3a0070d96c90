#include "tunnelFastPath.h"

#include "server.h"

#include <algorithm>
#include <utility>

namespace gw {

namespace {
// Keys of the failures' log.
constexpr int kNotCarried = 0;
constexpr int kNotPaced = 1;

std::string NotCarried(const TClient& relay, const std::string& failure) {
  return "Fast path off for " + relay.Describe() + ": " + failure;
}
} // namespace

TTunnelFastPath::TTunnelFastPath(TEngineContext& context, const TServer& tunnel, TTunnelCounts& counts,
                                 TRepeatedLog& paceRefusals)
    : context_(context), tunnel_(tunnel), counts_(counts), paceRefusals_(paceRefusals), failures_(context) {}

void TTunnelFastPath::Tell(int gamePort, uint32_t serverAddress) {
  TFastPath* path = context_.FastPath();
  if (!path) return;
  std::string reason = path->Failure();
  if (reason.empty() && gamePort == 0) reason = "the tunnel port is not open";
  if (reason.empty() && serverAddress == 0) reason = "the server's address is unknown";
  if (reason.empty())
    if (const std::optional<TRoute> route = RouteTo(serverAddress, reason))
      reason = path->CannotCarryThrough(route->Interface);
  const bool wasOn = on_;
  on_ = reason.empty();
  gamePort_ = gamePort;
  std::string line =
      on_ ? "Fast path on for " + tunnel_.Describe() : "Fast path off for " + tunnel_.Describe() + ": " + reason;
  if (line != line_) {
    line_ = std::move(line);
    context_.AddLog(line_);
  }
  if (on_ == wasOn) return;
  pacing_ = on_ ? std::make_unique<TFastPathPacing>(*path, gamePort) : nullptr;
  knowsEveryRelay_ = true;
  for (const auto& relay : tunnel_.Relays()) {
    if (on_)
      Carry(*relay);
    else
      relay->LeaveKernel();
  }
}

void TTunnelFastPath::Stop() {
  on_ = false;
  pacing_.reset();
  for (const auto& relay : tunnel_.Relays()) relay->LeaveKernel();
}

void TTunnelFastPath::Carry(TClient& relay) {
  // Query replies are rewritten, which only the sockets do.
  if (!on_ || relay.IsQuery) return;
  if (!relay.Connected()) {
    knowsEveryRelay_ = false;
    return;
  }
  std::string failure;
  relay.KernelPath = TFastPathRelay::Install(*context_.FastPath(),
                                             {relay.Peer, gamePort_, relay.UpstreamPeer(), relay.UpstreamPort()},
                                             context_.Now(), *this, relay, failure);
  if (relay.KernelPath) return;
  failures_.Write(kNotCarried, [&] { return NotCarried(relay, failure); });
  Leave(relay);
}

void TTunnelFastPath::Leave(TClient& relay) {
  relay.LeaveKernel();
  if (relay.IsQuery) return;
  knowsEveryRelay_ = false;
  if (pacing_) pacing_->Stop();
}

void TTunnelFastPath::PaceRefused(TTime now) {
  // Once a hold at most, whether it worked or not: not a table write per datagram of a flood.
  if (!pacing_ || !knowsEveryRelay_ || pacing_->Pacing(now)) return;
  TurnAway(now);
}

void TTunnelFastPath::TurnAway(TTime now) {
  pacing_->TurnAwayFrom(now);
  if (const std::string& failure = pacing_->Failure(); !failure.empty())
    failures_.Write(kNotPaced, [&] { return "Fast path off for new clients of " + tunnel_.Describe() + ": " + failure; });
}

void TTunnelFastPath::ClientCarried(TClient& relay, TTime at) {
  if (at > relay.LastActivity) {
    relay.LastActivity = at;
    relay.Place.Touch(at);
  }
  if (relay.Established()) carried_ = std::max(carried_, at);
}

void TTunnelFastPath::TakeActivity(TTime& lastActivity) {
  lastActivity = std::max(lastActivity, carried_);
  if (!on_) return;
  // The relays are looked at only when one may have left the kernel: a failed renewal, or
  // one the kernel did not take, until it is gone or taken.
  if (knowsEveryRelay_ && !renewalFailed_) return;
  renewalFailed_ = false;
  bool knowsEveryRelay = true;
  for (const auto& relay : tunnel_.Relays()) {
    if (!relay->KernelPath) {
      if (!relay->IsQuery) knowsEveryRelay = false;
      continue;
    }
    // A lease the table would not renew: the relay is back on the sockets, and says so.
    if (const std::string& failure = relay->KernelPath->Failure(); !failure.empty()) {
      failures_.Write(kNotCarried, [&] { return NotCarried(*relay, failure); });
      Leave(*relay);
      knowsEveryRelay = false;
    }
  }
  knowsEveryRelay_ = knowsEveryRelay;
}

void TTunnelFastPath::Sweep(TTime now, uint64_t gameTrials) {
  if (on_) context_.FastPath()->Swept();
  if (!pacing_) return;
  // What the kernel turned away counts as the pace's refusals, in the pace's line when the
  // pace refused first.
  const uint64_t turnedAway = pacing_->TakeTurnedAway();
  counts_.Refused.Add(TRefusal::TrialPace, turnedAway);
  paceRefusals_.Write(
      0,
      [&] {
        return "Refused new clients of " + tunnel_.Describe() + " in the kernel: more than " +
               std::to_string(TAdmissionLimits::kFloodPerSecond) + " a second";
      },
      turnedAway);
  // A relay gone back to the sockets has stopped it already (Leave).
  if (knowsEveryRelay_ && gameTrials + turnedAway > TAdmissionLimits::kFloodPerSecond) TurnAway(now);
}

} // namespace gw

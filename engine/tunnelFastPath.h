#pragma once

#include "clientconn.h"
#include "context.h"
#include "counts.h"
#include "fastPath.h"
#include "repeatedLog.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace gw {

class TServer;

// A tunnel's share of the kernel's fast path: whether it is on for the tunnel, which of its
// relays the kernel carries, whether the kernel turns the game port's new sources away,
// and what the kernel saw of them. The tunnel calls it at a few points: its server's
// address known, a relay answered or gone back to the sockets, the pace refusing, the
// sweep, the end. What the kernel carried comes in as its table is read, relay by relay,
// so that the sweep need not look at every relay.
class TTunnelFastPath : private TFastPathRelay::TWatcher {
public:
  // `paceRefusals` is the tunnel's log of the pace's refusals, which the kernel's share.
  TTunnelFastPath(TEngineContext& context, const TServer& tunnel, TTunnelCounts& counts, TRepeatedLog& paceRefusals);
  TTunnelFastPath(const TTunnelFastPath&) = delete;
  TTunnelFastPath& operator=(const TTunnelFastPath&) = delete;

  // The tunnel (re)started: its next state is told whatever the last one was.
  void Restart() { line_.clear(); }
  // Whether the fast path is on for a tunnel listening on `gamePort` (0: not listening) to
  // `serverAddress`, told when that changes; turned on, the tunnel's relays are carried,
  // turned off (the server's route moved to an interface it cannot use) they go back to
  // the sockets, and new sources with them.
  void Tell(int gamePort, uint32_t serverAddress);
  // The tunnel lets its port go: nothing of it is carried any more.
  void Stop();
  // Hands a relay to the kernel once its sockets exist, the upstream one connected.
  void Carry(TClient& relay);
  // Sends a relay back to the sockets, where the kernel can no longer tell its datagrams
  // from new sources.
  void Leave(TClient& relay);
  // The pace turned a new source of the game port away: the kernel turns the next ones away
  // too, while it carries every relay the server answered.
  void PaceRefused(TTime now);
  // The times the kernel last carried each relay's client count as the relay's activity
  // (as the table is read), and an established one's as the tunnel's (`lastActivity`, here);
  // relays whose lease the table would not renew go back to the sockets.
  void TakeActivity(TTime& lastActivity);
  // Once a sweep, with the game port's trials made since the last: the next pass over the
  // kernel's table is set away from the sweep's turn, the datagrams the kernel turned away
  // count as the pace's refusals, and the kernel turns new sources away while they come as
  // a flood.
  void Sweep(TTime now, uint64_t gameTrials);

private:
  void TurnAway(TTime now);
  void ClientCarried(TClient& relay, TTime at) override;
  void RenewalFailed() override { renewalFailed_ = true; }

  TEngineContext& context_;
  const TServer& tunnel_;
  TTunnelCounts& counts_;
  TRepeatedLog& paceRefusals_;
  // Relays the kernel would not carry, and ports it would not pace.
  TRepeatedLog failures_;
  bool on_ = false;
  int gamePort_ = 0;
  // Made while the fast path is on; whether the kernel knew every answered relay at the last
  // look (the sweep's, or a relay it refused since).
  std::unique_ptr<TFastPathPacing> pacing_;
  bool knowsEveryRelay_ = true;
  // A renewal failed since the last look at the relays.
  bool renewalFailed_ = false;
  // The latest time the kernel carried an established relay's client.
  TTime carried_{};
  std::string line_;
};

} // namespace gw

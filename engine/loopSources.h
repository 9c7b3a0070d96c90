#pragma once

#include "clock.h"
#include "hostAbout.h"

#include <cstdint>
#include <deque>
#include <unordered_map>

namespace gw {

// A port that services answer from (TAdmissionLimits::kFirstClientPort and
// kServicePortsAbove): never a game client's.
bool IsServicePort(uint16_t port);

// An address of this host's loopback (127.0.0.0/8, network byte order), which no datagram
// from a network may carry: its sources are the host's own programs (a benchmark, a local
// tool), not a forger's, and are not held to a player's rate.
bool IsLoopbackAddress(uint32_t address);

// The sources of one tunnel whose relays were closed as loops, refused as new clients for a
// while (TAdmissionLimits::kLoopRefusedFor), at most kLoopsRemembered of them. Looked up at
// every new source, so an empty memory costs nothing.
class TLoopSources {
public:
  void Closed(const TPeerAddress& source, TTime now);
  bool Refuses(const TPeerAddress& source, TTime now) const;

private:
  std::unordered_map<uint64_t, TTime> closedAt_;
  // Oldest first, to forget by.
  std::deque<uint64_t> order_;
};

} // namespace gw

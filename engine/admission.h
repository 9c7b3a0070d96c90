#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>

namespace gw {

class TServer;

// What a tunnel grants a client address it has not seen before, and why. A tunnel stands
// in front of its game server so that attacks meet the relay: anyone can send a datagram
// from any source address, so a new address costs the relay a socket, an ephemeral port
// and a table entry, and must not cost the players already served anything.
struct TAdmission {
  // Relays one client IP may hold in one tunnel: many players behind one NAT fit, a single
  // host cycling through source ports does not take every descriptor.
  static constexpr int kMaxRelaysPerAddress = 128;

  // A relay whose server has not answered yet is a trial. A server answers a real player
  // within milliseconds; a forged source never sees the answer. So a trial forwards only a
  // few datagrams a second (a forger cannot aim a flood at the server through the relay),
  // lives only this long unanswered, and is the first to make room.
  static constexpr int kTrialForwardsPerSecond = 4;
  static constexpr std::chrono::seconds kTrialLifetime{2};
  // Trials the whole process holds at once; past it the oldest makes room for the next.
  // Each holds a descriptor and an ephemeral port, so this bounds what a flood of forged
  // sources takes, whatever its rate, far below the descriptor limit and the ports.
  static constexpr std::size_t kMaxTrials = 2048;

  // After a relay could not be made and no trial was left to make room, new clients are
  // refused for this long, as if they had met the same failure, rather than try again at
  // every datagram of a flood.
  static constexpr std::chrono::seconds kRefuseAfterFailure{1};

  // Trials ended unanswered are told as one count at most this often.
  static constexpr std::chrono::seconds kUnansweredSummaryInterval{5};
};

// A trial's place among every trial of the process, oldest first. It enters the list when
// made and leaves it when its server answers or it is destroyed, so the oldest trial of
// any tunnel is found at once when room is short.
class TTrialPlace {
public:
  TTrialPlace(TServer& tunnel, uint64_t clientKey);
  ~TTrialPlace();
  TTrialPlace(const TTrialPlace&) = delete;
  TTrialPlace& operator=(const TTrialPlace&) = delete;

  // The oldest trial of the process, or null when there is none.
  static TTrialPlace* Oldest();
  static std::size_t Count();

  TServer& Tunnel;
  const uint64_t ClientKey;

private:
  std::list<TTrialPlace*>::iterator place_;
};

} // namespace gw

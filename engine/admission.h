#pragma once

#include "clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <vector>

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

  // New trials the process makes a second, across its tunnels. Making one costs the loop
  // a socket, its connect, two changes of the poll set and later its close, some 60 us: at
  // 15,000 a second the loop would do nothing else, and the datagrams of the players
  // already served would wait in the tunnel's queue behind the flood. At this pace a flood
  // takes an eighth of the loop. A source turned away is dropped as cheaply as it was read.
  static constexpr int kNewTrialsPerSecond = 2000;
  // Trials made at once for sources seen for the first time: enough for a thousand players
  // arriving together (a relay restarted under a full server). The loop reads nothing else
  // while it makes them, some 60 ms, which the tunnel's 8 MiB queue held in every run of a
  // flood of new sources starting at 80,000 datagrams a second.
  static constexpr int kFirstComersAtOnce = 1024;
  // Trials kept beyond those for sources that come back after being turned away: a real
  // newcomer sends again within a fraction of a second until answered, while a forged
  // source is new at every datagram, so a flood of those cannot keep a newcomer out.
  static constexpr int kKeptForReturning = 1024;
  // A source comes back when it sends again at least this long after it was turned away:
  // a client that was not answered tries again after a while, where a flood that sends
  // each forged source a few times in a row would otherwise pass for newcomers.
  static constexpr std::chrono::milliseconds kComesBackAfter{10};
  // Sources turned away are remembered in a table of this many places (16 bytes each, made
  // at the first one turned away), each place taken by the latest source hashed to it: at
  // 80,000 forged sources a second a newcomer's place outlives its next try (100 ms later)
  // nearly nine times in ten.
  static constexpr std::size_t kTurnedAwayPlaces = 1 << 16;
  // A source that comes back later than this is new again.
  static constexpr std::chrono::seconds kTurnedAwayRemembered{2};
  // More new sources than this in a second, made trials or turned away, are a flood: with
  // the fast path the kernel turns a tunnel's new sources away while one lasts, as it does
  // from the pace's first refusal. Players arriving together, as many as may come at once,
  // never meet it; a flood within the pace, which would have the loop make a trial for
  // every forged source, does.
  static constexpr int kFloodPerSecond = kFirstComersAtOnce;
};

// The pace of new trials across the tunnels of a process (TAdmission): whether a source
// that has no relay may have a trial now. Sources turned away are remembered, so that
// one that comes back goes before those seen for the first time.
class TTrialPace {
public:
  bool Admit(uint64_t sourceKey, TTime now);

private:
  struct TTurnedAway {
    uint64_t Key = 0;
    TTime At{};
  };
  TTurnedAway& PlaceOf(uint64_t sourceKey);

  double trials_ = TAdmission::kFirstComersAtOnce + TAdmission::kKeptForReturning;
  TTime paidAt_{};
  std::vector<TTurnedAway> turnedAway_;
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

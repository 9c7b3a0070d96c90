#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace gw {

// What went one way through a relay. Counting is an increment or two per datagram, on the
// loop's thread; readers take a copy there too.
struct TFlowCount {
  uint64_t Datagrams = 0;
  uint64_t Bytes = 0;

  void Add(std::size_t bytes) {
    ++Datagrams;
    Bytes += bytes;
  }
  TFlowCount& operator+=(const TFlowCount& other) {
    Datagrams += other.Datagrams;
    Bytes += other.Bytes;
    return *this;
  }
};

// A relay's traffic, both ways.
struct TRelayCounts {
  TFlowCount ToServer;
  TFlowCount ToClient;

  TRelayCounts& operator+=(const TRelayCounts& other) {
    ToServer += other.ToServer;
    ToClient += other.ToClient;
    return *this;
  }
};

// Why a new client address got no relay.
enum class TRefusal {
  LoopSource,          // the game server or an endpoint of this program
  TooManyFromAddress,  // its IP holds as many relays as one may
  TrialPace,           // new sources came faster than the process makes trials
  NoRoom,              // no descriptor or port for its socket
  ServicePort,         // a port a service answers from, never a game client's (TAdmissionLimits)
  Looped,              // its relay was closed a moment ago as a loop
  Count
};
// Why a datagram of a client was not relayed.
enum class TDrop {
  TooLong,        // longer than the relay carries, either way
  ServerUnknown,  // the server's address was not known yet
  TrialLimit,     // more than a trial forwards in a second
  QueryBudget,    // a query past the budgets of its address, its /24 or the process
  NotAQuery,      // a reply arriving at a query port (a loop between servers)
  NotTheServer,   // a datagram at a relay's upstream port from another address than its server's
  Count
};
// Why a relay went.
enum class TClosing {
  Idle,        // its client fell silent
  Unanswered,  // a trial whose server never answered
  MadeRoom,    // the least active relay not established, for a newcomer
  Loop,        // it exchanged more both ways than a game client does: a loop
  Count
};

// The names these causes carry outside the program (the metrics' labels).
const char* CauseName(TRefusal cause);
const char* CauseName(TDrop cause);
const char* CauseName(TClosing cause);

template <typename TCause>
struct TByCause {
  std::array<uint64_t, static_cast<std::size_t>(TCause::Count)> Values{};
  void Add(TCause cause, uint64_t times = 1) { Values[static_cast<std::size_t>(cause)] += times; }
  uint64_t operator[](TCause cause) const { return Values[static_cast<std::size_t>(cause)]; }
};

// One tunnel's counts since it was made. Its traffic is what the relays that have gone
// carried, through the sockets and through the kernel; the live relays' is added by whoever
// reads it (TServer::Traffic).
struct TTunnelCounts {
  TRelayCounts Gone;
  TRelayCounts GoneInKernel;
  uint64_t TrialsMade = 0;
  uint64_t RelaysAnswered = 0;
  uint64_t RelaysEstablished = 0;
  // Seconds in which a relay exchanged more both ways than a game client does.
  uint64_t OverbusySeconds = 0;
  TByCause<TClosing> Closed;
  TByCause<TRefusal> Refused;
  TByCause<TDrop> Dropped;
};

} // namespace gw

#pragma once

#include "clock.h"
#include "counts.h"
#include "hostAbout.h"
#include "queryBudget.h"
#include "rateBudget.h"
#include "room.h"

#include "fastPathMap.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace gw {

class TClient;

// Every limit of admission, with its reason. A tunnel stands in front of its game server so
// that attacks meet the relay: anyone can send a datagram from any source address, so a
// new address costs the relay a socket, an ephemeral port and a table entry, and must not
// cost the players already served anything. Nor is the server's answer proof of a real
// player: a query port answers anyone, and a game server may answer anyone's first
// datagram. So a relay goes through three stages: a trial (its server has not answered),
// answered, and established (its client kept up a two-way exchange past the first answer,
// as conntrack calls a UDP flow assured); only an established relay is never made to make
// room for a newcomer.
struct TAdmissionLimits {
  // Relays one client IP may hold in one tunnel, on the game port and on the query port
  // each: many players behind one NAT fit, a single host cycling through source ports does
  // not take every descriptor, and forged queries carrying an address cannot lock that
  // address out of the game.
  static constexpr int kMaxRelaysPerAddress = 128;

  // --- Trials
  // A server answers a real player within milliseconds; a forged source never sees the
  // answer. So a game trial forwards only a few datagrams a second (a forger cannot aim a
  // flood at the server through the relay). Query trials are held by the query budget
  // instead, so that a browser's burst goes whole.
  static constexpr int kTrialForwardsPerSecond = 4;
  // While room is short (TRoom), a trial whose client has not sent for this long ends: a
  // newcomer resends within a fraction of a second until answered, and keeps its one
  // upstream port for as long as it does, so a server that takes seconds to answer still
  // sees one peer. While there is room, a trial lives as any relay does
  // (TEngineLimits::kRelayIdleLimit): a single query or join that a slow server answers
  // seconds later still finds its relay, and a client that sends every few seconds shows
  // the server one peer.
  static constexpr std::chrono::seconds kTrialLifetime{2};

  // --- Relays not established, across the process
  // How many of each kind may exist at once; past it the least active of that kind makes
  // room for the next. Each holds a descriptor and an ephemeral port, so together they
  // stay far below the descriptor limit and the ports whatever a flood's rate: 8,192 in all.
  static constexpr std::size_t kMaxGameTrials = 2048;
  static constexpr std::size_t kMaxGameAnswered = 4096;
  static constexpr std::size_t kMaxQueryTrials = 1024;
  static constexpr std::size_t kMaxQueryAnswered = 1024;
  // A game relay is established once, counted from its server's first answer, at least
  // this long has passed, its client has sent at least this many datagrams and its server
  // has answered again. A game client sends tens of datagrams a second from its first
  // moment; a forger who wants to hold relays must pay that rate for each, blind, and a
  // server that answers only a client's first datagram (a challenge) never answers a
  // forger's second.
  static constexpr std::chrono::seconds kEstablishAfter{1};
  static constexpr uint64_t kEstablishClientDatagrams = 10;
  static constexpr uint64_t kEstablishServerDatagrams = 2;
  // Established is kept at a player's pace: at least this many datagrams of its client in
  // each window of this length (a player sends tens a second). A forger holding thousands
  // of relays blind cannot pay that for each. One that falls below it while room is short
  // is answered again, among the relays that make room; a player that was loading a map
  // is established again within a second or two of playing, as it was the first time.
  static constexpr std::chrono::seconds kPaceWindow{2};
  static constexpr uint64_t kPaceClientDatagrams = 10;
  // Descriptors that established relays leave to the relays that are not, which make room,
  // so that a newcomer always finds one to take: an eighth of the limit, at least this
  // many. A relay is not established while they lack it, and established relays below a
  // player's pace are answered again until they have it.
  static constexpr std::size_t kNewcomerDescriptorsLeast = 64;
  static constexpr std::size_t kNewcomerDescriptorsShare = 8;
  // While the newcomers lack descriptors, a /24 holding more established relays than this
  // gives up the excess (answered again, they make room): a LAN party or a carrier's NAT
  // fits, a forger whose sources crowd a few networks does not.
  static constexpr int kEstablishedPerNetworkWhenShort = 64;
  static constexpr uint32_t kEstablishedNetworkMask = 0xFFFFFF00;  // host byte order: a /24
  // Room is short from a relay that could not be opened, a list of relays not established
  // at its cap, or an establishment refused for the newcomers' descriptors, until this long
  // after the last of them: the stricter rules hold through a flood's pauses.
  static constexpr std::chrono::seconds kShortFor{10};
  // A game client sends and receives some tens of datagrams a second, a hundred or two at
  // the most. A relay that exchanged more than this a second both ways, since the sweep's
  // last look at it or, at the first, since it was made, is a loop (two servers or relays,
  // or an echo-like service, answering each other through it), which nothing else could tell
  // from players: it is closed, in the kernel too, and told (a line, then counts). A loop
  // runs at thousands a second, so one look tells; waiting for more would let it run on.
  static constexpr uint64_t kMostPlayerDatagramsPerSecond = 500;
  // Nor is a look that saw fewer than this each way, however short: a tenth of a second at
  // a player's most, which no player sends in a burst. So the sweep's first look, which may
  // cover a moment only, tells a loop that ran at thousands a second, and a loop is closed
  // within a second or so of its start: the sweep looks once a second, and the kernel leaves
  // what it carries past a player's rate to the sockets, which count it at once
  // (GW_FLOW_DATAGRAMS_PER_SECOND).
  static constexpr uint64_t kFewestLoopDatagrams = kMostPlayerDatagramsPerSecond / 10;
  // A source whose relay was closed as a loop is refused as a new client for this long: the
  // loop's datagrams still on their way come back as a new source, and would start it
  // again. Long past any datagram's flight; a forger who starts it again pays a datagram and
  // the relay a second of the loop, once a minute.
  static constexpr std::chrono::seconds kLoopRefusedFor{60};
  // Sources remembered so, per tunnel: each took a relay that was answered and looped, so
  // there are few; past this the oldest is forgotten.
  static constexpr std::size_t kLoopsRemembered = 1024;
  // Source ports refused as a new client, on the game and query ports alike. Below 1024 a
  // port is privileged: only a system's services bind one (echo 7, daytime 13, qotd 17,
  // chargen 19, time 37, DNS 53, portmapper 111, NTP 123, NetBIOS 137-138, SNMP 161, LDAP
  // 389, RIP 520 ...), never a game client, and address translators (Linux's, pf's, Cisco's,
  // carrier-grade ones) give a port above it one above it too. Above it, the services that
  // answer whatever reaches them: SSDP 1900, Apple Remote Desktop 3283, WS-Discovery 3702,
  // mDNS 5353, CoAP 5683, Ubiquiti discovery 10001, memcached 11211. A datagram forged from
  // one would have the service and the relay answer each other without end, or the relay
  // reflect its server's answers onto the service.
  static constexpr uint16_t kFirstClientPort = 1024;
  static constexpr std::array<uint16_t, 7> kServicePortsAbove = {1900, 3283, 3702, 5353, 5683, 10001, 11211};
  // While room is short, a query relay serves a browser's few queries and their replies,
  // then goes after this much silence of its client, so that a flood of queries holds few
  // descriptors; while there is room it lives as any relay does.
  static constexpr std::chrono::seconds kQueryRelayLifetime{2};

  // After a relay could not be made and nothing was left to make room, new clients are
  // refused for this long, as if they had met the same failure, rather than try again at
  // every datagram of a flood.
  static constexpr std::chrono::seconds kRefuseAfterFailure{1};

  // --- Lines
  // Trials ended unanswered are told as one count at most this often.
  static constexpr std::chrono::seconds kUnansweredSummaryInterval{5};
  // Lines of relays coming and going ("Got connection from", "Closed connection from"):
  // a tunnel writes at most this many a second (with a burst), the process this many in
  // all; past it they are counted and told as one line at most every interval above.
  static constexpr int kLinesPerSecondPerTunnel = 20;
  static constexpr int kLinesBurstPerTunnel = 60;
  static constexpr int kLinesPerSecondInAll = 50;
  static constexpr int kLinesBurstInAll = 150;

  // --- The pace of new trials
  // New trials a second, for the game ports of the process and for its query ports apart,
  // so that a flood of either cannot keep the other's newcomers out. Making one costs the
  // loop a socket, its connect, two changes of the poll set and later its close, some
  // 60 us: at 15,000 a second the loop would do nothing else, and the datagrams of the
  // players already served would wait in the tunnel's queue behind the flood. At this pace
  // a flood takes an eighth of the loop. A source turned away is dropped as cheaply as it
  // was read.
  static constexpr int kNewTrialsPerSecond = 2000;
  // Trials made at once for sources seen for the first time: enough for a thousand players
  // arriving together (a relay restarted under a full server). The loop reads nothing else
  // while it makes them, some 60 ms, which the tunnel's queue
  // (TEngineLimits::kTunnelReceiveBufferBytes, which Linux doubles for its bookkeeping) held
  // in every run of a flood of new sources starting at 80,000 datagrams a second.
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
  // at the first one turned away), a source in the older of its two places: at 80,000 forged
  // sources a second a newcomer's place outlives its next try (100 ms later) some 98 times in
  // 100 by reckoning, where with one place each it did nearly nine times in ten.
  static constexpr std::size_t kTurnedAwayPlaces = std::size_t{1} << GW_TURNED_AWAY_BITS;
  // A source that comes back later than this is new again.
  static constexpr std::chrono::seconds kTurnedAwayRemembered{2};
  // More new sources than this in a second to a game port, made trials or turned away, are
  // a flood: with the fast path the kernel turns that port's new sources away while one
  // lasts, as it does from the pace's first refusal. Players arriving together, as many as
  // may come at once, never meet it; a flood within the pace, which would have the loop
  // make a trial for every forged source, does.
  static constexpr int kFloodPerSecond = kFirstComersAtOnce;

  // What the query port answers is held by TQueryLimits (queryBudget.h).
};

// The pace of new trials across the tunnels of a process: whether a source that has no
// relay may have a trial now. Sources turned away are remembered, so that one that comes
// back goes before those seen for the first time.
class TTrialPace {
public:
  bool Admit(uint64_t sourceKey, TTime now);

private:
  gw_turned_away& PlaceOf(uint64_t sourceKey);

  double trials_ = TAdmissionLimits::kFirstComersAtOnce + TAdmissionLimits::kKeptForReturning;
  TTime paidAt_{};
  // The kernel's table of sources turned away in the same shape, found and taken the same way.
  std::vector<gw_turned_away> turnedAway_;
};

// A game trial's forwards within the current second (TAdmissionLimits::kTrialForwardsPerSecond).
class TTrialForwards {
public:
  bool Allow(TTime now);

private:
  TTime second_{};
  int forwards_ = 0;
};

// The kinds of relay that are not established, each with a list and a cap of its own.
enum class TProvisional { QueryTrial, QueryAnswered, GameTrial, GameAnswered, Count };

// Who ends a relay that makes room: its tunnel.
class TRelayOwner {
public:
  virtual void MakeRoomWith(TClient& relay) = 0;

protected:
  ~TRelayOwner() = default;
};

class TProcessAdmission;
class TProvisionalPlace;

// Places linked through themselves: entering, moving and leaving allocate nothing.
class TProvisionalList {
public:
  TProvisionalList() = default;
  TProvisionalList(const TProvisionalList&) = delete;
  TProvisionalList& operator=(const TProvisionalList&) = delete;

  void PushBack(TProvisionalPlace& place);
  void Erase(TProvisionalPlace& place);
  TProvisionalPlace* Front() const { return head_; }
  std::size_t Size() const { return size_; }

private:
  TProvisionalPlace* head_ = nullptr;
  TProvisionalPlace* tail_ = nullptr;
  std::size_t size_ = 0;
};

// A relay's place among the relays of its kind that are not established, least active
// first: it enters when made, moves to the back at each of its client's datagrams, and
// leaves when established or destroyed.
class TProvisionalPlace {
public:
  TProvisionalPlace() = default;
  ~TProvisionalPlace() { Leave(); }
  TProvisionalPlace(const TProvisionalPlace&) = delete;
  TProvisionalPlace& operator=(const TProvisionalPlace&) = delete;

  void Enter(TProcessAdmission& admission, TProvisional kind, TRelayOwner& owner, TClient& relay, TTime now);
  // Its client sent at `now`.
  void Touch(TTime now);
  void Leave();
  bool Listed() const { return list_ != nullptr; }

  TRelayOwner* Owner = nullptr;
  TClient* Relay = nullptr;
  TTime TouchedAt{};

private:
  friend class TProvisionalList;
  TProvisionalList* list_ = nullptr;
  TProvisionalPlace* previous_ = nullptr;
  TProvisionalPlace* next_ = nullptr;
};

// What admission keeps for the whole process: the paces, the query budgets, the lines of
// all tunnels, and the relays not established, by kind.
class TProcessAdmission {
public:
  TProcessAdmission();

  TTrialPace& Pace(bool query) { return query ? queryPace_ : gamePace_; }
  TQueryBudget& QueryBudget() { return queryBudget_; }
  TRateBudget& Lines() { return lines_; }

  std::size_t Count(TProvisional kind) const { return lists_[Index(kind)].Size(); }
  // Relays whose server has not answered yet, of every tunnel.
  std::size_t Trials() const { return Count(TProvisional::GameTrial) + Count(TProvisional::QueryTrial); }
  // Relays of every kind that are not established, which make room for newcomers.
  std::size_t NotEstablished() const;
  // The kind's least active relay makes room while the kind is at its cap; room is then short.
  void MakeRoomFor(TProvisional kind, TTime now);
  // Whether room runs short, and the established relays.
  TRoom& Room() { return room_; }
  // The least active relay of all makes room, a query relay first, then a game relay,
  // trial or answered; false when there is none.
  bool MakeRoom();

private:
  friend class TProvisionalPlace;
  static std::size_t Index(TProvisional kind) { return static_cast<std::size_t>(kind); }
  // The least active relay of the first kind or the second makes room; false when neither
  // has one.
  bool MakeRoomOf(TProvisional kind, TProvisional other);

  TTrialPace gamePace_;
  TTrialPace queryPace_;
  TQueryBudget queryBudget_;
  TRateBudget lines_;
  std::array<TProvisionalList, static_cast<std::size_t>(TProvisional::Count)> lists_;
  TRoom room_;
};

// What a new client address of one tunnel is given.
struct TVerdict {
  bool Admit = false;
  TRefusal Cause = TRefusal::Count;
};

// One tunnel's admission: whether a new client address gets a trial, and why not; the
// relays each address holds; the tunnel's share of the lines.
class TAdmission {
public:
  explicit TAdmission(TProcessAdmission& process);

  // A new client address of the game port or the query port: admit (room made when its
  // kind is full) or refuse, and why. The tunnel's own checks (the server's address
  // known, no loop) come first.
  TVerdict Decide(const TPeerAddress& from, bool query, TTime now);
  // The relay made for an admitted address could not be opened, even after room was
  // made: new clients are refused for a while (`TRefusal::NoRoom`).
  void OpenFailed(TTime now);
  void Held(const TPeerAddress& from, bool query);
  void Released(const TPeerAddress& from, bool query);
  // Trials made for the game port (not the query port) since the last call.
  uint64_t TakeGameTrials() { return std::exchange(gameTrials_, 0); }
  // A line of a relay coming or going may be written now; false counts it.
  bool MayWriteLine(TTime now);

  TProcessAdmission& Process;

private:
  static uint64_t HeldKey(uint32_t address, bool query) { return uint64_t{address} << 1 | (query ? 1 : 0); }

  std::unordered_map<uint64_t, int> held_;
  TTime refuseUntil_{};
  uint64_t gameTrials_ = 0;
  TRateBudget lines_;
};

} // namespace gw

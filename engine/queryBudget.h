#pragma once

#include "clock.h"
#include "hostAbout.h"
#include "rateBudget.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace gw {

// Every limit of what the query port answers, with its reason. A query of a few bytes brings
// a status reply hundreds of times larger, so forged queries would have the relay flood
// whoever they name: what reaches one address, one /24 and the process's uplink is bounded,
// as DNS servers limit their responses per /24. But anyone can forge the address a budget is
// charged to, so spending a budget must not hide the server from a browser whose address, or
// network, a forger borrows: each source (address and port: a browser's socket) has a share
// of its own, and a source seen lately, as a browser is between its queries, may spend what a
// source seen for the first time may not, the lower half of every budget it falls under. A
// forger that never reads a reply does not know a browser's port, and a source that it sends
// from again and again asks more than its share, which a browser never does, and is taken for
// one seen for the first time.
struct TQueryLimits {
  // One source: a browser queries a server a few times a second at most; a refresh sends one
  // query to every server of the relay at once, and again to those that did not answer.
  static constexpr int kQueriesPerSecondPerSource = 2;
  static constexpr int kQueryBurstPerSource = 10;
  // One address and one /24: room for a forger's source held to its share and a browser
  // beside it. At 5 replies of some 2 KB a second, what a flood of forged `\status\` (8 bytes
  // each) brings a victim stays below what the forger sends from some 160 queries a second
  // on, and far below at the thousands a flood needs to matter.
  static constexpr int kQueriesPerSecondPerAddress = 5;
  static constexpr int kQueryBurstPerAddress = 10;
  static constexpr int kQueriesPerSecondPerNetwork = 5;
  static constexpr int kQueryBurstPerNetwork = 16;
  static constexpr uint32_t kQueryNetworkMask = 0xFFFFFF00;  // host byte order: a /24
  // A refresh asks every server of the relay at once, so the bursts grow with the tunnels
  // that serve a query port: a source's and an address's by two queries each (a refresh and
  // its retry), a /24's by ten (eight browsers of one network refreshing together, and two
  // refreshes of theirs a few seconds before: the /24's budget refills slowly).
  static constexpr int kSourceBurstPerQueryPort = 2;
  static constexpr int kNetworkBurstPerQueryPort = 10;
  // What sources seen for the first time (as forged ones spread over addresses and ports are)
  // leave of an address's or a network's budget for those seen lately: a browser's burst.
  static constexpr int kKeptForSeenLately = 10;
  // The whole process, in reply bytes: a third of a 100 Mbit/s uplink, so that queries never
  // crowd out the game traffic beside them. Sources seen for the first time take only the
  // upper half: browsers, wherever they are, keep the lower.
  static constexpr double kReplyBytesPerSecondInAll = 4'000'000;
  static constexpr double kReplyBytesBurstInAll = 4'000'000;
  // A source is seen lately when its last query came at most this long before and it asked no
  // more than its share meanwhile: a browser queries every few seconds while its window is
  // open, where a forged source spread over ports and addresses rarely comes again, and one
  // that comes again and again asks more.
  static constexpr std::chrono::seconds kSeenLatelyWithin{5};
  // Budgets of addresses and networks are kept in tables of this many places, each shared by
  // the keys hashed to it with a secret of the process: sharing errs towards answering less,
  // never more, and costs no allocation. Sources have two places each in a table the size of
  // the kernel's sources turned away (GW_TURNED_AWAY_BITS), a source in the older of its two.
  static constexpr std::size_t kBudgetPlaces = 1 << 14;

  // --- Master servers
  // A master answers a heartbeat with a few queries within seconds (its `\secure\`
  // challenge and a status query, maybe a retry each). Its address can be forged as any
  // other, so each heartbeat sent to it opens this many queries for this long, spared the
  // shares of sources, addresses and networks (a master queries every server of its list
  // from one address) but never the process's bound on reply bytes.
  static constexpr int kMasterQueriesPerHeartbeat = 4;
  static constexpr std::chrono::seconds kMasterAnswersWithin{10};
};

// The budgets of what the query port relays: per source, address, /24 and in all, and what
// each master's heartbeats opened. One for the process.
class TQueryBudget {
public:
  TQueryBudget();

  // A query from `source`: takes its worth from every budget the source falls under, or
  // nothing and false when one is spent. Its reply's bytes are paid with Replied.
  bool Spend(const TPeerAddress& source, TTime now);
  // A reply went out to a query that Spend let through.
  void Replied(std::size_t bytes, TTime now);

  // A heartbeat went to the master at `address` (network byte order): its next queries are
  // answered outside the shares, a few for a while.
  void HeartbeatSent(uint32_t address, TTime now);
  // `address` is a master whose heartbeat left queries open.
  bool MasterMayQuery(uint32_t address, TTime now) const;

  // A tunnel serving a query port holds a place while it does: the bursts grow with them.
  class TQueryPort {
  public:
    explicit TQueryPort(TQueryBudget& budget) : budget_(budget) { ++budget_.queryPorts_; }
    ~TQueryPort() { --budget_.queryPorts_; }
    TQueryPort(const TQueryPort&) = delete;
    TQueryPort& operator=(const TQueryPort&) = delete;

  private:
    TQueryBudget& budget_;
  };
  int QueryPorts() const { return queryPorts_; }

private:
  struct TSource {
    uint64_t Key = 0;
    TTime SeenAt{};
    TTime OverAskedAt{};
    TTokens Tokens;
  };
  struct TMasterQueries {
    uint32_t Address = 0;
    int Left = 0;
    TTime Until{};
  };
  // The source's place, taken for it when it has none.
  TSource& SourceOf(uint64_t key, TTime now);
  TTokens& PlaceOf(std::vector<TTokens>& table, uint32_t key);
  bool SpendAsMaster(uint32_t address, TTime now);
  // A source seen lately may take a budget down to its last token, one seen for the first
  // time only what is left above `kept`.
  static bool Affords(double left, double kept, bool seenLately) { return left >= (seenLately ? 1 : kept + 1); }

  uint64_t secret_;
  int queryPorts_ = 0;
  std::vector<TSource> sources_;
  std::vector<TTokens> byAddress_;
  std::vector<TTokens> byNetwork_;
  TTokens inAll_;
  std::vector<TMasterQueries> masters_;
};

} // namespace gw

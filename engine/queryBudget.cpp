#include "queryBudget.h"

#include "fastPathMap.h"

#include <algorithm>
#include <bit>
#include <random>

#include <arpa/inet.h>

namespace gw {

using L = TQueryLimits;

static_assert(std::has_single_bit(L::kBudgetPlaces));

namespace {
constexpr std::size_t kSourcePlaces = std::size_t{1} << GW_TURNED_AWAY_BITS;

// Fibonacci hashing: the high bits of the product mix every bit of the key.
std::size_t BudgetPlace(uint64_t key) {
  constexpr int kBits = std::countr_zero(L::kBudgetPlaces);
  return (key * 0x9E3779B97F4A7C15ull) >> (64 - kBits);
}
} // namespace

TQueryBudget::TQueryBudget()
    : secret_(std::random_device{}() | uint64_t{std::random_device{}()} << 32), byAddress_(L::kBudgetPlaces),
      byNetwork_(L::kBudgetPlaces) {}

TTokens& TQueryBudget::PlaceOf(std::vector<TTokens>& table, uint32_t key) {
  // The secret keeps a forger from choosing addresses that share a victim's place.
  return table[BudgetPlace(key ^ secret_)];
}

TQueryBudget::TSource& TQueryBudget::SourceOf(uint64_t key, TTime now) {
  // Made at the first query: a relay without a query port never holds the table.
  if (sources_.empty()) sources_.resize(kSourcePlaces);
  const uint64_t hashed = key ^ secret_;
  TSource& first = sources_[gw_turned_away_slot(hashed, 0)];
  TSource& second = sources_[gw_turned_away_slot(hashed, 1)];
  if (first.Key == key && first.Tokens.Used) return first;
  if (second.Key == key && second.Tokens.Used) return second;
  TSource& place = first.SeenAt <= second.SeenAt ? first : second;
  place = {key, now - 2 * L::kSeenLatelyWithin, {}, {}};
  return place;
}

bool TQueryBudget::Spend(const TPeerAddress& source, TTime now) {
  if (MasterMayQuery(source.Address, now)) return SpendAsMaster(source.Address, now);
  const int sourceBurst = std::max(L::kQueryBurstPerSource, L::kSourceBurstPerQueryPort * queryPorts_);
  const int addressBurst = std::max(L::kQueryBurstPerAddress, L::kSourceBurstPerQueryPort * queryPorts_);
  const int networkBurst = std::max(L::kQueryBurstPerNetwork, L::kNetworkBurstPerQueryPort * queryPorts_);
  TSource& own = SourceOf(source.Key(), now);
  const bool seenLately = now - own.SeenAt <= L::kSeenLatelyWithin && now - own.OverAskedAt > L::kSeenLatelyWithin;
  own.SeenAt = now;
  // A source's share counts what it asks, answered or not: one that asks more than a browser
  // does is held back, and taken for one seen for the first time for a while.
  if (own.Tokens.Refill(now, L::kQueriesPerSecondPerSource, sourceBurst) < 1) {
    own.OverAskedAt = now;
    return false;
  }
  own.Tokens.Left -= 1;
  const uint32_t hostOrder = ntohl(source.Address);
  TTokens& one = PlaceOf(byAddress_, hostOrder);
  TTokens& network = PlaceOf(byNetwork_, hostOrder & L::kQueryNetworkMask);
  if (!Affords(one.Refill(now, L::kQueriesPerSecondPerAddress, addressBurst),
               std::min(addressBurst / 2, L::kKeptForSeenLately), seenLately) ||
      !Affords(network.Refill(now, L::kQueriesPerSecondPerNetwork, networkBurst),
               std::min(networkBurst / 2, L::kKeptForSeenLately), seenLately) ||
      !Affords(inAll_.Refill(now, L::kReplyBytesPerSecondInAll, L::kReplyBytesBurstInAll),
               L::kReplyBytesBurstInAll / 2, seenLately))
    return false;
  one.Left -= 1;
  network.Left -= 1;
  return true;
}

void TQueryBudget::Replied(std::size_t bytes, TTime now) {
  inAll_.Refill(now, L::kReplyBytesPerSecondInAll, L::kReplyBytesBurstInAll);
  inAll_.Left -= static_cast<double>(bytes);
}

void TQueryBudget::HeartbeatSent(uint32_t address, TTime now) {
  // Masters whose queries closed long ago are forgotten, so that a list of masters whose
  // addresses move keeps no more than its own.
  std::erase_if(masters_, [&](const TMasterQueries& master) { return master.Until < now && master.Address != address; });
  auto master = std::find_if(masters_.begin(), masters_.end(),
                             [&](const TMasterQueries& open) { return open.Address == address; });
  if (master == masters_.end()) master = masters_.insert(masters_.end(), {address, 0, now});
  if (master->Until < now) master->Left = 0;
  // Every tunnel announces itself to every master, and the master queries each: what its
  // heartbeats opened stays within what they ask for.
  master->Left = std::min(master->Left + L::kMasterQueriesPerHeartbeat,
                          L::kMasterQueriesPerHeartbeat * std::max(1, queryPorts_));
  master->Until = now + L::kMasterAnswersWithin;
}

bool TQueryBudget::MasterMayQuery(uint32_t address, TTime now) const {
  return std::any_of(masters_.begin(), masters_.end(), [&](const TMasterQueries& master) {
    return master.Address == address && master.Left > 0 && now <= master.Until;
  });
}

bool TQueryBudget::SpendAsMaster(uint32_t address, TTime now) {
  if (!Affords(inAll_.Refill(now, L::kReplyBytesPerSecondInAll, L::kReplyBytesBurstInAll), 0, true)) return false;
  for (TMasterQueries& master : masters_)
    if (master.Address == address) --master.Left;
  return true;
}

} // namespace gw

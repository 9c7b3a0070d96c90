#include "admission.h"

#include <algorithm>

namespace gw {

using L = TAdmissionLimits;

namespace {
constexpr std::array<std::size_t, static_cast<std::size_t>(TProvisional::Count)> kCaps{
    L::kMaxQueryTrials, L::kMaxQueryAnswered, L::kMaxGameTrials, L::kMaxGameAnswered};
} // namespace

bool TTrialPace::Admit(uint64_t sourceKey, TTime now) {
  if (now > paidAt_) {
    const double earned = std::chrono::duration<double>(now - paidAt_).count() * L::kNewTrialsPerSecond;
    trials_ = std::min<double>(L::kFirstComersAtOnce + L::kKeptForReturning, trials_ + earned);
    paidAt_ = now;
  }
  if (trials_ >= 1 + L::kKeptForReturning) {
    trials_ -= 1;
    return true;
  }
  if (turnedAway_.empty()) turnedAway_.resize(L::kTurnedAwayPlaces);
  gw_turned_away& place = PlaceOf(sourceKey);
  const auto at = TTime{std::chrono::nanoseconds(place.at_ns)};
  if (place.source != sourceKey || now - at > L::kTurnedAwayRemembered) {
    place = {sourceKey, static_cast<uint64_t>(std::chrono::nanoseconds(now.time_since_epoch()).count())};
    return false;
  }
  // The place keeps the time the source was first turned away, however often it sends
  // before it may come back.
  if (now - at < L::kComesBackAfter || trials_ < 1) return false;
  // The place stays: a source that comes back asks every tunnel it was turned away from
  // again (a browser's refresh asks every server of the relay from one port), and each of
  // them makes one trial for it, after which its datagrams find their relay.
  trials_ -= 1;
  return true;
}

gw_turned_away& TTrialPace::PlaceOf(uint64_t sourceKey) {
  return *gw_turned_away_place(&turnedAway_[gw_turned_away_slot(sourceKey, 0)],
                               &turnedAway_[gw_turned_away_slot(sourceKey, 1)], sourceKey);
}

bool TTrialForwards::Allow(TTime now) {
  if (now - second_ >= std::chrono::seconds(1)) {
    second_ = now;
    forwards_ = 0;
  }
  if (forwards_ == L::kTrialForwardsPerSecond) return false;
  ++forwards_;
  return true;
}

void TProvisionalList::PushBack(TProvisionalPlace& place) {
  place.previous_ = tail_;
  place.next_ = nullptr;
  (tail_ ? tail_->next_ : head_) = &place;
  tail_ = &place;
  ++size_;
}

void TProvisionalList::Erase(TProvisionalPlace& place) {
  (place.previous_ ? place.previous_->next_ : head_) = place.next_;
  (place.next_ ? place.next_->previous_ : tail_) = place.previous_;
  --size_;
}

void TProvisionalPlace::Enter(TProcessAdmission& admission, TProvisional kind, TRelayOwner& owner, TClient& relay,
                              TTime now) {
  Leave();
  Owner = &owner;
  Relay = &relay;
  TouchedAt = now;
  list_ = &admission.lists_[TProcessAdmission::Index(kind)];
  list_->PushBack(*this);
}

void TProvisionalPlace::Touch(TTime now) {
  TouchedAt = now;
  if (!list_) return;
  list_->Erase(*this);
  list_->PushBack(*this);
}

void TProvisionalPlace::Leave() {
  if (!list_) return;
  list_->Erase(*this);
  list_ = nullptr;
}

TProcessAdmission::TProcessAdmission() : lines_(L::kLinesPerSecondInAll, L::kLinesBurstInAll) {}

bool TProcessAdmission::MakeRoomOf(TProvisional kind, TProvisional other) {
  TProvisionalPlace* first = lists_[Index(kind)].Front();
  TProvisionalPlace* second = lists_[Index(other)].Front();
  if (!first && !second) return false;
  TProvisionalPlace* least = !second || (first && first->TouchedAt <= second->TouchedAt) ? first : second;
  // The owner takes the relay out of the list, whatever else it does with it.
  least->Owner->MakeRoomWith(*least->Relay);
  return true;
}

void TProcessAdmission::MakeRoomFor(TProvisional kind, TTime now) {
  while (Count(kind) >= kCaps[Index(kind)] && MakeRoomOf(kind, kind)) room_.RanShort(now);
}

std::size_t TProcessAdmission::NotEstablished() const {
  std::size_t count = 0;
  for (const TProvisionalList& list : lists_) count += list.Size();
  return count;
}

bool TProcessAdmission::MakeRoom() {
  return MakeRoomOf(TProvisional::QueryTrial, TProvisional::QueryAnswered) ||
         MakeRoomOf(TProvisional::GameTrial, TProvisional::GameAnswered);
}

TAdmission::TAdmission(TProcessAdmission& process)
    : Process(process), lines_(L::kLinesPerSecondPerTunnel, L::kLinesBurstPerTunnel) {}

TVerdict TAdmission::Decide(const TPeerAddress& from, bool query, TTime now) {
  const auto held = held_.find(HeldKey(from.Address, query));
  if (held != held_.end() && held->second >= L::kMaxRelaysPerAddress) return {false, TRefusal::TooManyFromAddress};
  if (now < refuseUntil_) return {false, TRefusal::NoRoom};
  // A master's queries that its heartbeats asked for are answered whatever the pace.
  const bool master = query && Process.QueryBudget().MasterMayQuery(from.Address, now);
  if (!master && !Process.Pace(query).Admit(from.Key(), now)) return {false, TRefusal::TrialPace};
  // The least active of the kind makes room, rather than the newcomer be refused.
  Process.MakeRoomFor(query ? TProvisional::QueryTrial : TProvisional::GameTrial, now);
  if (!query) ++gameTrials_;
  return {true};
}

void TAdmission::OpenFailed(TTime now) { refuseUntil_ = now + L::kRefuseAfterFailure; }

void TAdmission::Held(const TPeerAddress& from, bool query) { ++held_[HeldKey(from.Address, query)]; }

void TAdmission::Released(const TPeerAddress& from, bool query) {
  const auto held = held_.find(HeldKey(from.Address, query));
  if (--held->second == 0) held_.erase(held);
}

bool TAdmission::MayWriteLine(TTime now) {
  if (!lines_.Has(now) || !Process.Lines().Has(now)) return false;
  lines_.Take();
  Process.Lines().Take();
  return true;
}

} // namespace gw

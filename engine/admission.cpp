#include "admission.h"

#include <algorithm>
#include <bit>

namespace gw {

static_assert(std::has_single_bit(TAdmission::kTurnedAwayPlaces));

namespace {
// Every trial of the process in order of creation; all run on the loop's thread.
std::list<TTrialPlace*> gTrials;
} // namespace

TTrialPlace::TTrialPlace(TServer& tunnel, uint64_t clientKey)
    : Tunnel(tunnel), ClientKey(clientKey), place_(gTrials.insert(gTrials.end(), this)) {}

TTrialPlace::~TTrialPlace() { gTrials.erase(place_); }

TTrialPlace* TTrialPlace::Oldest() { return gTrials.empty() ? nullptr : gTrials.front(); }

std::size_t TTrialPlace::Count() { return gTrials.size(); }

bool TTrialPace::Admit(uint64_t sourceKey, TTime now) {
  if (now > paidAt_) {
    const double earned = std::chrono::duration<double>(now - paidAt_).count() * TAdmission::kNewTrialsPerSecond;
    trials_ = std::min<double>(TAdmission::kFirstComersAtOnce + TAdmission::kKeptForReturning, trials_ + earned);
    paidAt_ = now;
  }
  if (trials_ >= 1 + TAdmission::kKeptForReturning) {
    trials_ -= 1;
    return true;
  }
  if (turnedAway_.empty()) turnedAway_.resize(TAdmission::kTurnedAwayPlaces);
  TTurnedAway& place = PlaceOf(sourceKey);
  if (place.Key != sourceKey || now - place.At > TAdmission::kTurnedAwayRemembered) {
    place = {sourceKey, now};
    return false;
  }
  // The place keeps the time the source was first turned away, however often it sends
  // before it may come back.
  if (now - place.At < TAdmission::kComesBackAfter || trials_ < 1) return false;
  trials_ -= 1;
  place = {};
  return true;
}

TTrialPace::TTurnedAway& TTrialPace::PlaceOf(uint64_t sourceKey) {
  // Fibonacci hashing: the high bits of the product mix every bit of address and port.
  constexpr int kBits = std::countr_zero(TAdmission::kTurnedAwayPlaces);
  return turnedAway_[(sourceKey * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
}

} // namespace gw

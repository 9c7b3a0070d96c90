#include "guessGuard.h"

#include <algorithm>

namespace gw {

using L = TRemoteLimits;

TTime TGuessGuard::ReadyAt(uint32_t address, bool stranger) const {
  const auto found = sources_.find(address);
  const TTime own = found == sources_.end() ? TTime{} : found->second.ReadyAt;
  return stranger ? std::max(own, budgetWholeAt_ - (L::kGuessBurst - 1) * L::kGuessInterval) : own;
}

bool TGuessGuard::LockedOut(uint32_t address, TTime now) const {
  const auto found = sources_.find(address);
  return found != sources_.end() && found->second.Locked && now < found->second.ReadyAt;
}

bool TGuessGuard::Failed(uint32_t address, TTime now) {
  budgetWholeAt_ = std::max(budgetWholeAt_, now) + L::kGuessInterval;
  if (!sources_.contains(address)) MakeRoom(now);
  TSource& source = sources_[address];
  if (source.Failures == 0 || now - source.WindowStart > L::kWindow) source = TSource{now};
  ++source.Failures;
  if (source.Failures >= L::kLockOutAfter) {
    source.Locked = true;
    source.ReadyAt = now + L::kLockOut;
    return true;
  }
  const auto wait = std::min<std::chrono::milliseconds>(L::kFirstWait * (1 << (source.Failures - 1)), L::kLongestWait);
  source.ReadyAt = now + wait;
  return false;
}

void TGuessGuard::Succeeded(uint32_t address) {
  sources_.erase(address);
  std::erase(known_, address);
  if (known_.size() == L::kMaxKnownAddresses) known_.erase(known_.begin());
  known_.push_back(address);
}

bool TGuessGuard::Known(uint32_t address) const { return std::ranges::find(known_, address) != known_.end(); }

void TGuessGuard::Forget(TTime now) {
  std::erase_if(sources_, [now](const auto& entry) {
    return now >= entry.second.ReadyAt && now - entry.second.WindowStart > L::kWindow;
  });
}

void TGuessGuard::MakeRoom(TTime now) {
  if (sources_.size() < L::kMaxGuardRecords) return;
  Forget(now);
  if (sources_.size() < L::kMaxGuardRecords) return;
  sources_.erase(std::ranges::min_element(sources_, {}, [](const auto& entry) { return entry.second.ReadyAt; }));
}

bool TLineLimiter::Admit(uint32_t source, TTime now) {
  if (all_.Shown == 0 && all_.LeftOut == 0) all_.PeriodStart = now;
  const auto found = sources_.find(source);
  if (found == sources_.end()) {
    if (all_.Shown >= L::kLinesInAll) {
      ++all_.LeftOut;
      return false;
    }
    sources_.emplace(source, TSource{now, 1, 0});
    ++all_.Shown;
    return true;
  }
  TSource& entry = found->second;
  if (entry.Shown < L::kLinesPerSource && all_.Shown < L::kLinesInAll) {
    ++entry.Shown;
    ++all_.Shown;
    return true;
  }
  ++entry.LeftOut;
  return false;
}

} // namespace gw

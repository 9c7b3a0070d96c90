#include "guessGuard.h"

#include <algorithm>

namespace gw {

TTime TGuessGuard::ReadyAt(uint32_t address, bool stranger) const {
  const auto found = sources_.find(address);
  const TTime own = found == sources_.end() ? TTime{} : found->second.ReadyAt;
  return stranger ? std::max(own, budgetWholeAt_ - (kBurst - 1) * kInterval) : own;
}

bool TGuessGuard::LockedOut(uint32_t address, TTime now) const {
  const auto found = sources_.find(address);
  return found != sources_.end() && found->second.Locked && now < found->second.ReadyAt;
}

bool TGuessGuard::Failed(uint32_t address, TTime now) {
  budgetWholeAt_ = std::max(budgetWholeAt_, now) + kInterval;
  if (!sources_.contains(address)) MakeRoom(now);
  TSource& source = sources_[address];
  if (source.Failures == 0 || now - source.WindowStart > kWindow) source = TSource{now};
  ++source.Failures;
  if (source.Failures >= kLockOutAfter) {
    source.Locked = true;
    source.ReadyAt = now + kLockOut;
    return true;
  }
  const auto wait = std::min<std::chrono::milliseconds>(kFirstWait * (1 << (source.Failures - 1)), kLongestWait);
  source.ReadyAt = now + wait;
  return false;
}

void TGuessGuard::Succeeded(uint32_t address) {
  sources_.erase(address);
  std::erase(known_, address);
  if (known_.size() == kMaxKnown) known_.erase(known_.begin());
  known_.push_back(address);
}

bool TGuessGuard::Known(uint32_t address) const { return std::ranges::find(known_, address) != known_.end(); }

void TGuessGuard::Forget(TTime now) {
  std::erase_if(sources_, [now](const auto& entry) {
    return now >= entry.second.ReadyAt && now - entry.second.WindowStart > kWindow;
  });
}

void TGuessGuard::MakeRoom(TTime now) {
  if (sources_.size() < kMaxRecords) return;
  Forget(now);
  if (sources_.size() < kMaxRecords) return;
  sources_.erase(std::ranges::min_element(sources_, {}, [](const auto& entry) { return entry.second.ReadyAt; }));
}

bool TLineLimiter::Admit(uint32_t source, TTime now) {
  if (all_.Shown == 0 && all_.LeftOut == 0) all_.PeriodStart = now;
  const auto found = sources_.find(source);
  if (found == sources_.end()) {
    if (all_.Shown >= kShownInAll) {
      ++all_.LeftOut;
      return false;
    }
    sources_.emplace(source, TSource{now, 1, 0});
    ++all_.Shown;
    return true;
  }
  TSource& entry = found->second;
  if (entry.Shown < kShown && all_.Shown < kShownInAll) {
    ++entry.Shown;
    ++all_.Shown;
    return true;
  }
  ++entry.LeftOut;
  return false;
}

} // namespace gw

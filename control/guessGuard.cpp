#include "guessGuard.h"

#include <algorithm>

namespace gw {

TTime TGuessGuard::ReadyAt(uint32_t address) const {
  const auto found = sources_.find(address);
  return found == sources_.end() ? TTime{} : found->second.ReadyAt;
}

bool TGuessGuard::LockedOut(uint32_t address, TTime now) const {
  const auto found = sources_.find(address);
  return found != sources_.end() && found->second.Locked && now < found->second.ReadyAt;
}

bool TGuessGuard::Failed(uint32_t address, TTime now) {
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

void TGuessGuard::Forget(TTime now) {
  std::erase_if(sources_, [now](const auto& entry) {
    return now >= entry.second.ReadyAt && now - entry.second.WindowStart > kWindow;
  });
}

bool TLineLimiter::Admit(uint32_t source, TTime now) {
  TSource& entry = sources_[source];
  if (entry.Shown == 0 && entry.LeftOut == 0) entry.PeriodStart = now;
  if (entry.Shown < kShown) {
    ++entry.Shown;
    return true;
  }
  ++entry.LeftOut;
  return false;
}

} // namespace gw

#pragma once

#include "clock.h"
#include "remoteLimits.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace gw {

// Slows password guessing (the limits are TRemoteLimits'). Per source address (network
// byte order): after a wrong password the address waits before its next message is
// handled, longer with each failure, and is locked out after too many. One guess per wait,
// however many connections the address opens. Across all addresses: a stranger's message
// (from an address that has not given the password) waits too while the wrong passwords of
// all addresses have used up their budget.
class TGuessGuard {
public:
  // Messages from `address` are not handled before this time (one in the past when free);
  // a stranger's also wait for the common budget.
  TTime ReadyAt(uint32_t address, bool stranger) const;
  bool LockedOut(uint32_t address, TTime now) const;
  // Records a wrong password; true when this one locks the address out.
  bool Failed(uint32_t address, TTime now);
  // The right password clears the address's record and makes it known.
  void Succeeded(uint32_t address);
  bool Known(uint32_t address) const;
  // Lets go of the addresses that have nothing left to wait for.
  void Forget(TTime now);
  std::size_t Records() const { return sources_.size(); }

private:
  struct TSource {
    TTime WindowStart{};
    int Failures = 0;
    TTime ReadyAt{};
    bool Locked = false;
  };
  void MakeRoom(TTime now);

  std::unordered_map<uint32_t, TSource> sources_;
  std::vector<uint32_t> known_;
  // When the common budget would be whole again (a token bucket kept as one time): a
  // stranger may try while it is less than a burst of intervals ahead.
  TTime budgetWholeAt_{};
};

// Keeps one kind of log line about a source address from flooding the log: the first
// kLinesPerSource lines of a period per source are written, but no more than kLinesInAll
// of all sources; the rest are counted, and the counts handed over once the period is
// over, those of sources with no line of their own together as kOtherSources.
class TLineLimiter {
public:
  // No peer has the address 0.0.0.0.
  static constexpr uint32_t kOtherSources = 0;

  // True when the line may be written; otherwise it is counted.
  bool Admit(uint32_t source, TTime now);
  // Calls `leftOut(source, count)` for every source whose period is over with lines left
  // out, and forgets the sources whose period is over. Sources are only recorded with a
  // line written, so there are never more than about twice kLinesInAll.
  template <typename F>
  void Flush(TTime now, F&& leftOut) {
    for (auto it = sources_.begin(); it != sources_.end();) {
      if (now - it->second.PeriodStart < TRemoteLimits::kLinePeriod) {
        ++it;
        continue;
      }
      if (it->second.LeftOut > 0) leftOut(it->first, it->second.LeftOut);
      it = sources_.erase(it);
    }
    if (now - all_.PeriodStart < TRemoteLimits::kLinePeriod) return;
    if (all_.LeftOut > 0) leftOut(kOtherSources, all_.LeftOut);
    all_ = {};
  }

private:
  struct TSource {
    TTime PeriodStart{};
    int Shown = 0;
    int LeftOut = 0;
  };
  std::unordered_map<uint32_t, TSource> sources_;
  // Lines of all sources together; LeftOut counts only those of unrecorded sources.
  TSource all_;
};

} // namespace gw

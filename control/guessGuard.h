#pragma once

#include "clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace gw {

// Slows password guessing. Per source address (network byte order): after a wrong
// password the address waits before its next message is handled, a wait that doubles with
// each failure of the last minute; ten failures within a minute lock it out for five
// minutes. One guess per wait, however many connections the address opens. Across all
// addresses: a stranger's message (from an address that has not given the password) waits
// too while the wrong passwords of all addresses have used up their budget, so that
// rotating over many addresses gains nothing.
class TGuessGuard {
public:
  static constexpr std::chrono::milliseconds kFirstWait{250};
  static constexpr std::chrono::milliseconds kLongestWait{8000};
  static constexpr std::chrono::seconds kWindow{60};
  static constexpr int kLockOutAfter = 10;
  static constexpr std::chrono::seconds kLockOut{300};
  // Wrong passwords of all addresses together: one per 20 ms (50 a second) with up to 25 at
  // once, far above what administrators mistyping need and far below what a search of
  // passwords would.
  static constexpr std::chrono::milliseconds kInterval{20};
  static constexpr int kBurst = 25;
  // Records kept at most. The budget makes more than about 50 a second * 60 s of window,
  // plus those locked out, impossible; past the bound the record nearest its end goes.
  static constexpr std::size_t kMaxRecords = 8192;
  // Addresses that gave the password, most recent last: they skip the common budget, so a
  // guessing crowd elsewhere does not hold up the administrator.
  static constexpr std::size_t kMaxKnown = 64;

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
  // stranger may try while it is less than kBurst intervals ahead.
  TTime budgetWholeAt_{};
};

// Keeps one kind of log line about a source address from flooding the log: the first
// kShown lines of a minute per source are written, but no more than kShownInAll of all
// sources; the rest are counted, and the counts handed over once the minute is over, those
// of sources with no line of their own together as kOtherSources.
class TLineLimiter {
public:
  static constexpr int kShown = 3;
  static constexpr int kShownInAll = 30;
  static constexpr std::chrono::seconds kPeriod{60};
  // No peer has the address 0.0.0.0.
  static constexpr uint32_t kOtherSources = 0;

  // True when the line may be written; otherwise it is counted.
  bool Admit(uint32_t source, TTime now);
  // Calls `leftOut(source, count)` for every source whose minute is over with lines left
  // out, and forgets the sources whose minute is over. Sources are only recorded with a
  // line written, so there are never more than about 2 * kShownInAll.
  template <typename F>
  void Flush(TTime now, F&& leftOut) {
    for (auto it = sources_.begin(); it != sources_.end();) {
      if (now - it->second.PeriodStart < kPeriod) {
        ++it;
        continue;
      }
      if (it->second.LeftOut > 0) leftOut(it->first, it->second.LeftOut);
      it = sources_.erase(it);
    }
    if (now - all_.PeriodStart < kPeriod) return;
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

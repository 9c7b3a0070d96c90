#pragma once

#include "clock.h"

#include <chrono>
#include <cstdint>
#include <unordered_map>

namespace gw {

// Slows password guessing, per source address (network byte order): after a wrong
// password the address waits before its next message is read, a wait that doubles with
// each failure of the last minute; ten failures within a minute lock it out for five
// minutes. One guess per wait, however many connections the address opens.
class TGuessGuard {
public:
  static constexpr std::chrono::milliseconds kFirstWait{250};
  static constexpr std::chrono::milliseconds kLongestWait{8000};
  static constexpr std::chrono::seconds kWindow{60};
  static constexpr int kLockOutAfter = 10;
  static constexpr std::chrono::seconds kLockOut{300};

  // Messages from `address` are not read before this time (one in the past when free).
  TTime ReadyAt(uint32_t address) const;
  bool LockedOut(uint32_t address, TTime now) const;
  // Records a wrong password; true when this one locks the address out.
  bool Failed(uint32_t address, TTime now);
  // The right password clears the address's record.
  void Succeeded(uint32_t address) { sources_.erase(address); }
  // Lets go of the addresses that have nothing left to wait for.
  void Forget(TTime now);

private:
  struct TSource {
    TTime WindowStart{};
    int Failures = 0;
    TTime ReadyAt{};
    bool Locked = false;
  };
  std::unordered_map<uint32_t, TSource> sources_;
};

// Keeps one kind of log line about a source address from flooding the log: the first
// kShown lines of a minute are written, the rest counted, and the count is handed over
// once that minute is over.
class TLineLimiter {
public:
  static constexpr int kShown = 3;
  static constexpr std::chrono::seconds kPeriod{60};

  // True when the line may be written; otherwise it is counted.
  bool Admit(uint32_t source, TTime now);
  // Calls `leftOut(source, count)` for every source whose minute is over with lines left
  // out, and forgets the sources whose minute is over.
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
  }

private:
  struct TSource {
    TTime PeriodStart{};
    int Shown = 0;
    int LeftOut = 0;
  };
  std::unordered_map<uint32_t, TSource> sources_;
};

} // namespace gw

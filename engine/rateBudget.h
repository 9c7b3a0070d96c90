#pragma once

#include "clock.h"

#include <algorithm>
#include <chrono>

namespace gw {

// Tokens that refill at a rate up to a burst: a token bucket whose rate and burst its owner
// passes at each call, so that tables of many share one figure and the figure may change.
// A bucket never used is full.
struct TTokens {
  double Left = 0;
  TTime PaidAt{};
  bool Used = false;

  // Refills for the time since the last call and returns what is left.
  double Refill(TTime now, double perSecond, double burst) {
    if (!Used) {
      Left = burst;
      PaidAt = now;
      Used = true;
    } else if (now > PaidAt) {
      Left = std::min(burst, Left + std::chrono::duration<double>(now - PaidAt).count() * perSecond);
      PaidAt = now;
    }
    return Left;
  }
};

// A budget of events a second with a burst of its own.
class TRateBudget {
public:
  TRateBudget() = default;
  TRateBudget(int perSecond, int burst) : perSecond_(perSecond), burst_(burst) {}
  // Refills for the time since the last call; true when a token is left.
  bool Has(TTime now) { return tokens_.Refill(now, perSecond_, burst_) >= 1; }
  void Take() { tokens_.Left -= 1; }
  bool Spend(TTime now) {
    if (!Has(now)) return false;
    Take();
    return true;
  }

private:
  double perSecond_ = 0;
  double burst_ = 0;
  TTokens tokens_;
};

} // namespace gw

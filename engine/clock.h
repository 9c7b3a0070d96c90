#pragma once

#include "engineLimits.h"

#include <chrono>

namespace gw {

// Idle limits run on a monotonic clock: a step of the wall clock (daylight saving, NTP)
// must neither drop every relay at once nor keep them alive for an hour.
using TTime = std::chrono::steady_clock::time_point;

// Strictly more than `limit` has passed since `last`.
inline bool IdleLongerThan(TTime now, TTime last, std::chrono::seconds limit) {
  return now > last + limit;
}

class TClock {
public:
  virtual ~TClock() = default;
  virtual TTime Now() const = 0;
};

class TSteadyClock final : public TClock {
public:
  TTime Now() const override { return std::chrono::steady_clock::now(); }
};

} // namespace gw

#pragma once

#include "clock.h"
#include "relaySample.h"

#include <prometheus/collectable.h>
#include <uv.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace gw {

// Where the HTTP server's threads meet the loop. A scrape (Collect, on a server thread) asks
// the loop for a sample by `async` and waits for it at most `wait`; the loop Delivers it
// under the lock and wakes the waiting scrapes. A sample younger than `reuse` serves again.
class TSampleExchange final : public prometheus::Collectable {
public:
  TSampleExchange(uv_async_t* async, const TClock& clock, std::chrono::milliseconds reuse,
                  std::chrono::milliseconds wait);

  // The process's figures, and the relay's when the loop answered in time.
  std::vector<prometheus::MetricFamily> Collect() const override;
  // On the loop's thread.
  void Deliver(TRelaySample sample);
  // On the loop's thread, before `async` closes: no scrape asks or waits from now on.
  void Close();

private:
  std::shared_ptr<const TRelaySample> Latest() const;

  uv_async_t* const async_;
  const TClock& clock_;
  const std::chrono::milliseconds reuse_;
  const std::chrono::milliseconds wait_;
  mutable std::mutex mutex_;
  mutable std::condition_variable delivered_;
  bool closed_ = false;
  uint64_t deliveries_ = 0;
  TTime takenAt_{};
  std::shared_ptr<const TRelaySample> sample_;
};

} // namespace gw

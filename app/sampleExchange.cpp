#include "sampleExchange.h"

#include "metricFamilies.h"

#include <iterator>

namespace gw {

TSampleExchange::TSampleExchange(uv_async_t* async, const TClock& clock, std::chrono::milliseconds reuse,
                                 std::chrono::milliseconds wait)
    : async_(async), clock_(clock), reuse_(reuse), wait_(wait) {}

std::vector<prometheus::MetricFamily> TSampleExchange::Collect() const {
  std::vector<prometheus::MetricFamily> families = ProcessFamilies();
  if (const std::shared_ptr<const TRelaySample> sample = Latest()) {
    std::vector<prometheus::MetricFamily> relay = RelayFamilies(*sample);
    families.insert(families.end(), std::make_move_iterator(relay.begin()), std::make_move_iterator(relay.end()));
  }
  return families;
}

std::shared_ptr<const TRelaySample> TSampleExchange::Latest() const {
  std::unique_lock lock(mutex_);
  if (closed_) return nullptr;
  if (sample_ && clock_.Now() - takenAt_ < reuse_) return sample_;
  // Scrapes that arrive together wait for the same sample: libuv runs the callback once
  // for the sends made before it.
  const uint64_t awaited = deliveries_ + 1;
  uv_async_send(async_);
  const bool answered = delivered_.wait_for(lock, wait_, [&] { return closed_ || deliveries_ >= awaited; });
  return answered && !closed_ ? sample_ : nullptr;
}

void TSampleExchange::Deliver(TRelaySample sample) {
  auto shared = std::make_shared<const TRelaySample>(std::move(sample));
  {
    const std::lock_guard lock(mutex_);
    sample_ = std::move(shared);
    takenAt_ = clock_.Now();
    ++deliveries_;
  }
  delivered_.notify_all();
}

void TSampleExchange::Close() {
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
  }
  delivered_.notify_all();
}

} // namespace gw

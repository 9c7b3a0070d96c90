#pragma once

#include "clock.h"
#include "config.h"
#include "relaySample.h"
#include "uvHandle.h"

#include <chrono>
#include <functional>
#include <memory>

namespace prometheus {
class Exposer;
}

namespace gw {

class TSampleExchange;

// The headless program's Prometheus endpoint. Its HTTP server (prometheus-cpp on civetweb)
// runs on threads of its own, which never touch the relay: a scrape asks the loop for a
// sample through a uv_async_t and waits for it, a bounded time; the loop takes the sample
// between two events and hands it over under a lock, and never waits on a scraper. So a
// slow or hostile scraper holds up no datagram; at worst it holds up other scrapers.
class TMetricsEndpoint {
public:
  using TSampler = std::function<TRelaySample()>;

  // Listens on the settings' address and port (not 0); raises std::runtime_error naming
  // them and the reason when it cannot. `sampler` runs on the loop's thread.
  TMetricsEndpoint(uv_loop_t* loop, const TMetricsSettings& settings, TSampler sampler, const TClock& clock);
  // Scrapes that wait are let go at once; the server's threads end before it returns.
  ~TMetricsEndpoint();
  TMetricsEndpoint(const TMetricsEndpoint&) = delete;
  TMetricsEndpoint& operator=(const TMetricsEndpoint&) = delete;

  const TMetricsSettings& Settings() const { return settings_; }

  // A sample younger than this serves the next scrape too, so a scraper that hammers the
  // endpoint costs the loop one walk over the tunnels twice a second at most.
  static constexpr std::chrono::milliseconds kReuseSample{500};
  // A scrape waits this long for the loop; a loop that has not answered by then is stuck,
  // and the scrape shows the process's figures without the relay's, whose absence alerts.
  static constexpr std::chrono::milliseconds kLoopAnswerWait{1000};
  // Scrapes served at once; Prometheus sends one at a time.
  static constexpr int kServerThreads = 2;
  // A connection that has not sent its whole request by then is closed, so that a silent
  // one does not keep a server thread for long.
  static constexpr int kRequestTimeoutMs = 5000;

private:
  TMetricsSettings settings_;
  TSampler sampler_;
  TUvHandle<uv_async_t> async_;
  std::shared_ptr<TSampleExchange> exchange_;
  std::unique_ptr<prometheus::Exposer> exposer_;
};

} // namespace gw

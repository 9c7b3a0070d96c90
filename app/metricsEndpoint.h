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
  // The HTTP server (civetweb 1.15) serves each connection on one thread of its own, from
  // its request's first byte to its answer's last, so peers that send slowly or not at all
  // (slowloris) can only hold threads: a thread is held a bounded time, and there are
  // threads enough for a crowd of them with some left for the scrape.
  //
  // Threads: 300 slow peers each hold one and a scrape still finds one free; a crowd past
  // that queues, and a scrape waits about a second for every 512 peers ahead of it. A thread
  // waiting for a connection holds no descriptor (the server waits with poll, so high
  // descriptor numbers are fine) and some 16 KB of memory.
  static constexpr int kServerThreads = 512;
  // Connections accepted that wait for a thread; the rest wait in the system's backlog.
  static constexpr int kConnectionQueue = 32;
  // What the endpoint may hold at most: a connection per thread, those queued, the listener.
  static constexpr int kMostDescriptors = kServerThreads + kConnectionQueue + 1;
  // A connection's whole request must have arrived this long after a thread took it (the
  // clock starts then, so waiting in the queue costs a peer nothing), and each wait for the
  // peer while the answer is written is as long. Prometheus sends its request at once, in one
  // segment; a second leaves room for it to be sent again once. A slow peer holds its thread
  // a second, two at most (a byte just before the limit earns one more wait).
  static constexpr int kRequestTimeoutMs = 1000;
  // One request per connection: a kept-alive connection would hold its thread between
  // requests, and Prometheus connects again at its next scrape anyway. The closing socket is
  // not made to linger: the system sends what is left of the answer after the thread lets go.
  static constexpr const char* kKeepAlive = "no";

private:
  TMetricsSettings settings_;
  TSampler sampler_;
  TUvHandle<uv_async_t> async_;
  std::shared_ptr<TSampleExchange> exchange_;
  std::unique_ptr<prometheus::Exposer> exposer_;
};

} // namespace gw

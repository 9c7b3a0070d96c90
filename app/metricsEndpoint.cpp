#include "metricsEndpoint.h"

#include "presenter.h"
#include "sampleExchange.h"

#include <CivetServer.h>
#include <prometheus/exposer.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace gw {

namespace {

// civetweb tells why it cannot listen only through its log callback, on the thread that
// starts it; what it says then is kept here for the error. Later messages, about one
// request each, stay unwritten as civetweb leaves them: a stranger could otherwise fill the
// log, as the relay's own refusals are kept from doing.
thread_local std::string* startMessage = nullptr;

int KeepStartMessage(const mg_connection*, const char* message) {
  if (startMessage == nullptr) return 0;
  if (startMessage->empty()) *startMessage = message;
  return 1;
}

std::unique_ptr<prometheus::Exposer> Listen(const TMetricsSettings& settings) {
  CivetCallbacks callbacks;
  callbacks.log_message = &KeepStartMessage;
  std::string message;
  startMessage = &message;
  const std::string where = settings.Address + ":" + std::to_string(settings.Port);
  try {
    auto exposer = std::make_unique<prometheus::Exposer>(
        std::vector<std::string>{"listening_ports", where,
                                 "num_threads", std::to_string(TMetricsEndpoint::kServerThreads),
                                 "connection_queue", std::to_string(TMetricsEndpoint::kConnectionQueue),
                                 "request_timeout_ms", std::to_string(TMetricsEndpoint::kRequestTimeoutMs),
                                 "enable_keep_alive", TMetricsEndpoint::kKeepAlive},
        &callbacks);
    startMessage = nullptr;
    return exposer;
  } catch (const std::exception& e) {
    startMessage = nullptr;
    throw std::runtime_error("cannot serve metrics on TCP " + where + ": " + (message.empty() ? e.what() : message));
  }
}

} // namespace

TMetricsEndpoint::TMetricsEndpoint(uv_loop_t* loop, const TMetricsSettings& settings, TSampler sampler,
                                   const TClock& clock)
    : settings_(settings), sampler_(std::move(sampler)) {
  // A handle that failed to initialise was never registered and is simply freed.
  auto async = std::make_unique<uv_async_t>();
  const int status = uv_async_init(loop, async.get(), [](uv_async_t* handle) {
    auto* self = static_cast<TMetricsEndpoint*>(handle->data);
    if (self) RunGuarded([self] { self->exchange_->Deliver(self->sampler_()); });
  });
  if (status != 0) throw std::runtime_error(std::string("cannot serve metrics: ") + uv_strerror(status));
  async_.reset(async.release());
  async_->data = this;
  // Scrapes alone never keep the loop running.
  uv_unref(reinterpret_cast<uv_handle_t*>(async_.get()));
  exchange_ = std::make_shared<TSampleExchange>(async_.get(), clock, kReuseSample, kLoopAnswerWait);
  exposer_ = Listen(settings_);
  exposer_->RegisterCollectable(exchange_);
}

TMetricsEndpoint::~TMetricsEndpoint() {
  // In this order: a scrape waiting for the loop would hold up the server's stop, and no
  // scrape may signal the handle once it closes.
  exchange_->Close();
  exposer_.reset();
}

} // namespace gw

#include "serviceNotify.h"

#include "core.h"

#include <systemd/sd-daemon.h>

namespace gw {

namespace {
// Often enough that `systemctl status` is never far behind, rarely enough to cost nothing.
constexpr uint64_t kStatusIntervalMs = 1000;
} // namespace

TServiceNotifier::TServiceNotifier(uv_loop_t* loop) : timer_(MakeTimer(loop, this)) {}

void TServiceNotifier::Ready(TCore& core) {
  core_ = &core;
  SendStatus();
  sd_notify(0, "READY=1");
  uv_timer_start(
      timer_.get(), [](uv_timer_t* handle) { static_cast<TServiceNotifier*>(handle->data)->SendStatus(); },
      kStatusIntervalMs, kStatusIntervalMs);
}

void TServiceNotifier::Reloading() { sd_notify(0, "RELOADING=1"); }

void TServiceNotifier::Reloaded() {
  SendStatus();
  sd_notify(0, "READY=1");
}

void TServiceNotifier::Stopping() {
  uv_timer_stop(timer_.get());
  core_ = nullptr;
  sd_notify(0, "STOPPING=1");
}

void TServiceNotifier::SendStatus() {
  if (core_ == nullptr) return;
  TConfig& config = core_->Config();
  int clients = 0;
  for (int i = 0; i < config.Count(); ++i) clients += config.Items(i).ClientCount();
  const auto& temporaries = core_->Manager().Temporaries();
  for (const auto& tunnel : temporaries) clients += tunnel->ClientCount();
  std::string status = "STATUS=" + std::to_string(config.Count()) + " static tunnels, " +
                       std::to_string(temporaries.size()) + " temporary, " + std::to_string(clients) + " clients";
  if (status == status_) return;
  status_ = std::move(status);
  sd_notify(0, status_.c_str());
}

} // namespace gw

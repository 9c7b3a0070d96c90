#include "serviceNotify.h"

#include "core.h"
#include "relaySample.h"

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
  // The figures of gatewarden_static_tunnels, gatewarden_temporary_tunnels and the sum of
  // gatewarden_relays, counted the same way.
  int statics = 0;
  int temporaries = 0;
  int clients = 0;
  VisitTunnels(*core_, [&](const TServer& tunnel) {
    ++(tunnel.Temporary ? temporaries : statics);
    clients += tunnel.ClientCount();
  });
  std::string status = "STATUS=" + std::to_string(statics) + " static tunnels, " + std::to_string(temporaries) +
                       " temporary, " + std::to_string(clients) + " clients";
  if (status == status_) return;
  status_ = std::move(status);
  sd_notify(0, status_.c_str());
}

} // namespace gw

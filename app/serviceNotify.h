#pragma once

#include "uvHandle.h"

#include <string>

namespace gw {

class TCore;

// What the service manager hears of the relay (sd_notify): ready once the static tunnels
// are started, reloading while the settings are read again, stopping, and a status line with
// the tunnels and clients in use, kept current every second. Outside a service (no
// NOTIFY_SOCKET) it does nothing.
class TServiceNotifier {
public:
  explicit TServiceNotifier(uv_loop_t* loop);

  // Ready, and the status of `core` from now on until Stopping.
  void Ready(TCore& core);
  void Reloading();
  void Reloaded();
  void Stopping();

private:
  void SendStatus();

  TCore* core_ = nullptr;
  std::string status_;
  TUvHandle<uv_timer_t> timer_;
};

} // namespace gw

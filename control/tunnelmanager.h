#pragma once

#include "context.h"
#include "server.h"

#include <memory>
#include <string>
#include <vector>

namespace gw {

class TConfig;
class TFrontEnd;

// The controller of the running relay: starts the static tunnels, owns the temporary ones
// and their rotating port counter, sweeps idle relays and tunnels, and is the one log sink.
class TTunnelManager {
public:
  TTunnelManager(TEngineContext& engine, TConfig& config, TFrontEnd& frontEnd);

  // Caption, listener, tunnel list, then every static tunnel. An error raised by the listener
  // skips the steps after it; Reload starts the tunnels later.
  void StartUp();
  // Restarts every static tunnel; temporary tunnels are left alone.
  void Reload();
  // Runs every second: idle relays of static tunnels and idle temporary tunnels go.
  void Sweep();
  // Starts a temporary tunnel on the next port of the range and returns that port.
  int CreateTemporaryTunnel(const std::string& host, int port);
  void AddLog(const std::string& text);
  int TemporaryCount() const { return static_cast<int>(TempTunnels.size()); }
  const std::vector<std::unique_ptr<TServer>>& Temporaries() const { return TempTunnels; }

  int NextTempPort = 0;

private:
  TEngineContext& engine_;
  TConfig& config_;
  TFrontEnd& frontEnd_;
  std::vector<std::unique_ptr<TServer>> TempTunnels;
};

} // namespace gw

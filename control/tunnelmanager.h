#pragma once

#include "context.h"
#include "server.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace gw {

class TConfig;
class TFrontEnd;

// A temporary tunnel made on Port, or the reason why none was, the text of the error reply.
struct TCreateResult {
  int Port = 0;
  std::string Refusal;
};

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
  // Runs every second: idle relays of static tunnels and idle temporary tunnels go, then
  // OnSweep runs.
  void Sweep();
  // Starts a temporary tunnel on the first port of the range, from the rotating counter on,
  // that it can bind. Refused when the target is a port of this program on this host, or
  // when no port of the range is free; the refusal is the caller's to log.
  TCreateResult CreateTemporaryTunnel(const std::string& host, int port);
  void AddLog(const std::string& text);
  int TemporaryCount() const { return static_cast<int>(TempTunnels.size()); }
  const std::vector<std::unique_ptr<TServer>>& Temporaries() const { return TempTunnels; }
  TEngineContext& Engine() { return engine_; }

  int NextTempPort = 0;
  // More work for the one-second sweep (the remote control's).
  std::function<void()> OnSweep;

private:
  // A port (low 16 bits) that an endpoint of this program holds or is set to hold.
  bool IsOwnPort(int port) const;
  void StepTempPort();

  TEngineContext& engine_;
  TConfig& config_;
  TFrontEnd& frontEnd_;
  std::vector<std::unique_ptr<TServer>> TempTunnels;
  bool tunnelsStarted_ = false;
};

} // namespace gw

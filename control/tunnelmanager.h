#pragma once

#include "config.h"
#include "context.h"
#include "server.h"
#include "uvHandle.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace gw {

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
  // Restarts every static tunnel but those of `reloaded.Serving` that listen, after freeing
  // the departed ones. Temporary tunnels are left alone. Past kChangesPerTurn tunnels, the
  // rest are freed and started in the loop's next turns.
  void Reload(TReloaded reloaded = {});
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

  // Starting or freeing a tunnel costs some tens of microseconds of system calls: a reload
  // of many thousand does this many in each turn of the loop, so that the players of the
  // tunnels that serve on are never held up long.
  static constexpr std::size_t kChangesPerTurn = 500;
  // The temporary range is short of ports while fewer than one in this many are free: the
  // temporary tunnels then keep to the stricter rules (TRoom), so that strangers cannot hold
  // the last ports, while a range with room serves every tunnel as long as its clients send.
  static constexpr int64_t kRangeShortWhenFreeBelowOneIn = 4;

  int NextTempPort = 0;
  // More work for the one-second sweep (the remote control's).
  std::function<void()> OnSweep;

private:
  // A port (low 16 bits) that an endpoint of this program holds or is set to hold.
  bool IsOwnPort(int port) const;
  void StepTempPort();
  // Ports in the temporary range: a range below its start holds the start only.
  int64_t RangeSize() const;
  // Tells the engine whether the temporary range is short of free ports.
  void TellRangeShortage();
  // The next kChangesPerTurn steps of a reload: departed tunnels are freed first, so that
  // their ports are free, then the others start. Asks for another turn for the rest.
  void ContinueReload();

  TEngineContext& engine_;
  TConfig& config_;
  TFrontEnd& frontEnd_;
  std::vector<std::unique_ptr<TServer>> TempTunnels;
  bool tunnelsStarted_ = false;
  // What the last reload has still to do: tunnels to free, and tunnels to start, the last
  // first.
  std::vector<std::unique_ptr<TServer>> departing_;
  std::vector<TServer*> pendingStarts_;
  TUvHandle<uv_timer_t> reloadTimer_;
};

} // namespace gw

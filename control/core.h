#pragma once

#include "config.h"
#include "context.h"
#include "fastPath.h"
#include "masters.h"
#include "remotecontrol.h"
#include "tunnelmanager.h"
#include "uvHandle.h"

#include <filesystem>
#include <memory>

namespace gw {

class TFrontEnd;

// The running relay that both programs share: the settings with their static tunnels, the
// tunnel manager, the remote-control service and the one-second sweep, on one libuv loop.
// A front end (window or console) is attached for the program's life and detached before
// it goes, since the remote-control service works its listener.
class TCore final : public TEngineContext {
public:
  // Loads the settings; raises TSettingsError or TIniReadError for a file the program must
  // not start on (see TConfig).
  TCore(uv_loop_t* loop, const std::filesystem::path& settingsPath, const TClock& clock,
        TIfMissing ifMissing = TIfMissing::ReadEmpty);
  ~TCore() override;
  TCore(const TCore&) = delete;
  TCore& operator=(const TCore&) = delete;

  // Creates the manager and the service for `frontEnd` and starts the sweep timer.
  void Attach(TFrontEnd& frontEnd);
  // The start-up sequence; an error it raises leaves the rest of it undone.
  void StartUp();
  // Stops the sweep and the service, and drops the temporary tunnels.
  void Detach();

  TConfig& Config() { return config_; }
  TTunnelManager& Manager() { return *manager_; }

  uv_loop_t* Loop() override { return loop_; }
  const TClock& Clock() const override { return clock_; }
  void AddLog(const std::string& text) override;
  bool AddPort() const override { return config_.AddPort; }
  // Loaded at the first tunnel that asks, and kept for the program's life.
  TFastPath* FastPath() override;
  TMasters* Masters() override { return &masters_; }

private:
  uv_loop_t* loop_;
  const TClock& clock_;
  // Before the settings' tunnels, which ask it at every sweep.
  TMasters masters_;
  // Before the settings, which own the static tunnels: it outlives every relay it carries.
  std::unique_ptr<TFastPath> fastPath_;
  TConfig config_;
  std::unique_ptr<TTunnelManager> manager_;
  std::unique_ptr<TRemoteControl> remote_;
  TUvHandle<uv_timer_t> sweepTimer_;
};

} // namespace gw

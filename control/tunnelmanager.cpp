#include "tunnelmanager.h"

#include "config.h"
#include "frontEnd.h"
#include "remotecontrol.h"

#include <cstddef>

namespace gw {

TTunnelManager::TTunnelManager(TEngineContext& engine, TConfig& config, TFrontEnd& frontEnd)
    : engine_(engine), config_(config), frontEnd_(frontEnd) {}

void TTunnelManager::StartUp() {
  TempTunnels.clear();
  NextTempPort = config_.FromPort;
  frontEnd_.SetCaption("Gatewarden 3.0");
  ApplyListenerSettings(frontEnd_.RemoteListener(), config_);
  Reload();
}

void TTunnelManager::Reload() {
  frontEnd_.RefreshTunnelList();
  // Every port is let go before any is bound again, so tunnels that swapped ports both get
  // their new one.
  for (int i = 0; i < config_.Count(); ++i) config_.Items(i).CloseEndpoints();
  for (int i = 0; i < config_.Count(); ++i) config_.Items(i).Start();
}

void TTunnelManager::Sweep() {
  for (int i = 0; i < config_.Count(); ++i) config_.Items(i).SweepClients();

  for (std::size_t i = 0; i < TempTunnels.size();) {
    if (!TempTunnels[i]->IsExpired()) {
      ++i;
      continue;
    }
    const std::string description = TempTunnels[i]->Describe();
    // The list is settled before the line, which refreshes the window's counts.
    TempTunnels.erase(TempTunnels.begin() + static_cast<std::ptrdiff_t>(i));
    AddLog("Temporary tunnel on " + description + " closed");
  }
}

int TTunnelManager::CreateTemporaryTunnel(const std::string& host, int port) {
  auto tunnel = std::make_unique<TServer>(engine_);
  const int listenPort = NextTempPort;
  tunnel->ListenPort = listenPort;
  tunnel->ServerPort = port;
  tunnel->ServerHost = host;
  tunnel->Temporary = true;
  TServer& started = *tunnel;
  TempTunnels.push_back(std::move(tunnel));
  started.Start();

  // Past ToPort the counter wraps to FromPort; compared before stepping, so the counter
  // never overflows at the top of the integer range.
  NextTempPort = NextTempPort >= config_.ToPort ? config_.FromPort : NextTempPort + 1;
  return listenPort;
}

void TTunnelManager::AddLog(const std::string& text) {
  frontEnd_.AppendLog(text);
  frontEnd_.RefreshTunnelList();
}

} // namespace gw

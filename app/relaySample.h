#pragma once

#include "core.h"
#include "counts.h"

#include <cstddef>
#include <string>
#include <vector>

namespace gw {

// Every tunnel the relay runs, the static ones first. What the service manager's status
// line and the metrics tell is counted through this one walk, so the two never disagree.
template <typename TVisit>
void VisitTunnels(TCore& core, TVisit&& visit) {
  TConfig& config = core.Config();
  for (int i = 0; i < config.Count(); ++i) visit(static_cast<const TServer&>(config.Items(i)));
  for (const auto& tunnel : core.Manager().Temporaries()) visit(static_cast<const TServer&>(*tunnel));
}

// One tunnel's figures, copied on the loop's thread so that another thread may read them.
struct TTunnelSample {
  int ListenPort = 0;
  // "host:port", as the settings or the remote command named it.
  std::string Server;
  bool Temporary = false;
  bool Listening = false;
  // Relays its server answered, in use now.
  int Relays = 0;
  TRelayCounts Traffic;
  TTunnelCounts Counts;
  // Told only where heartbeats watch the server (THeartbeats::Watching).
  bool Watched = false;
  bool ServerAnswering = false;
  bool Announced = false;
};

// A master server of the settings and the heartbeats every tunnel sent it.
struct TMasterSample {
  // "host:port", as the settings name it.
  std::string Master;
  uint64_t Heartbeats = 0;
};

// The running relay's figures at one moment.
struct TRelaySample {
  std::vector<TTunnelSample> Tunnels;
  std::vector<TMasterSample> Masters;
  // Relays of every tunnel whose server has not answered yet.
  std::size_t Trials = 0;
};

// Runs on the loop's thread; costs a walk over the tunnels and their relays.
TRelaySample TakeSample(TCore& core);

} // namespace gw

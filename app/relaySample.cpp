#include "relaySample.h"

namespace gw {

TRelaySample TakeSample(TCore& core) {
  TRelaySample sample;
  sample.Trials = core.Admission().Trials();
  VisitTunnels(core, [&](const TServer& tunnel) {
    const THeartbeats& heartbeats = tunnel.Heartbeats();
    sample.Tunnels.push_back({tunnel.ListenPort, tunnel.ServerHost + ":" + std::to_string(tunnel.ServerPort),
                              tunnel.Temporary, tunnel.Listening(), tunnel.ClientCount(), tunnel.Traffic(),
                              tunnel.Counts(), heartbeats.Watching(), heartbeats.ServerAnswering(),
                              heartbeats.Announced()});
  });
  for (const auto& master : core.Masters()->List()) sample.Masters.push_back({master->Describe(), master->Heartbeats});
  return sample;
}

} // namespace gw

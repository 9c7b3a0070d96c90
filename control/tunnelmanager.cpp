#include "tunnelmanager.h"

#include "config.h"
#include "frontEnd.h"
#include "localAddress.h"
#include "masters.h"
#include "remoteListener.h"
#include "presenter.h"
#include "remotecontrol.h"
#include "socketErrors.h"
#include "textUtil.h"
#include "uvHandle.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace gw {

namespace {

constexpr int kNoError = 0;

// Whether a UDP socket can be bound to `port` right now: 0, or the errno of the failure.
// Asked before a tunnel starts, so that ports taken by other programs are passed over
// without a failed tunnel and its error lines for each.
int ProbeUdpPort(int port) {
  TFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!fd.Valid()) return errno;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<uint16_t>(port));
  return ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? kNoError : errno;
}

// A host given as a number ("127.0.0.1", "127.1", "2130706433": whatever the system's
// lookup reads as one) that names this machine, or "localhost" and the names under it,
// which always name the loopback. Other names are not looked up here: a temporary tunnel
// whose name turns out to lead here closes itself once the answer comes.
bool IsLocalHost(const std::string& host, TTime now) {
  std::string name = LowerAZ(host);
  if (name.ends_with('.')) name.pop_back();
  if (name == "localhost" || name.ends_with(".localhost")) return true;
  in_addr address{};
  return inet_aton(host.c_str(), &address) != 0 && IsLocalAddress(address.s_addr, now);
}

} // namespace

TTunnelManager::TTunnelManager(TEngineContext& engine, TConfig& config, TFrontEnd& frontEnd)
    : engine_(engine), config_(config), frontEnd_(frontEnd) {}

void TTunnelManager::StartUp() {
  TempTunnels.clear();
  NextTempPort = config_.FromPort;
  frontEnd_.SetCaption("Gatewarden 3.0");
  ApplyListenerSettings(frontEnd_.RemoteListener(), config_);
  if (frontEnd_.RemoteListener().Active())
    if (const char* guessable = config_.GuessablePassword())
      AddLog(std::string("Remote control password is ") + guessable + ": anyone can make tunnels");
  Reload();
}

void TTunnelManager::Reload(TReloaded reloaded) {
  tunnelsStarted_ = true;
  // A tunnel that serves on goes on with the masters of the settings from its next
  // heartbeat; one that starts again announces itself afresh.
  if (TMasters* masters = engine_.Masters()) masters->Configure(config_.Masters);
  frontEnd_.RefreshTunnelList();
  // A tunnel that serves on keeps its endpoints: its players lose no datagram. Every other
  // port is let go before any is bound again, so tunnels that swapped ports both get their
  // new one.
  std::ranges::move(reloaded.Departed, std::back_inserter(departing_));
  pendingStarts_.clear();
  for (int i = config_.Count() - 1; i >= 0; --i) {
    TServer& tunnel = config_.Items(i);
    if (tunnel.Listening() && reloaded.Serving.contains(&tunnel)) continue;
    tunnel.CloseEndpoints();
    pendingStarts_.push_back(&tunnel);
  }
  ContinueReload();
}

void TTunnelManager::ContinueReload() {
  std::size_t steps = 0;
  for (; steps < kChangesPerTurn && !departing_.empty(); ++steps) departing_.pop_back();
  if (departing_.empty() && !pendingStarts_.empty()) {
    // Between turns the list may have lost tunnels (the desktop's Delete): only those still
    // in it are started.
    std::unordered_set<const TServer*> listed;
    listed.reserve(config_.Count());
    for (int i = 0; i < config_.Count(); ++i) listed.insert(&config_.Items(i));
    for (; steps < kChangesPerTurn && !pendingStarts_.empty(); ++steps) {
      TServer* const tunnel = pendingStarts_.back();
      pendingStarts_.pop_back();
      if (listed.contains(tunnel)) tunnel->Start();
    }
  }
  if (departing_.empty() && pendingStarts_.empty()) return;
  if (!reloadTimer_) reloadTimer_ = MakeTimer(engine_.Loop(), this);
  // A millisecond on, so that the sockets are served in between: a timer due at once would
  // run again in the same turn (libuv 1.44).
  constexpr uint64_t kPauseMs = 1;
  uv_timer_start(
      reloadTimer_.get(),
      [](uv_timer_t* handle) {
        auto* self = static_cast<TTunnelManager*>(handle->data);
        RunGuarded([self] { self->ContinueReload(); });
      },
      kPauseMs, 0);
}

void TTunnelManager::Sweep() {
  // A temporary tunnel's idle relays close as a static one's do: otherwise anyone its
  // server answers once would hold a descriptor and a port for the tunnel's life.
  for (int i = 0; i < config_.Count(); ++i) config_.Items(i).SweepClients();
  for (const auto& tunnel : TempTunnels) tunnel->SweepClients();

  // One pass, whatever the number expired; the list is settled before the first line,
  // which refreshes the window's counts.
  const auto firstExpired = std::stable_partition(TempTunnels.begin(), TempTunnels.end(),
                                                  [](const auto& tunnel) { return !tunnel->IsExpired(); });
  std::vector<std::unique_ptr<TServer>> expired(std::make_move_iterator(firstExpired),
                                                std::make_move_iterator(TempTunnels.end()));
  TempTunnels.erase(firstExpired, TempTunnels.end());
  TellRangeShortage();
  for (auto& tunnel : expired) {
    const std::string description = tunnel->Describe();
    tunnel.reset();
    AddLog("Temporary tunnel on " + description + " closed");
  }

  if (OnSweep) OnSweep();
}

bool TTunnelManager::IsOwnPort(int port) const {
  port &= 0xFFFF;
  if (TudpSocket::IsOwnPort(port) || port == frontEnd_.RemoteListener().LocalPort()) return true;
  for (int i = 0; i < config_.Count(); ++i) {
    const int listenPort = config_.Items(i).ListenPort & 0xFFFF;
    if (port == listenPort || (config_.AddPort && port == listenPort + 1)) return true;
  }
  return false;
}

void TTunnelManager::StepTempPort() {
  // Past ToPort the counter wraps to FromPort; compared before stepping, so the counter
  // never overflows at the top of the integer range.
  NextTempPort = NextTempPort >= config_.ToPort ? config_.FromPort : NextTempPort + 1;
}

TCreateResult TTunnelManager::CreateTemporaryTunnel(const std::string& host, int port) {
  const bool localTarget = IsLocalHost(host, engine_.Now());
  if (localTarget && IsOwnPort(port)) return {0, "Port of this relay"};

  // The counter visits every port of the range once at most.
  const int64_t rangeSize = RangeSize();
  if (static_cast<int64_t>(TempTunnels.size()) >= rangeSize) return {0, "No free port"};
  const int64_t tries = std::min<int64_t>(rangeSize, 65536);

  for (int64_t i = 0; i < tries; ++i) {
    const int candidate = NextTempPort;
    if (candidate < 1 || candidate > 65535 || TudpSocket::IsOwnPort(candidate)) {
      StepTempPort();
      continue;
    }
    if (const int err = ProbeUdpPort(candidate); err != kNoError) {
      StepTempPort();
      // Out of descriptors or memory, every other port would fail the same way.
      if (err != EADDRINUSE && err != EACCES) return {0, ErrorText(SocketErrorFromErrno(err))};
      continue;
    }
    if (localTarget && (port & 0xFFFF) == candidate) return {0, "Port of this relay"};

    auto tunnel = std::make_unique<TServer>(engine_);
    tunnel->ListenPort = candidate;
    tunnel->ServerPort = port;
    tunnel->ServerHost = host;
    tunnel->Temporary = true;
    TServer& started = *tunnel;
    TempTunnels.push_back(std::move(tunnel));
    started.Start();
    StepTempPort();
    if (started.Listening()) {
      TellRangeShortage();
      return {candidate, {}};
    }
    // Taken between the probe and the start (its failure is logged): not kept.
    TempTunnels.pop_back();
  }
  return {0, "No free port"};
}

int64_t TTunnelManager::RangeSize() const {
  return config_.ToPort < config_.FromPort ? 1 : int64_t{config_.ToPort} - config_.FromPort + 1;
}

void TTunnelManager::TellRangeShortage() {
  const int64_t free = RangeSize() - static_cast<int64_t>(TempTunnels.size());
  engine_.Admission().Room().SetTemporaryRangeShort(free * kRangeShortWhenFreeBelowOneIn < RangeSize());
}

void TTunnelManager::AddLog(const std::string& text) {
  frontEnd_.AppendLog(text);
  // Until the static tunnels have been started, the list shows none of them: rows would
  // tell of tunnels that do not listen.
  if (tunnelsStarted_) frontEnd_.RefreshTunnelList();
}

} // namespace gw

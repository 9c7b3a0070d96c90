#include "server.h"

#include "socketLog.h"

#include <algorithm>
#include <iterator>

namespace gw {

namespace {
constexpr int kTunnelReceiveBufferBytes = 4 << 20;
} // namespace

TServer::TServer(TEngineContext& context) : context_(context) {}

// The endpoints go first, then the relays, without log lines.
TServer::~TServer() {
  GameSocket.reset();
  QuerySocket.reset();
}

void TServer::Start() {
  GameSocket.reset();
  QuerySocket.reset();
  GameSocket = OpenEndpoint(ListenPort);
  if (context_.AddPort() && !Temporary) QuerySocket = OpenEndpoint(ListenPort + 1);
  LastActivity = context_.Now();
  // Written whether or not the binds succeeded: a failed bind has been logged already.
  context_.AddLog("Tunnel open on " + Describe());
}

std::unique_ptr<TudpSocket> TServer::OpenEndpoint(int port) {
  auto socket = std::make_unique<TudpSocket>(context_.Loop());
  socket->OnReceive = [this](TudpSocket& sender, std::span<const char> data, const TPeerAddress& from) {
    HandleReceive(sender, data, from);
  };
  socket->OnError = [this](const std::string& msg, int num) { LogSocketError(context_, msg, num); };
  socket->Port = port;
  // Every client of the tunnel arrives here: a burst from a thousand of them must queue
  // rather than be dropped while relays are made.
  socket->ReceiveBufferBytes = kTunnelReceiveBufferBytes;
  socket->Open();
  return socket;
}

void TServer::HandleReceive(TudpSocket& sender, std::span<const char> data, const TPeerAddress& from) {
  if (from.Port == 0) return;
  const auto found = clientsByAddress_.find(from.Key());
  TClient& relay = found != clientsByAddress_.end() ? *found->second : AddClient(sender, from);
  // One clock read serves the relay and the tunnel.
  const TTime now = context_.Now();
  relay.Forward(data, now);
  LastActivity = now;
}

TClient& TServer::AddClient(const TudpSocket& sender, const TPeerAddress& from) {
  const bool query = &sender == QuerySocket.get();
  auto relay = std::make_unique<TClient>(context_, from, ServerHost, query ? ServerPort + 1 : ServerPort,
                                         query ? QuerySocket : GameSocket, query, ListenPort);
  TClient& added = *relay;
  clientsByAddress_.emplace(from.Key(), &added);
  clients_.push_back(std::move(relay));
  context_.AddLog((query ? "Got query connection from " : "Got connection from ") + added.Describe());
  return added;
}

void TServer::SweepClients() {
  // The table is settled before the first line is logged, so whatever the log sink reads
  // (the window shows connection counts) sees a consistent table. Lines keep table order.
  const auto firstExpired = std::stable_partition(
      clients_.begin(), clients_.end(), [](const std::unique_ptr<TClient>& relay) { return !relay->IsExpired(); });
  std::vector<std::unique_ptr<TClient>> expired(std::make_move_iterator(firstExpired),
                                                std::make_move_iterator(clients_.end()));
  clients_.erase(firstExpired, clients_.end());
  for (const auto& relay : expired) clientsByAddress_.erase(relay->Peer.Key());

  for (auto& relay : expired) {
    const std::string description = relay->Describe();
    relay.reset();
    context_.AddLog("Closed connection from " + description);
  }
}

bool TServer::IsExpired() const {
  return IdleLongerThan(context_.Now(), LastActivity, kTemporaryTunnelIdleLimit);
}

std::string TServer::Describe() const {
  return std::to_string(ListenPort) + " to " + ServerHost + ":" + std::to_string(ServerPort);
}

} // namespace gw

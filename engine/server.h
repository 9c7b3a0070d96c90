#pragma once

#include "clientconn.h"
#include "context.h"
#include "udpSocket.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace gw {

// One tunnel: a game endpoint on ListenPort and, for a static tunnel when the query port is
// enabled, a query endpoint on ListenPort + 1. Every client address that sends gets its own
// relay (TClient), kept in one table for both endpoints.
class TServer {
public:
  explicit TServer(TEngineContext& context);
  ~TServer();
  TServer(const TServer&) = delete;
  TServer& operator=(const TServer&) = delete;

  // (Re)creates and opens the endpoints and logs "Tunnel open on ...". Relays already in the
  // table stay and answer through the new endpoints.
  void Start();
  // Removes the relays whose client has been silent for more than 12 s, each with its line.
  void SweepClients();
  // No client has sent for more than 60 s.
  bool IsExpired() const;
  // The game endpoint is bound and receiving.
  bool Listening() const { return GameSocket && GameSocket->Active(); }
  int ClientCount() const { return static_cast<int>(clients_.size()); }
  // "listen-port to server-host:server-port"
  std::string Describe() const;

  int ListenPort = 0;
  std::string ServerHost;
  int ServerPort = 0;
  bool Temporary = false;
  TTime LastActivity{};

private:
  void HandleReceive(TudpSocket& sender, std::span<const char> data, const TPeerAddress& from);
  std::unique_ptr<TudpSocket> OpenEndpoint(int port);
  TClient& AddClient(const TudpSocket& sender, const TPeerAddress& from);

  TEngineContext& context_;
  std::unique_ptr<TudpSocket> GameSocket;
  std::unique_ptr<TudpSocket> QuerySocket;
  // The relays in order of creation, and the same relays by client address.
  std::vector<std::unique_ptr<TClient>> clients_;
  std::unordered_map<uint64_t, TClient*> clientsByAddress_;
};

} // namespace gw

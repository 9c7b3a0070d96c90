#pragma once

#include "context.h"
#include "hostAbout.h"
#include "udpSocket.h"

#include <memory>
#include <span>
#include <string>

namespace gw {

// One client address of one tunnel. It owns an outgoing endpoint on a port the system picks,
// aimed at the game server, so the server sees one stable peer per client. Whatever arrives
// on that endpoint goes back to the client through the tunnel endpoint the client first
// arrived on (for the query endpoint, rewritten first).
class TClient {
public:
  // `replySocket` is the tunnel's own field for that endpoint, not the endpoint itself: when
  // the tunnel restarts and replaces its endpoints, the relay follows, and it never sends
  // through one that has been released.
  TClient(TEngineContext& context, const TPeerAddress& peer, std::string serverHost, int serverPort,
          const std::unique_ptr<TudpSocket>& replySocket, bool isQuery, int listenPort);

  // Sends the client's datagram to the server and notes the client as active at `now`.
  void Forward(std::span<const char> data, TTime now);
  // "client-ip:port -> server-host:port"
  std::string Describe() const;
  // More than 12 s since the client last sent.
  bool IsExpired() const;

  const std::string PeerIP;
  const TPeerAddress Peer;
  const int ListenPort;
  const std::string ServerHost;
  const int ServerPort;
  const bool IsQuery;
  TTime LastActivity;

private:
  void HandleReply(std::span<const char> data, const TPeerAddress& from);

  TEngineContext& context_;
  const std::unique_ptr<TudpSocket>& replySocket_;
  TudpSocket UpstreamSocket;
  // Query replies are rewritten here; reserved once so that rewriting never allocates.
  std::string queryReply_;
};

} // namespace gw

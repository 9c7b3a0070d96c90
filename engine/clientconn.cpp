#include "clientconn.h"

#include "queryReply.h"
#include "socketLog.h"

namespace gw {

TClient::TClient(TEngineContext& context, const TPeerAddress& peer, std::string serverHost,
                 int serverPort, const std::unique_ptr<TudpSocket>& replySocket, bool isQuery,
                 int listenPort)
    : PeerIP(DottedText(peer.Address)), Peer(peer), ListenPort(listenPort),
      ServerHost(std::move(serverHost)), ServerPort(serverPort), IsQuery(isQuery),
      context_(context), replySocket_(replySocket), UpstreamSocket(context.Loop()) {
  UpstreamSocket.OnReceive = [this](TudpSocket&, std::span<const char> data, const TPeerAddress& from) {
    HandleReply(data, from);
  };
  UpstreamSocket.OnError = [this](const std::string& msg, int num) { LogSocketError(context_, msg, num); };
  UpstreamSocket.Port = 0;
  UpstreamSocket.SetLocation(ServerHost);
  UpstreamSocket.SetSendPort(ServerPort);
  UpstreamSocket.Open();
  if (IsQuery) queryReply_.reserve(TudpSocket::kReceiveBufferSize + QueryReplyGrowth(ServerHost));
  LastActivity = context_.Now();
}

void TClient::Forward(std::span<const char> data, TTime now) {
  UpstreamSocket.SendBuffer(data);
  LastActivity = now;
}

std::string TClient::Describe() const {
  return PeerIP + ":" + std::to_string(Peer.Port) + " -> " + ServerHost + ":" + std::to_string(ServerPort);
}

bool TClient::IsExpired() const {
  return IdleLongerThan(context_.Now(), LastActivity, kRelayIdleLimit);
}

void TClient::HandleReply(std::span<const char> data, const TPeerAddress& from) {
  // The reply's source is not checked against the server: whatever arrives on the
  // outgoing endpoint belongs to this client. A port of 0 marks no real sender.
  if (from.Port == 0) return;
  // The tunnel restarted without this endpoint (the query port was turned off).
  if (!replySocket_) return;
  if (!IsQuery) {
    replySocket_->SendTo(Peer, data);
    return;
  }
  queryReply_.assign(data.data(), data.size());
  RewriteQueryReply(queryReply_, ServerHost, ListenPort);
  replySocket_->SendTo(Peer, queryReply_);
}

} // namespace gw

#include "clientconn.h"

#include "queryReply.h"
#include "socketLog.h"

#include <algorithm>

namespace gw {

TClient::TClient(TEngineContext& context, const TPeerAddress& peer, std::string serverHost, int serverPort,
                 const uint32_t& serverAddress, uint32_t localAddress, const std::unique_ptr<TudpSocket>& replySocket,
                 bool isQuery, int listenPort, TTunnelCounts& tunnelCounts, TudpSocket::TerrorProc onOpenFailure)
    : PeerIP(DottedText(peer.Address)), Peer(peer), ListenPort(listenPort),
      ServerHost(std::move(serverHost)), ServerPort(serverPort), IsQuery(isQuery), Since(context.Now()), LastActivity(Since),
      context_(context), tunnelCounts_(tunnelCounts), serverAddress_(serverAddress), replySocket_(replySocket), errors_(context),
      UpstreamSocket(context.Loop()) {
  UpstreamSocket.OnReceive = [this](TudpSocket&, std::span<const char> data, const TPeerAddress& from) {
    HandleReply(data, from);
  };
  UpstreamSocket.OnError = std::move(onOpenFailure);
  UpstreamSocket.Port = 0;
  // Not connected, so that the server's other ports reach it too: bound to the one address
  // it sends from, it owns its port there only, as a connected endpoint would.
  UpstreamSocket.BindAddress = localAddress;
  // Relays are made for whoever sends: they must leave descriptors for the players and
  // the remote control already served.
  UpstreamSocket.KeepDescriptorReserve = true;
  UpstreamSocket.Open();
  if (!Opened()) return;
  UpstreamSocket.OnError = [this](const std::string& msg, int num) {
    if (num == kMessageTooLong) tunnelCounts_.Dropped.Add(TDrop::TooLong);
    LogSocketError(errors_, msg, num);
  };
  ConnectUpstream(LastActivity);
  if (IsQuery) queryReply_.reserve(TudpSocket::kReceiveBufferSize + QueryReplyGrowth(ServerHost));
}

bool TClient::ConnectUpstream(TTime now) {
  if (now < nextConnect_) return false;
  nextConnect_ = now + kRetryInterval;
  if (serverAddress_ == 0) {
    UpstreamSocket.ReportError(kAddressNotAvailable);
    return false;
  }
  connectedAddress_ = serverAddress_;
  return true;
}

TClient::~TClient() {
  KernelPath.reset();
  if (Established()) context_.Admission().Room().LeftEstablished(Peer.Address);
}

bool TClient::Forward(std::span<const char> data, TTime now) {
  LastActivity = now;
  Place.Touch(now);
  if (KernelPath) KernelPath->RenewFromClient(now);
  if (IsQuery) {
    if (!context_.Admission().QueryBudget().Spend(Peer, now)) {
      tunnelCounts_.Dropped.Add(TDrop::QueryBudget);
      return false;
    }
  } else if (stage_ == TStage::Trial && !trialForwards_.Allow(now)) {
    tunnelCounts_.Dropped.Add(TDrop::TrialLimit);
    return true;
  }
  // Until the server's address is known and the endpoint connected, datagrams are dropped;
  // the failure was reported when it was last tried.
  if (!Connected() && !ConnectUpstream(now)) {
    tunnelCounts_.Dropped.Add(TDrop::ServerUnknown);
    return true;
  }
  Counts.ToServer.Add(data.size());
  if (UpstreamSocket.Connected())
    UpstreamSocket.SendBuffer(data);
  else
    UpstreamSocket.SendTo(UpstreamPeer(), data);
  return true;
}

TRelayCounts TClient::CarriedInKernel() const {
  TRelayCounts carried = carriedBefore_;
  if (KernelPath) carried += KernelPath->Carried();
  return carried;
}

TRelayCounts TClient::Traffic() const {
  TRelayCounts traffic = Counts;
  traffic += CarriedInKernel();
  return traffic;
}

void TClient::LeaveKernel() {
  if (!KernelPath) return;
  carriedBefore_ += KernelPath->CarriedNow();
  KernelPath.reset();
}

std::string TClient::Describe() const {
  return PeerIP + ":" + std::to_string(Peer.Port) + " -> " + ServerHost + ":" + std::to_string(ServerPort);
}

bool TClient::IsExpired(TTime now, bool tight, bool temporary) const {
  if (temporary && !tight) return false;
  const std::chrono::seconds limit = !tight                ? TEngineLimits::kRelayIdleLimit
                                     : stage_ == TStage::Trial ? TAdmissionLimits::kTrialLifetime
                                     : IsQuery                 ? TAdmissionLimits::kQueryRelayLifetime
                                                               : TEngineLimits::kRelayIdleLimit;
  return IdleLongerThan(now, LastActivity, limit);
}

void TClient::MarkPace(TTime now) {
  paceAt_ = now;
  paceMark_ = Traffic();
}

TClient::TPace TClient::LookAtPace(TTime now) {
  if (stage_ == TStage::Trial || IsQuery) return TPace::Unchanged;
  const auto window = now - paceAt_;
  if (window < TAdmissionLimits::kEstablishAfter) return TPace::Unchanged;
  const TRelayCounts traffic = Traffic();
  const uint64_t fromClient = traffic.ToServer.Datagrams - paceMark_.ToServer.Datagrams;
  const uint64_t fromServer = traffic.ToClient.Datagrams - paceMark_.ToClient.Datagrams;
  if (stage_ == TStage::Answered) {
    if (fromClient >= TAdmissionLimits::kEstablishClientDatagrams &&
        fromServer >= TAdmissionLimits::kEstablishServerDatagrams) {
      MarkPace(now);
      return TPace::Exchanging;
    }
    // A client that sends slowly never gathers its count over a long time.
    if (window >= TAdmissionLimits::kPaceWindow) MarkPace(now);
    return TPace::Unchanged;
  }
  if (window < TAdmissionLimits::kPaceWindow) return TPace::Unchanged;
  MarkPace(now);
  return fromClient >= TAdmissionLimits::kPaceClientDatagrams ? TPace::KeptPace : TPace::Behind;
}

void TClient::Establish() {
  stage_ = TStage::Established;
  Place.Leave();
  context_.Admission().Room().Established(Peer.Address);
}

void TClient::LoseEstablished(TTime now) {
  stage_ = TStage::Answered;
  context_.Admission().Room().LeftEstablished(Peer.Address);
  MarkPace(now);
}

bool TClient::BusierThanAPlayer(TTime now) {
  if (now <= lookedAtTime_) return false;
  const double seconds = std::chrono::duration<double>(now - std::exchange(lookedAtTime_, now)).count();
  const TRelayCounts before = std::exchange(lookedAt_, Traffic());
  const double limit = std::max(seconds * TAdmissionLimits::kMostPlayerDatagramsPerSecond,
                                static_cast<double>(TAdmissionLimits::kFewestLoopDatagrams));
  return static_cast<double>(lookedAt_.ToServer.Datagrams - before.ToServer.Datagrams) > limit &&
         static_cast<double>(lookedAt_.ToClient.Datagrams - before.ToClient.Datagrams) > limit;
}

void TClient::HandleReply(std::span<const char> data, const TPeerAddress& from) {
  if (from.Address != connectedAddress_ || connectedAddress_ == 0) {
    tunnelCounts_.Dropped.Add(TDrop::NotTheServer);
    if (OnStranger) OnStranger(from);
    return;
  }
  if (from.Port != static_cast<uint16_t>(ServerPort))
    otherPortSeen_ = true;
  else if (!IsQuery && !otherPortSeen_ && !UpstreamSocket.Connected() &&
           ++repliesFromServerPort_ == TEngineLimits::kConnectAfterServerReplies)
    UpstreamSocket.Connect(UpstreamPeer());
  if (stage_ == TStage::Trial) {
    stage_ = TStage::Answered;
    MarkPace(context_.Now());
    if (OnAnswered) OnAnswered(*this);
  }
  // The tunnel restarted without this endpoint (the query port was turned off).
  if (!replySocket_) return;
  if (KernelPath) KernelPath->RenewFromServer(context_.Now());
  if (!IsQuery) {
    Counts.ToClient.Add(data.size());
    replySocket_->SendTo(Peer, data);
    return;
  }
  queryReply_.assign(data.data(), data.size());
  RewriteQueryReply(queryReply_, ServerHost, ListenPort);
  Counts.ToClient.Add(queryReply_.size());
  context_.Admission().QueryBudget().Replied(queryReply_.size(), context_.Now());
  replySocket_->SendTo(Peer, queryReply_);
}

} // namespace gw

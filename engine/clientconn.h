#pragma once

#include "admission.h"
#include "context.h"
#include "counts.h"
#include "fastPath.h"
#include "hostAbout.h"
#include "repeatedLog.h"
#include "udpSocket.h"

#include <functional>
#include <list>
#include <memory>
#include <span>
#include <string>

namespace gw {

// One client address of one tunnel. It owns an outgoing endpoint on a port the system picks,
// aimed at the game server, so the server sees one stable peer per client. Whatever arrives
// on that endpoint from the server's address, from any of its ports (a server may answer
// from another socket than the one it was sent to), goes back to the client through the
// tunnel endpoint the client first arrived on (for the query endpoint, rewritten first);
// nobody else can answer in the server's name.
class TClient {
public:
  // `replySocket` is the tunnel's own field for that endpoint, not the endpoint itself: when
  // the tunnel restarts and replaces its endpoints, the relay follows, and it never sends
  // through one that has been released. `serverAddress` is the tunnel's answer for its
  // server's name, also followed: a relay made while the name did not resolve takes the
  // address once there is one. `localAddress` is the one this host sends from towards the
  // server (0: any). A failure to open the outgoing endpoint goes to `onOpenFailure`, since
  // such a relay is not kept to report it. Datagrams it drops are counted in `tunnelCounts`.
  TClient(TEngineContext& context, const TPeerAddress& peer, std::string serverHost, int serverPort,
          const uint32_t& serverAddress, uint32_t localAddress, const std::unique_ptr<TudpSocket>& replySocket,
          bool isQuery, int listenPort, TTunnelCounts& tunnelCounts, TudpSocket::TerrorProc onOpenFailure);
  // The kernel stops carrying the client before the upstream port is let go.
  ~TClient();
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  // False when the outgoing endpoint could not be opened; such a relay is not kept.
  bool Opened() const { return UpstreamSocket.Active(); }
  // The outgoing endpoint is aimed at the server's address.
  bool Connected() const { return connectedAddress_ != 0; }
  // Where the outgoing endpoint sends from and to, once connected.
  int UpstreamPort() const { return UpstreamSocket.LocalPort(); }
  TPeerAddress UpstreamPeer() const { return {connectedAddress_, static_cast<uint16_t>(ServerPort)}; }
  // Sends the client's datagram to the server and notes the client as active at `now`.
  // Until the server has answered a game relay, only the first few datagrams of each
  // second go; a query goes within the query budgets of the client's address. False when
  // the budgets dropped a query, which the tunnel tells.
  bool Forward(std::span<const char> data, TTime now);
  // The stage of admission the relay has reached (TAdmissionLimits).
  enum class TStage { Trial, Answered, Established };
  TStage Stage() const { return stage_; }
  // The server has sent something back: the relay is no longer a trial.
  bool Answered() const { return stage_ != TStage::Trial; }
  bool Established() const { return stage_ == TStage::Established; }
  // What a look at its client's pace found, a window at a time (TAdmissionLimits): an
  // answered game relay whose client kept up a two-way exchange for a second may be
  // established; an established one whose client fell below a player's pace may lose it.
  enum class TPace { Unchanged, Exchanging, KeptPace, Behind };
  TPace LookAtPace(TTime now);
  // It leaves the relays that make room, or, at `now`, enters them again as answered.
  void Establish();
  void LoseEstablished(TTime now);
  // Since the last call, or since it was made, it exchanged more datagrams a second both
  // ways than a game client does, and more than a burst (TAdmissionLimits::
  // kFewestLoopDatagrams); what the kernel carried as of its last reading included.
  bool BusierThanAPlayer(TTime now);
  // "client-ip:port -> server-host:port"
  std::string Describe() const;
  // Its client has been silent for longer than its stage allows: 12 s for a relay, less
  // for a trial or a query relay while room is short (`tight`); never, while there is room,
  // for a relay of a temporary tunnel, which lives as long as its tunnel.
  bool IsExpired(TTime now, bool tight, bool temporary) const;

  const std::string PeerIP;
  const TPeerAddress Peer;
  const int ListenPort;
  const std::string ServerHost;
  const int ServerPort;
  const bool IsQuery;
  // When the relay was made.
  const TTime Since;
  TTime LastActivity;
  // What it relayed through its sockets.
  TRelayCounts Counts;
  // What the kernel carried of it, and all it relayed, the same figures whichever path
  // carried a datagram.
  TRelayCounts CarriedInKernel() const;
  TRelayCounts Traffic() const;
  // Raised once, at the server's first datagram, before it goes to the client.
  std::function<void(TClient& relay)> OnAnswered;
  // Raised for a datagram at the upstream port from another address than the server's,
  // which is dropped (and counted).
  std::function<void(const TPeerAddress& from)> OnStranger;
  // The relay's entries in the kernel's fast path, while it carries this client's datagrams.
  std::unique_ptr<TFastPathRelay> KernelPath;
  // Takes the client back to the sockets, keeping the kernel's counts.
  void LeaveKernel();
  // Its place among the relays that are not established, while it is one.
  TProvisionalPlace Place;
  // Its entry in its tunnel's table, once answered: the tunnel's to use.
  std::list<std::unique_ptr<TClient>>::iterator TableEntry;

private:
  // Connects the outgoing endpoint to the server, at most once per kRetryInterval.
  bool ConnectUpstream(TTime now);
  void HandleReply(std::span<const char> data, const TPeerAddress& from);
  // A new window of the pace from `now`.
  void MarkPace(TTime now);

  static constexpr std::chrono::seconds kRetryInterval{1};

  TEngineContext& context_;
  TTunnelCounts& tunnelCounts_;
  const uint32_t& serverAddress_;
  const std::unique_ptr<TudpSocket>& replySocket_;
  TRepeatedLog errors_;
  TudpSocket UpstreamSocket;
  TTime nextConnect_{};
  uint32_t connectedAddress_ = 0;
  // Whether the server answered from another port than the one it is sent to, and how often
  // it answered from that port: a game relay's endpoint is connected to the port once it has
  // answered there a few times and never elsewhere (TEngineLimits::kConnectAfterServerReplies).
  bool otherPortSeen_ = false;
  int repliesFromServerPort_ = 0;
  TStage stage_ = TStage::Trial;
  // Where the current window of its pace began, and its traffic then.
  TTime paceAt_{};
  TRelayCounts paceMark_;
  // Its traffic at the last look of BusierThanAPlayer; none at its making.
  TRelayCounts lookedAt_;
  TTime lookedAtTime_ = Since;
  // What the kernel carried while the relay was handed to it before.
  TRelayCounts carriedBefore_;
  TTrialForwards trialForwards_;
  // Query replies are rewritten here; reserved once so that rewriting never allocates.
  std::string queryReply_;
};

} // namespace gw

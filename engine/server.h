#pragma once

#include "admission.h"
#include "clientconn.h"
#include "context.h"
#include "heartbeats.h"
#include "loopSources.h"
#include "nameLookup.h"
#include "repeatedLog.h"
#include "tunnelFastPath.h"
#include "udpSocket.h"
#include "uvHandle.h"

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace gw {

// One tunnel: a game endpoint on ListenPort and, for a static tunnel when the query port is
// enabled, a query endpoint on ListenPort + 1. Every client address that sends gets its own
// relay (TClient), kept in one table for both endpoints. A relay is a trial until its server
// answers (see TAdmission): it is told in the log and counted from then on, and never made
// to make room once established.
class TServer final : private TRelayOwner {
public:
  explicit TServer(TEngineContext& context);
  ~TServer();
  TServer(const TServer&) = delete;
  TServer& operator=(const TServer&) = delete;

  // (Re)creates and opens the endpoints, starts resolving the server's name, and logs
  // "Tunnel open on ..." after any failure to bind. Relays already in the table stay and
  // answer through the new endpoints. The listen port, server host and server port take
  // effect here: until the next Start the tunnel serves the values of this one.
  void Start();
  // Closes the endpoints, so that another tunnel can bind their ports; Start opens them again.
  void CloseEndpoints();
  // Removes the relays whose client has been silent for longer than their stage allows,
  // each with its line (trials as a count, at most every few seconds), and establishes the
  // relays whose client kept up the exchange; a long table is looked at over several turns
  // of the loop (TEngineLimits::kRelaysPerSweepTurn).
  void SweepClients();
  // No client has sent for more than 60 s, through the sockets or the kernel's fast path
  // (as of the last sweep, which reads what the kernel carried), or, while room or the
  // temporary range runs short, no established one; or the server turned out to be a port
  // of this program.
  bool IsExpired() const;
  // The game endpoint is bound and receiving.
  bool Listening() const { return GameSocket && GameSocket->Active(); }
  // Relays whose server has answered; trials are not counted.
  int ClientCount() const { return static_cast<int>(clients_.size()); }
  // "listen-port to server-host:server-port"
  std::string Describe() const;
  // What the tunnel refused, dropped and closed, and what its gone relays carried.
  const TTunnelCounts& Counts() const { return counts_; }
  // Everything its relays carried, the gone and the live, trials included, whichever path
  // carried it; and of that what the kernel's fast path carried.
  TRelayCounts Traffic() const;
  TRelayCounts KernelTraffic() const;
  // The relays their servers answered, in that order: a list, so that one making room for a
  // newcomer leaves it at once, wherever it stands.
  using TTable = std::list<std::unique_ptr<TClient>>;
  const TTable& Relays() const { return clients_; }
  // What the tunnel told the master servers.
  const THeartbeats& Heartbeats() const { return heartbeats_; }

  int ListenPort = 0;
  std::string ServerHost;
  int ServerPort = 0;
  bool Temporary = false;
  TTime LastActivity{};

private:
  // The values a Start took, which the running tunnel serves.
  struct TTarget {
    int ListenPort = 0;
    std::string ServerHost;
    int ServerPort = 0;
  };
  void HandleReceive(TudpSocket& sender, std::span<const char> data, const TPeerAddress& from);
  std::unique_ptr<TudpSocket> OpenEndpoint(int port, TRepeatedLog& errors);
  // The one place where a new client address gets a relay, as a trial, or is refused; null
  // when none is made for it.
  TClient* AddClient(const TudpSocket& sender, const TPeerAddress& from, TTime now);
  // Counts and tells a refusal of a new client address.
  void Refuse(TRefusal cause, const TPeerAddress& from, bool query, TTime now);
  std::unique_ptr<TClient> MakeRelay(const TudpSocket& sender, const TPeerAddress& from);
  // Why a source must not get a relay, if it must not: it is the game server itself, or an
  // endpoint of this program (answering either would relay the tunnel's own datagrams back
  // into it), a service's port, or a source whose relay was just closed as a loop.
  std::optional<TRefusal> LoopRefusal(const TPeerAddress& from, TTime now) const;
  // The server's answer came: the trial becomes a relay of the table, told in the log.
  void Promote(TClient& relay);
  // A relay of this tunnel that is not established goes for a newcomer.
  void MakeRoomWith(TClient& relay) override;
  using TTrials = std::unordered_map<uint64_t, std::unique_ptr<TClient>>;
  TTrials::iterator EndTrial(TTrials::iterator trial, TClosing reason);
  void EndTrials(TTime now);
  // A relay's coming or going, told while the tunnel's and the process's lines allow and
  // counted in `untold` beyond; TellUntold writes the counts at most every few seconds.
  template <typename F>
  void TellConnection(F&& makeLine, uint64_t& untold, TTime now);
  void TellUntold(TTime now);
  // Looks at the relays from sweepNext_ on, as many as one turn of the loop may take: those
  // whose client kept up the exchange are established, those whose client fell below a
  // player's pace while room is short are answered again, those silent too long end, and
  // those that exchange more than a game client are closed as loops; the rest wait for the
  // next turn.
  void LookAtRelays();
  // The relay's client kept up the exchange, or fell behind, as the look at its pace found:
  // established, or answered again while the temporary range is short or the newcomers
  // lack descriptors (`lack`, which each relay answered again makes up by one).
  void FollowPace(TClient& relay, std::size_t& lack, TTime now);
  // The stricter rules hold for this tunnel now: something runs short (TRoom).
  bool Tight(TTime now) { return context_.Admission().Room().ShortFor(Temporary, now); }
  void Resolve(TTime now);
  // Looks the name up again when its answer is due for a refresh.
  void RefreshServerAddress(TTime now);
  // Takes the relay out of the look-ups and the kernel, its traffic into the tunnel's counts.
  void RemoveFromTable(TClient& relay, TClosing reason);
  // A temporary tunnel whose server is an endpoint of this program could only carry its
  // own datagrams back into itself.
  bool TargetsThisProgram(TTime now) const;

  TEngineContext& context_;
  std::unique_ptr<TudpSocket> GameSocket;
  std::unique_ptr<TudpSocket> QuerySocket;
  // Held while the query endpoint serves: the query budgets' bursts grow with such tunnels.
  std::optional<TQueryBudget::TQueryPort> queryPort_;
  TTarget running_;
  // The relays their servers answered, in that order; the trials; both by client address.
  TTable clients_;
  TTrials trials_;
  std::unordered_map<uint64_t, TClient*> clientsByAddress_;
  TAdmission admission_;
  TTunnelCounts counts_;
  // Trials ended unanswered (counts_) as of the last count told, and the lines of relays
  // coming and going that were counted rather than written.
  uint64_t trialsEnded_ = 0;
  uint64_t unansweredTold_ = 0;
  uint64_t untoldOpened_ = 0;
  uint64_t untoldClosed_ = 0;
  TTime summaryToldAt_{};

  // The server's address, network byte order; 0 until the name resolves. Relays follow it.
  uint32_t serverAddress_ = 0;
  // The local address this host sends from towards it, which relays bind; 0 for any.
  uint32_t localAddress_ = 0;
  bool resolved_ = false;
  bool targetsThisProgram_ = false;
  TTime resolvedAt_{};
  TNameLookup lookup_;
  // After the endpoints and the server's address, which it follows.
  THeartbeats heartbeats_;

  // An endpoint's errors are counted within its life; a new endpoint tells its own in full.
  TRepeatedLog gameErrors_;
  TRepeatedLog queryErrors_;
  TRepeatedLog refusals_;
  // The pace's refusals are counted in a log of their own: taking turns with another
  // refusal in one log would write a line at every turn, a line per datagram of a flood.
  // Those the kernel makes share its one key: they count in whichever line came first.
  TRepeatedLog paceRefusals_;
  // So are the queries the query port's budgets drop, the replies it does not relay and the
  // relays busier than players, for the same reason.
  TRepeatedLog queryBudget_;
  TRepeatedLog notAQuery_;
  TRepeatedLog overbusy_;
  // Sources refused as a service's port, and as a loop closed a moment ago.
  TRepeatedLog servicePorts_;
  TRepeatedLog loopRefusals_;
  TLoopSources loops_;
  // Datagrams at the relays' upstream ports from other addresses than the server's.
  TRepeatedLog strangers_;
  // The key of the refusal log that is not a socket error number.
  static constexpr int kTooManyFromAddress = -1;
  TTunnelFastPath fastPath_;
  // The relay the sweep looks at next; the table's end once it has looked at them all.
  TTable::iterator sweepNext_;
  TUvHandle<uv_timer_t> sweepRest_;
  struct {
    std::string Text;
    int Number = 0;
  } openFailure_;
};

// The port after `port`, wrapping like a 32-bit register at the top of the integer range
// instead of overflowing; the endpoint then reports the port as invalid.
int PortAfter(int port);

} // namespace gw

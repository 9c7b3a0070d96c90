#include "server.h"

#include "localAddress.h"
#include "presenter.h"
#include "queryReply.h"
#include "socketLog.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace gw {

namespace {
// A name that resolved is looked up again at most this often, in the background; one that
// did not, at most once a second, when a client sends.
constexpr std::chrono::seconds kRefreshResolved{60};
constexpr std::chrono::seconds kRetryUnresolved{1};

// The line of a new client address given no relay.
std::string RefusedLine(const TPeerAddress& from, const std::string& reason) {
  return "Refused connection from " + DottedText(from.Address) + ":" + std::to_string(from.Port) + ": " + reason;
}
} // namespace

int PortAfter(int port) { return static_cast<int>(static_cast<uint32_t>(port) + 1u); }

TServer::TServer(TEngineContext& context)
    : context_(context), admission_(context.Admission()), lookup_(context.Loop()),
      heartbeats_(context, QuerySocket, serverAddress_), gameErrors_(context), queryErrors_(context), refusals_(context),
      paceRefusals_(context), queryBudget_(context), notAQuery_(context), overbusy_(context), servicePorts_(context),
      loopRefusals_(context), strangers_(context),
      fastPath_(context, *this, counts_, paceRefusals_), sweepNext_(clients_.end()),
      sweepRest_(MakeTimer(context.Loop(), this)) {}

// The endpoints go first, then the relays, without log lines.
TServer::~TServer() { CloseEndpoints(); }

void TServer::Start() {
  CloseEndpoints();
  running_ = {ListenPort, ServerHost, ServerPort};
  gameErrors_.Restart();
  queryErrors_.Restart();
  GameSocket = OpenEndpoint(running_.ListenPort, gameErrors_);
  if (context_.AddPort() && !Temporary) QuerySocket = OpenEndpoint(PortAfter(running_.ListenPort), queryErrors_);
  if (QuerySocket && QuerySocket->Active()) queryPort_.emplace(context_.Admission().QueryBudget());
  LastActivity = context_.Now();
  // Until the answer comes, datagrams of new clients are dropped.
  resolved_ = false;
  serverAddress_ = 0;
  fastPath_.Restart();
  // Written whether or not the binds succeeded: a failed bind has been logged already.
  context_.AddLog("Tunnel open on " + Describe());
  Resolve(LastActivity);
  // Only a static tunnel's query port is announced to the masters.
  if (QuerySocket)
    heartbeats_.Start(PortAfter(running_.ListenPort), PortAfter(running_.ServerPort), Describe(), LastActivity);
}

void TServer::CloseEndpoints() {
  // The kernel must not answer on a port this tunnel no longer holds.
  heartbeats_.Stop();
  fastPath_.Stop();
  GameSocket.reset();
  QuerySocket.reset();
  queryPort_.reset();
}

std::unique_ptr<TudpSocket> TServer::OpenEndpoint(int port, TRepeatedLog& errors) {
  auto socket = std::make_unique<TudpSocket>(context_.Loop());
  socket->OnReceive = [this](TudpSocket& sender, std::span<const char> data, const TPeerAddress& from) {
    HandleReceive(sender, data, from);
  };
  socket->OnError = [this, &errors](const std::string& msg, int num) {
    if (num == kMessageTooLong) counts_.Dropped.Add(TDrop::TooLong);
    LogSocketError(errors, msg, num);
  };
  socket->Port = port;
  // Every client of the tunnel arrives here: a burst from a thousand of them must queue
  // rather than be dropped while relays are made.
  socket->ReceiveBufferBytes = TEngineLimits::kTunnelReceiveBufferBytes;
  socket->Open();
  return socket;
}

void TServer::Resolve(TTime now) {
  resolvedAt_ = now;
  lookup_.Start(running_.ServerHost, [this](uint32_t address) {
    // A refresh that fails keeps the address that worked.
    if (address != 0 || serverAddress_ == 0) serverAddress_ = address;
    localAddress_ = serverAddress_ ? TudpSocket::LocalAddressToward({serverAddress_, uint16_t(running_.ServerPort)}) : 0;
    resolved_ = true;
    if (!targetsThisProgram_ && TargetsThisProgram(context_.Now())) {
      targetsThisProgram_ = true;
      context_.AddLog("Refused temporary tunnel to " + running_.ServerHost + ":" + std::to_string(running_.ServerPort) +
                      " (Port of this relay)");
    }
    fastPath_.Tell(Listening() ? GameSocket->LocalPort() : 0, serverAddress_);
  });
}

bool TServer::TargetsThisProgram(TTime now) const {
  return Temporary && serverAddress_ != 0 && TudpSocket::IsOwnEndpoint(serverAddress_, running_.ServerPort & 0xFFFF) &&
         IsLocalAddress(serverAddress_, now);
}

void TServer::RefreshServerAddress(TTime now) {
  if (!lookup_.Running() && now - resolvedAt_ >= (serverAddress_ ? kRefreshResolved : kRetryUnresolved))
    Resolve(now);
}

void TServer::HandleReceive(TudpSocket& sender, std::span<const char> data, const TPeerAddress& from) {
  if (from.Port == 0) return;
  if (&sender == QuerySocket.get() && LooksLikeQueryReply({data.data(), data.size()})) {
    counts_.Dropped.Add(TDrop::NotAQuery);
    notAQuery_.Write(0, [&] {
      return "Dropped a reply from " + DottedText(from.Address) + ":" + std::to_string(from.Port) + " to the query port of " +
             Describe();
    });
    return;
  }
  // One clock read serves the relay and the tunnel.
  const TTime now = context_.Now();
  const auto found = clientsByAddress_.find(from.Key());
  TClient* relay = found != clientsByAddress_.end() ? found->second : AddClient(sender, from, now);
  if (!relay) return;
  // A relay still waiting for the server's address asks for it again through its datagrams.
  if (!relay->Connected()) RefreshServerAddress(now);
  if (!relay->Forward(data, now))
    queryBudget_.Write(0, [&] {
      return "Dropped queries from " + DottedText(from.Address) + " to the query port of " + Describe() +
             ": more than it answers towards one address or network";
    });
  // While room and the range of ports are plentiful, any client keeps a tunnel alive; once
  // they run short only an established player does: a stranger alone cannot, even one that
  // its server answers.
  if (relay->Established() || !Tight(now)) LastActivity = now;
}

TClient* TServer::AddClient(const TudpSocket& sender, const TPeerAddress& from, TTime now) {
  RefreshServerAddress(now);
  if (!resolved_) {
    counts_.Dropped.Add(TDrop::ServerUnknown);
    return nullptr;
  }
  const bool query = &sender == QuerySocket.get();
  const std::optional<TRefusal> loop = LoopRefusal(from, now);
  TVerdict verdict = loop ? TVerdict{false, *loop} : admission_.Decide(from, query, now);
  std::unique_ptr<TClient> relay;
  if (verdict.Admit) {
    relay = MakeRelay(sender, from);
    // Descriptors or ephemeral ports ran short: the least active relay not established
    // makes room, rather than the newcomer be refused.
    if (!relay->Opened()) {
      context_.Admission().Room().RanShort(now);
      if (context_.Admission().MakeRoom()) relay = MakeRelay(sender, from);
    }
    if (!relay->Opened()) {
      admission_.OpenFailed(now);
      verdict = {false, TRefusal::NoRoom};
    }
  }
  if (!verdict.Admit) {
    Refuse(verdict.Cause, from, query, now);
    return nullptr;
  }

  TClient& added = *relay;
  added.OnAnswered = [this](TClient& answered) { Promote(answered); };
  added.OnStranger = [this, &added](const TPeerAddress& stranger) {
    strangers_.Write(0, [&] {
      return "Dropped a datagram from " + DottedText(stranger.Address) + ":" + std::to_string(stranger.Port) +
             " to the upstream port of " + added.Describe() + ": not the server's address";
    });
  };
  // A master's relay made for the queries its heartbeat asked for never makes room: they are
  // what lists the tunnel.
  if (!query || !context_.Admission().QueryBudget().MasterMayQuery(from.Address, now))
    added.Place.Enter(context_.Admission(), query ? TProvisional::QueryTrial : TProvisional::GameTrial, *this, added, now);
  trials_.try_emplace(from.Key(), std::move(relay));
  clientsByAddress_.emplace(from.Key(), &added);
  admission_.Held(from, query);
  ++counts_.TrialsMade;
  return &added;
}

void TServer::Refuse(TRefusal cause, const TPeerAddress& from, bool query, TTime now) {
  counts_.Refused.Add(cause);
  switch (cause) {
    case TRefusal::TooManyFromAddress:
      refusals_.Write(kTooManyFromAddress,
                      [&] { return RefusedLine(from, "too many from " + DottedText(from.Address)); });
      break;
    case TRefusal::NoRoom: LogSocketError(refusals_, openFailure_.Text, openFailure_.Number); break;
    case TRefusal::TrialPace:
      paceRefusals_.Write(0, [&] {
        return RefusedLine(from, "more new clients than " + std::to_string(TAdmissionLimits::kNewTrialsPerSecond) +
                                     " a second");
      });
      if (!query) fastPath_.PaceRefused(now);
      break;
    case TRefusal::ServicePort:
      servicePorts_.Write(0, [&] { return RefusedLine(from, "a service's port, never a game client's"); });
      break;
    case TRefusal::Looped:
      loopRefusals_.Write(0, [&] { return RefusedLine(from, "its relay was closed as a loop a moment ago"); });
      break;
    // The server itself, or this program: its datagrams are the tunnel's own, not a client's.
    case TRefusal::LoopSource:
    case TRefusal::Count: break;
  }
}

std::unique_ptr<TClient> TServer::MakeRelay(const TudpSocket& sender, const TPeerAddress& from) {
  const bool query = &sender == QuerySocket.get();
  return std::make_unique<TClient>(
      context_, from, running_.ServerHost, query ? PortAfter(running_.ServerPort) : running_.ServerPort,
      serverAddress_, localAddress_, query ? QuerySocket : GameSocket, query, running_.ListenPort, counts_,
      [this](const std::string& msg, int num) { openFailure_ = {msg, num}; });
}

void TServer::Promote(TClient& relay) {
  const auto trial = trials_.find(relay.Peer.Key());
  std::unique_ptr<TClient> answered = std::move(trial->second);
  trials_.erase(trial);
  if (relay.Place.Listed()) {
    const TProvisional kind = relay.IsQuery ? TProvisional::QueryAnswered : TProvisional::GameAnswered;
    context_.Admission().MakeRoomFor(kind, context_.Now());
    relay.Place.Enter(context_.Admission(), kind, *this, relay, relay.LastActivity);
  }
  relay.TableEntry = clients_.insert(clients_.end(), std::move(answered));
  ++counts_.RelaysAnswered;
  if (relay.IsQuery) heartbeats_.ServerAnswered(context_.Now());
  TellConnection([&] { return (relay.IsQuery ? "Got query connection from " : "Got connection from ") + relay.Describe(); },
                 untoldOpened_, context_.Now());
  fastPath_.Carry(relay);
}

void TServer::MakeRoomWith(TClient& relay) {
  if (!relay.Answered()) {
    EndTrial(trials_.find(relay.Peer.Key()), TClosing::MadeRoom);
    return;
  }
  std::unique_ptr<TClient> gone = std::move(*relay.TableEntry);
  if (sweepNext_ == relay.TableEntry) ++sweepNext_;
  clients_.erase(relay.TableEntry);
  RemoveFromTable(*gone, TClosing::MadeRoom);
  const std::string description = gone->Describe();
  gone.reset();
  TellConnection([&] { return "Closed connection from " + description; }, untoldClosed_, context_.Now());
}

TServer::TTrials::iterator TServer::EndTrial(TTrials::iterator trial, TClosing reason) {
  RemoveFromTable(*trial->second, reason);
  ++trialsEnded_;
  return trials_.erase(trial);
}

template <typename F>
void TServer::TellConnection(F&& makeLine, uint64_t& untold, TTime now) {
  if (admission_.MayWriteLine(now))
    context_.AddLog(makeLine());
  else
    ++untold;
}

std::optional<TRefusal> TServer::LoopRefusal(const TPeerAddress& from, TTime now) const {
  const auto serverPort = static_cast<uint16_t>(running_.ServerPort);
  if (from.Address == serverAddress_ && (from.Port == serverPort || from.Port == static_cast<uint16_t>(serverPort + 1)))
    return TRefusal::LoopSource;
  if (TudpSocket::IsOwnEndpoint(from.Address, from.Port) && IsLocalAddress(from.Address, now))
    return TRefusal::LoopSource;
  if (IsServicePort(from.Port)) return TRefusal::ServicePort;
  if (loops_.Refuses(from, now)) return TRefusal::Looped;
  return std::nullopt;
}

void TServer::RemoveFromTable(TClient& relay, TClosing reason) {
  // The kernel's final figures, rather than those of its last reading.
  relay.LeaveKernel();
  counts_.Gone += relay.Counts;
  counts_.GoneInKernel += relay.CarriedInKernel();
  counts_.Closed.Add(reason);
  clientsByAddress_.erase(relay.Peer.Key());
  admission_.Released(relay.Peer, relay.IsQuery);
}

void TServer::SweepClients() {
  const TTime now = context_.Now();
  fastPath_.TakeActivity(LastActivity);
  // The query port's floods are its own: they never turn the game port's newcomers away.
  fastPath_.Sweep(now, admission_.TakeGameTrials());
  // A look at the relays that has not reached the end since the last sweep goes on from
  // where it stands, so that every relay is looked at however long the table.
  if (sweepNext_ == clients_.end()) sweepNext_ = clients_.begin();
  LookAtRelays();
  EndTrials(now);
  TellUntold(now);
  heartbeats_.Sweep(now);
}

void TServer::LookAtRelays() {
  const TTime now = context_.Now();
  const bool tight = Tight(now);
  TProcessAdmission& process = context_.Admission();
  // Asked once a turn, only while room is short: it costs two system calls.
  std::size_t lack = process.Room().Short(now) ? process.Room().NewcomersLack(process.NotEstablished()) : 0;
  TTable expired;
  TTable looped;
  for (std::size_t looked = 0; sweepNext_ != clients_.end() && looked < TEngineLimits::kRelaysPerSweepTurn; ++looked) {
    const auto entry = sweepNext_++;
    TClient& relay = **entry;
    FollowPace(relay, lack, now);
    // What the kernel carried of a relay counts as its client's datagrams did.
    if (!tight) LastActivity = std::max(LastActivity, relay.LastActivity);
    // A loop ends here, in the kernel too (the relay's entries go with it); its source is
    // refused for a while, or the loop's datagrams on their way would start it again.
    if (relay.BusierThanAPlayer(now) && !(context_.TrustsLoopback() && IsLoopbackAddress(relay.Peer.Address))) {
      ++counts_.OverbusySeconds;
      loops_.Closed(relay.Peer, now);
      looped.splice(looped.end(), clients_, entry);
    } else if (relay.IsExpired(now, tight, Temporary)) {
      expired.splice(expired.end(), clients_, entry);
    }
  }
  // The table is settled before the first line is logged, so whatever the log sink reads
  // (the window shows connection counts) sees a consistent table. Lines keep table order.
  for (const auto& relay : looped) RemoveFromTable(*relay, TClosing::Loop);
  for (const auto& relay : looped)
    overbusy_.Write(0, [&] {
      return "Closed connection from " + relay->Describe() + ": more than " +
             std::to_string(TAdmissionLimits::kMostPlayerDatagramsPerSecond) +
             " datagrams a second both ways, more than a game client: a loop";
    });
  for (const auto& relay : expired) RemoveFromTable(*relay, TClosing::Idle);
  for (auto& relay : expired) {
    const std::string description = relay->Describe();
    relay.reset();
    TellConnection([&] { return "Closed connection from " + description; }, untoldClosed_, now);
  }
  if (sweepNext_ == clients_.end()) return;
  uv_timer_start(
      sweepRest_.get(),
      [](uv_timer_t* timer) {
        if (auto* self = static_cast<TServer*>(timer->data)) RunGuarded([&] { self->LookAtRelays(); });
      },
      0, 0);
}

void TServer::FollowPace(TClient& relay, std::size_t& lack, TTime now) {
  TProcessAdmission& process = admission_.Process;
  TRoom& room = process.Room();
  switch (relay.LookAtPace(now)) {
    case TClient::TPace::Exchanging:
      if (room.MayEstablish(process.NotEstablished(), now)) {
        relay.Establish();
        ++counts_.RelaysEstablished;
      }
      return;
    case TClient::TPace::Behind:
      // Below a player's pace: it keeps no temporary tunnel while the range is short, and
      // holds no descriptor the newcomers lack.
      if (lack > 0 || (Temporary && room.TemporaryRangeShort())) break;
      return;
    case TClient::TPace::KeptPace:
      // A /24 holding more established relays than its share gives them up, one a look,
      // while the newcomers lack descriptors.
      if (lack > 0 && room.OverNetworkShare(relay.Peer.Address)) break;
      return;
    case TClient::TPace::Unchanged: return;
  }
  if (lack > 0) --lack;
  relay.LoseEstablished(now);
  relay.Place.Enter(process, TProvisional::GameAnswered, *this, relay, relay.LastActivity);
}

void TServer::EndTrials(TTime now) {
  const bool tight = Tight(now);
  for (auto trial = trials_.begin(); trial != trials_.end();) {
    if (trial->second->IsExpired(now, tight, Temporary))
      trial = EndTrial(trial, TClosing::Unanswered);
    else
      ++trial;
  }
}

void TServer::TellUntold(TTime now) {
  if (now - summaryToldAt_ < TAdmissionLimits::kUnansweredSummaryInterval) return;
  const uint64_t unanswered = trialsEnded_ - unansweredTold_;
  if (unanswered == 0 && untoldOpened_ == 0 && untoldClosed_ == 0) return;
  summaryToldAt_ = now;
  unansweredTold_ = trialsEnded_;
  auto connections = [](uint64_t count) {
    return std::to_string(count) + (count == 1 ? " connection" : " connections");
  };
  if (unanswered > 0)
    context_.AddLog("Closed " + connections(unanswered) + " that the server never answered on " + Describe());
  if (const uint64_t opened = std::exchange(untoldOpened_, 0))
    context_.AddLog("Got " + connections(opened) + " more on " + Describe() + ", too many a second to tell one by one");
  if (const uint64_t closed = std::exchange(untoldClosed_, 0))
    context_.AddLog("Closed " + connections(closed) + " more on " + Describe() + ", too many a second to tell one by one");
}

bool TServer::IsExpired() const {
  return targetsThisProgram_ || IdleLongerThan(context_.Now(), LastActivity, TEngineLimits::kTemporaryTunnelIdleLimit);
}

TRelayCounts TServer::Traffic() const {
  TRelayCounts traffic = counts_.Gone;
  traffic += KernelTraffic();
  for (const auto& relay : clients_) traffic += relay->Counts;
  for (const auto& [key, trial] : trials_) traffic += trial->Counts;
  return traffic;
}

TRelayCounts TServer::KernelTraffic() const {
  TRelayCounts carried = counts_.GoneInKernel;
  for (const auto& relay : clients_) carried += relay->CarriedInKernel();
  return carried;
}

std::string TServer::Describe() const {
  return std::to_string(ListenPort) + " to " + ServerHost + ":" + std::to_string(ServerPort);
}

} // namespace gw

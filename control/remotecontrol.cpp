#include "remotecontrol.h"

#include "config.h"
#include "controlLimits.h"
#include "hostAbout.h"
#include "intConv.h"
#include "presenter.h"
#include "remoteListener.h"
#include "settingsCheck.h"
#include "socketErrors.h"
#include "textUtil.h"
#include "tunnelmanager.h"

#include <arpa/inet.h>

#include <algorithm>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace gw {

namespace {

using L = TRemoteLimits;

constexpr std::string_view kLineEnd = "\n\r";

// Cuts the text before the first "|" off `rest` into the returned field; without a "|"
// the whole of `rest` is the field.
std::string SplitField(std::string& rest) {
  const std::size_t bar = rest.find('|');
  if (bar == std::string::npos) return std::exchange(rest, {});
  std::string field = rest.substr(0, bar);
  rest = rest.substr(bar + 1, L::kMaxRestLength);
  return field;
}

// The /24 network of an address in network byte order.
uint32_t NetworkOf(uint32_t address) { return address & htonl(L::kNetworkMask); }

// Blanks, an optional sign and decimal digits: a number, even one past what the integer
// conversion takes.
bool IsDecimalNumber(std::string_view text) {
  text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
  if (text.starts_with('-') || text.starts_with('+')) text.remove_prefix(1);
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool HasControlBytes(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 32 || byte == 127;
  });
}

} // namespace

TRemoteRequest ParseRemoteMessage(std::string_view message) {
  std::string rest(TrimControl(LowerAZ(message)));
  TRemoteRequest request;
  request.Command = SplitField(rest);
  request.Password = SplitField(rest);
  request.Argument = SplitField(rest);
  return request;
}

TCreateTarget ParseCreateArgument(std::string_view argument) {
  argument = TrimControl(argument);
  if (const std::size_t scheme = argument.find("://"); scheme != std::string_view::npos)
    argument = argument.substr(scheme + 3, L::kMaxArgumentPart);
  // An IPv6 address ("[::1]:7777") holds colons of its own: it is the host, whatever follows.
  if (argument.starts_with('[')) return {std::string(argument), TCreateTarget::kDefaultPort};
  const std::size_t colon = argument.find(':');
  if (colon == std::string_view::npos) return {std::string(argument), TCreateTarget::kDefaultPort};
  const std::string_view portText = argument.substr(colon + 1, L::kMaxArgumentPart);
  std::string host(argument.substr(0, colon));
  int32_t port = 0;
  if (TryStrToInt(portText, port)) return {std::move(host), port};
  // A number too large to convert is a port that is none, refused as such.
  if (IsDecimalNumber(portText)) return {std::move(host), 0};
  // The error is shown to the user: the text in it may not forge or flood a line.
  throw TConversionError("'" + EchoField(portText) + "' is not a valid integer value");
}

void ApplyListenerSettings(TRemoteListener& listener, const TConfig& config) {
  // Cut to 16 bits it would listen on a port nobody asked for.
  if (!IsPort(config.Port))
    throw std::invalid_argument("Remote control port " + std::to_string(config.Port) + " is " + kNotAPort);
  if (listener.Port() != config.Port) {
    listener.SetActive(false);
    listener.SetPort(config.Port);
  }
  listener.SetActive(config.Temporary);
}

TRemoteControl::TRemoteControl(TRemoteListener& listener, const TConfig& config, TTunnelManager& manager)
    : listener_(listener), config_(config), manager_(manager), resume_(MakeTimer(manager.Engine().Loop(), this)) {
  listener_.OnClientConnect = [this](TRemoteConnection& c) { ssRemoteClientConnect(c); };
  listener_.OnClientDisconnect = [this](TRemoteConnection& c) { ssRemoteClientDisconnect(c); };
  listener_.OnClientRead = [this](TRemoteConnection& c) { ssRemoteClientRead(c); };
  listener_.OnClientError = [this](TRemoteConnection& c, int& code) { ssRemoteClientError(c, code); };
  listener_.OnAcceptError = [this](int code) {
    manager_.AddLog(std::string("Remote control cannot accept connections: ") + ErrorText(code) + " [" +
                    std::to_string(code) + "]");
  };
  manager_.OnSweep = [this] { Sweep(); };
}

TRemoteControl::~TRemoteControl() {
  manager_.OnSweep = nullptr;
  listener_.OnClientConnect = nullptr;
  listener_.OnClientDisconnect = nullptr;
  listener_.OnClientRead = nullptr;
  listener_.OnClientError = nullptr;
  listener_.OnAcceptError = nullptr;
}

TTime TRemoteControl::Now() const { return manager_.Engine().Now(); }

TTime TRemoteControl::ReadyAt(const TRemoteConnection& connection) const {
  if (connection.Notes.Lookup && connection.Notes.Lookup->Running()) return TTime::max();
  const uint32_t from = connection.PeerAddress();
  return guard_.ReadyAt(from, !connection.Notes.CarriedPassword && !guard_.Known(from));
}

void TRemoteControl::Refuse(TRemoteConnection& connection, const char* reason, TTime now) {
  const uint32_t from = connection.PeerAddress();
  connection.Close();
  if (refusedLines_.Admit(from, now))
    manager_.AddLog("Refused remote control connection from " + DottedText(from) + ": " + reason);
}

void TRemoteControl::ssRemoteClientConnect(TRemoteConnection& connection) {
  const TTime now = Now();
  const uint32_t from = connection.PeerAddress();
  connection.Notes.LastHeard = now;
  if (guard_.LockedOut(from, now)) return Refuse(connection, "bad passwords", now);
  if (const char* refusal = Admit(connection, now)) return Refuse(connection, refusal, now);
  // Strangers coming and going in a crowd would write a line each.
  connection.Notes.Announced = guard_.Known(from) || connectionLines_.Admit(from, now);
  if (connection.Notes.Announced) manager_.AddLog("Got remote control connection");
}

bool TRemoteControl::Stranger(const TRemoteConnection& connection) const {
  return !connection.Notes.CarriedPassword && !guard_.Known(connection.PeerAddress());
}

int TRemoteControl::Owed(const TRemoteConnection& connection, TTime now) const {
  const TRemoteNotes& notes = connection.Notes;
  // A message waiting while its address waits after a wrong password is one more guess.
  if (notes.CarriedWrongPassword || guard_.ReadyAt(connection.PeerAddress(), false) > now) return 0;
  if (!notes.Spoke) return IdleLongerThan(now, notes.LastHeard, L::kFirstMessageTurn) ? 0 : 1;
  return 2;
}

const char* TRemoteControl::Admit(const TRemoteConnection& newcomer, TTime now) {
  std::size_t all = 0;
  std::unordered_map<uint32_t, std::size_t> held;
  listener_.ForEachConnection([&](TRemoteConnection& c) {
    ++all;
    if (&c != &newcomer && Stranger(c)) ++held[NetworkOf(c.PeerAddress())];
  });
  if (all <= L::kMaxConnections) return nullptr;
  const uint32_t network = NetworkOf(newcomer.PeerAddress());
  const bool ownNetwork = Stranger(newcomer) && held[network] >= L::kMaxConnectionsPerNetwork;
  // Among the slots owed the same, one of the network that holds the most, then the one
  // heard from longest ago.
  const auto rank = [&](const TRemoteConnection& c) {
    return std::make_tuple(Owed(c, now), -static_cast<long>(held[NetworkOf(c.PeerAddress())]), c.Notes.LastHeard);
  };
  TRemoteConnection* victim = nullptr;
  listener_.ForEachConnection([&](TRemoteConnection& c) {
    if (&c == &newcomer || !Stranger(c)) return;
    if (ownNetwork && NetworkOf(c.PeerAddress()) != network) return;
    if (!victim || rank(c) < rank(*victim)) victim = &c;
  });
  if (!victim) return "too many connections";
  victim->Close();
  ++strangersClosed_;
  return nullptr;
}

void TRemoteControl::ssRemoteClientDisconnect(TRemoteConnection& connection) {
  if (connection.Notes.Announced) manager_.AddLog("Closed remote control connection");
}

void TRemoteControl::ssRemoteClientError(TRemoteConnection& connection, int& errorCode) {
  // A crowd of strangers resetting their connections would write a line each.
  const uint32_t from = connection.PeerAddress();
  if (connection.Notes.CarriedPassword || guard_.Known(from) || errorLines_.Admit(from, Now()))
    manager_.AddLog("Got error from remote control");
  errorCode = 0;
}

void TRemoteControl::ssRemoteClientRead(TRemoteConnection& connection) {
  const TTime now = Now();
  TRemoteNotes& notes = connection.Notes;
  if (!notes.CarriedPassword && guard_.LockedOut(connection.PeerAddress(), now)) {
    connection.Close();
    return;
  }
  notes.LastHeard = now;
  notes.Spoke = true;
  // Each read event is one message, whether it is handled now or after its address waited.
  std::string message = connection.ReceiveText();
  if (notes.Waiting.empty() && ReadyAt(connection) <= now)
    HandleMessage(connection, message, now);
  else
    Hold(connection, std::move(message), now);
}

void TRemoteControl::Hold(TRemoteConnection& connection, std::string message, TTime now) {
  if (connection.Closed()) return;
  TRemoteNotes& notes = connection.Notes;
  if (notes.Waiting.size() >= L::kMaxWaitingMessages || notes.WaitingBytes + message.size() > L::kMaxWaitingBytes) {
    const uint32_t from = connection.PeerAddress();
    connection.Close();
    if (refusedLines_.Admit(from, now))
      manager_.AddLog("Closed remote control connection from " + DottedText(from) +
                      ": too much waiting for its turn");
    return;
  }
  notes.WaitingBytes += message.size();
  notes.Waiting.push_back({nextOrder_++, std::move(message)});
  WakeAt(now, now);
}

void TRemoteControl::HandleMessage(TRemoteConnection& connection, std::string_view message, TTime now) {
  const TRemoteRequest request = ParseRemoteMessage(message);
  const std::string expected(TrimControl(LowerAZ(config_.Password)));
  if (request.Password != expected) {
    connection.Notes.CarriedWrongPassword = true;
    connection.SendText(std::string("error|Incorrect password").append(kLineEnd));
    BadPassword(connection, request.Password, now);
    return;
  }
  connection.Notes.CarriedPassword = true;
  guard_.Succeeded(connection.PeerAddress());
  if (request.Command == "create") Create(connection, request.Argument, now);
}

void TRemoteControl::BadPassword(TRemoteConnection& connection, const std::string& password, TTime now) {
  const uint32_t from = connection.PeerAddress();
  if (badPasswordLines_.Admit(from, now))
    manager_.AddLog("Bad password (" + EchoField(password) + ") given to remote control");
  if (!guard_.Failed(from, now)) return;
  manager_.AddLog("Remote control locked out " + DottedText(from) + " for " +
                  std::to_string(L::kLockOut.count()) + " s after " +
                  std::to_string(L::kLockOutAfter) + " bad passwords");
  // Those that carried the password stay; their messages wait like the others.
  listener_.ForEachConnection([from](TRemoteConnection& c) {
    if (c.PeerAddress() == from && !c.Notes.CarriedPassword) c.Close();
  });
}

void TRemoteControl::Create(TRemoteConnection& connection, const std::string& argument, TTime now) {
  const TCreateTarget target = ParseCreateArgument(argument);
  // A host that no lookup can find would only echo its bytes into the log; a multicast,
  // broadcast or unspecified one, or a port that is none, has no game server to answer; the
  // relay carries IPv4 only.
  const bool badAddress = target.Host.size() > L::kMaxHostLength || HasControlBytes(target.Host) ||
                          UnservableHost(target.Host) || target.Host.starts_with('[');
  if (badAddress || !IsPort(target.Port))
    return Answer(connection, target, {0, badAddress ? "Bad server address" : "Bad server port"}, now);
  in_addr numeric{};
  if (inet_aton(target.Host.c_str(), &numeric) != 0)
    return Answer(connection, target, manager_.CreateTemporaryTunnel(target.Host, target.Port), now);
  // A name is looked up first: one that stands for such an address is refused as it is.
  TRemoteNotes& notes = connection.Notes;
  if (!notes.Lookup)
    notes.Lookup =
        std::make_unique<TNameLookup>(manager_.Engine().Loop(), TControlLimits::kCreateLookupDeadline);
  notes.Lookup->Start(target.Host,
                      [this, &connection, target](uint32_t address) { CreateFor(connection, target, address); });
}

void TRemoteControl::CreateFor(TRemoteConnection& connection, const TCreateTarget& target, uint32_t address) {
  const TTime now = Now();
  // Its waiting messages go on whatever the answer.
  WakeAt(now, now);
  // Nobody is left to be told, nor to play.
  if (connection.Closed()) return;
  // A name that does not resolve, or not in time, gets its tunnel, which keeps looking it up.
  Answer(connection, target,
         connection.Notes.Lookup->Found() && UnservableAddress(address)
             ? TCreateResult{0, "Bad server address"}
             : manager_.CreateTemporaryTunnel(target.Host, target.Port),
         now);
}

void TRemoteControl::Answer(TRemoteConnection& connection, const TCreateTarget& target, const TCreateResult& made,
                            TTime now) {
  if (made.Refusal.empty()) {
    connection.SendText("tunnel|" + std::to_string(made.Port).append(kLineEnd));
    // Its "Tunnel open on" line reads as a static tunnel's would.
    manager_.AddLog("Remote control made a temporary tunnel on " + std::to_string(made.Port) + " to " +
                    EchoField(target.Host) + ":" + std::to_string(target.Port) + " for " +
                    DottedText(connection.PeerAddress()));
    return;
  }
  connection.SendText(("error|" + made.Refusal).append(kLineEnd));
  if (refusedLines_.Admit(connection.PeerAddress(), now))
    manager_.AddLog("Refused temporary tunnel to " + EchoField(target.Host) + ":" + std::to_string(target.Port) +
                    " (" + made.Refusal + ")");
}

void TRemoteControl::Sweep() {
  const TTime now = Now();
  if (strangersClosed_ > 0 && now - lastSummary_ >= L::kSummaryPeriod) {
    manager_.AddLog("Closed " + std::to_string(std::exchange(strangersClosed_, 0)) +
                    " remote control connections of strangers to make room");
    lastSummary_ = now;
  }
  guard_.Forget(now);
  FlushLines(badPasswordLines_, now, "Bad password given to remote control ", " more times from ");
  FlushLines(connectionLines_, now, "Got ", " more remote control connections from ");
  FlushLines(errorLines_, now, "Got error from remote control ", " more times from ");
  FlushLines(refusedLines_, now, "Refused ", " more remote control requests from ");
}

void TRemoteControl::FlushLines(TLineLimiter& lines, TTime now, std::string_view before, std::string_view after) {
  lines.Flush(now, [&](uint32_t from, int count) {
    manager_.AddLog(std::string(before) + std::to_string(count) + std::string(after) +
                    (from == TLineLimiter::kOtherSources ? "other addresses" : DottedText(from)));
  });
}

void TRemoteControl::ServeWaiting() {
  const TTime now = Now();
  TRemoteConnection* first = nullptr;
  TTime next = TTime::max();
  listener_.ForEachConnection([&](TRemoteConnection& c) {
    if (c.Notes.Waiting.empty()) return;
    if (const TTime ready = ReadyAt(c); ready > now)
      next = std::min(next, ready);
    else if (!first || c.Notes.Waiting.front().Order < first->Notes.Waiting.front().Order)
      first = &c;
  });
  if (!first) return WakeAt(next, now);
  TRemoteNotes& notes = first->Notes;
  const std::string message = std::move(notes.Waiting.front().Text);
  notes.Waiting.pop_front();
  notes.WaitingBytes -= message.size();
  // Set before the message is handled, which may raise: the rest are served all the same.
  WakeAt(now, now);
  HandleMessage(*first, message, now);
}

void TRemoteControl::WakeAt(TTime when, TTime now) {
  if (when == TTime::max()) {
    uv_timer_stop(resume_.get());
    return;
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::max(when - now, TTime::duration::zero()));
  uv_timer_start(
      resume_.get(),
      [](uv_timer_t* timer) {
        auto* self = static_cast<TRemoteControl*>(timer->data);
        if (!self) return;
        RunGuarded([&] { self->ServeWaiting(); });
        self->listener_.ReleaseClosed();
      },
      static_cast<uint64_t>(wait.count()), 0);
}

} // namespace gw

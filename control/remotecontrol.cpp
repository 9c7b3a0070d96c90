#include "remotecontrol.h"

#include "config.h"
#include "hostAbout.h"
#include "intConv.h"
#include "presenter.h"
#include "remoteListener.h"
#include "socketErrors.h"
#include "textUtil.h"
#include "tunnelmanager.h"

#include <algorithm>
#include <utility>

namespace gw {

namespace {

constexpr std::size_t kMaxRestLength = 100000;
constexpr std::size_t kMaxArgumentPart = 50000;
constexpr std::string_view kLineEnd = "\n\r";

// Cuts the text before the first "|" off `rest` into the returned field; without a "|"
// the whole of `rest` is the field.
std::string SplitField(std::string& rest) {
  const std::size_t bar = rest.find('|');
  if (bar == std::string::npos) return std::exchange(rest, {});
  std::string field = rest.substr(0, bar);
  rest = rest.substr(bar + 1, kMaxRestLength);
  return field;
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
    argument = argument.substr(scheme + 3, kMaxArgumentPart);
  const std::size_t colon = argument.find(':');
  if (colon == std::string_view::npos) return {std::string(argument), 7777};
  const std::string_view portText = argument.substr(colon + 1, kMaxArgumentPart);
  int32_t port = 0;
  // The error is shown to the user: the text in it may not forge or flood a line.
  if (!TryStrToInt(portText, port)) throw TConversionError("'" + EchoField(portText) + "' is not a valid integer value");
  return {std::string(argument.substr(0, colon)), port};
}

void ApplyListenerSettings(TRemoteListener& listener, const TConfig& config) {
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
  // Paused connections would otherwise stay paused for a service that comes next.
  listener_.ForEachConnection([](TRemoteConnection& c) { c.ResumeReading(); });
  manager_.OnSweep = nullptr;
  listener_.OnClientConnect = nullptr;
  listener_.OnClientDisconnect = nullptr;
  listener_.OnClientRead = nullptr;
  listener_.OnClientError = nullptr;
  listener_.OnAcceptError = nullptr;
}

TTime TRemoteControl::Now() const { return manager_.Engine().Now(); }

std::size_t TRemoteControl::OpenConnections(uint32_t from, std::size_t& fromAddress) {
  std::size_t all = 0;
  fromAddress = 0;
  listener_.ForEachConnection([&](TRemoteConnection& c) {
    ++all;
    fromAddress += c.PeerAddress() == from;
  });
  return all;
}

void TRemoteControl::ssRemoteClientConnect(TRemoteConnection& connection) {
  const TTime now = Now();
  const uint32_t from = connection.PeerAddress();
  std::size_t fromAddress = 0;
  const std::size_t all = OpenConnections(from, fromAddress);
  const char* refusal = guard_.LockedOut(from, now)              ? "bad passwords"
                        : fromAddress > kMaxConnectionsPerAddress ? "too many from its address"
                        : all > kMaxConnections                   ? "too many connections"
                                                                  : nullptr;
  if (refusal) {
    connection.Close();
    if (refusedLines_.Admit(from, now))
      manager_.AddLog("Refused remote control connection from " + DottedText(from) + ": " + refusal);
    return;
  }
  connection.LastHeard = now;
  manager_.AddLog("Got remote control connection");
}

void TRemoteControl::ssRemoteClientDisconnect(TRemoteConnection&) {
  manager_.AddLog("Closed remote control connection");
}

void TRemoteControl::ssRemoteClientError(TRemoteConnection&, int& errorCode) {
  manager_.AddLog("Got error from remote control");
  errorCode = 0;
}

void TRemoteControl::ssRemoteClientRead(TRemoteConnection& connection) {
  const TTime now = Now();
  const uint32_t from = connection.PeerAddress();
  if (guard_.LockedOut(from, now)) {
    connection.Close();
    return;
  }
  if (now < guard_.ReadyAt(from)) {
    // Left unread until the address has waited; what arrives meanwhile is read then, as
    // one message.
    connection.PauseReading();
    ResumeWaiting();
    return;
  }
  connection.LastHeard = now;
  HandleMessage(connection, now);
}

void TRemoteControl::HandleMessage(TRemoteConnection& connection, TTime now) {
  const TRemoteRequest request = ParseRemoteMessage(connection.ReceiveText());
  const std::string expected(TrimControl(LowerAZ(config_.Password)));
  if (request.Password != expected) {
    connection.SendText(std::string("error|Incorrect password").append(kLineEnd));
    BadPassword(connection, request.Password, now);
    return;
  }
  guard_.Succeeded(connection.PeerAddress());
  if (request.Command == "create") Create(connection, request.Argument, now);
}

void TRemoteControl::BadPassword(TRemoteConnection& connection, const std::string& password, TTime now) {
  const uint32_t from = connection.PeerAddress();
  if (badPasswordLines_.Admit(from, now))
    manager_.AddLog("Bad password (" + EchoField(password) + ") given to remote control");
  if (!guard_.Failed(from, now)) return;
  manager_.AddLog("Remote control locked out " + DottedText(from) + " for " +
                  std::to_string(TGuessGuard::kLockOut.count()) + " s after " +
                  std::to_string(TGuessGuard::kLockOutAfter) + " bad passwords");
  listener_.ForEachConnection([from](TRemoteConnection& c) {
    if (c.PeerAddress() == from) c.Close();
  });
}

void TRemoteControl::Create(TRemoteConnection& connection, const std::string& argument, TTime now) {
  const TCreateTarget target = ParseCreateArgument(argument);
  // A host that no lookup can find would only echo its bytes into the log.
  const TCreateResult made = target.Host.size() > kMaxHostLength || HasControlBytes(target.Host)
                                 ? TCreateResult{0, "Bad server address"}
                                 : manager_.CreateTemporaryTunnel(target.Host, target.Port);
  if (made.Refusal.empty()) {
    connection.SendText("tunnel|" + std::to_string(made.Port).append(kLineEnd));
    return;
  }
  connection.SendText(("error|" + made.Refusal).append(kLineEnd));
  if (refusedLines_.Admit(connection.PeerAddress(), now))
    manager_.AddLog("Refused temporary tunnel to " + EchoField(target.Host) + ":" + std::to_string(target.Port) +
                    " (" + made.Refusal + ")");
}

void TRemoteControl::Sweep() {
  const TTime now = Now();
  listener_.ForEachConnection([&](TRemoteConnection& c) {
    // A paused connection has spoken; it waits for its address's turn.
    if (c.Paused() || !IdleLongerThan(now, c.LastHeard, kIdleLimit)) return;
    c.Close();
    manager_.AddLog("Closed idle remote control connection");
  });
  listener_.ReleaseClosed();
  guard_.Forget(now);
  badPasswordLines_.Flush(now, [this](uint32_t from, int count) {
    manager_.AddLog("Bad password given to remote control " + std::to_string(count) + " more times from " +
                    DottedText(from));
  });
  refusedLines_.Flush(now, [this](uint32_t from, int count) {
    manager_.AddLog("Refused " + std::to_string(count) + " more remote control requests from " + DottedText(from));
  });
}

void TRemoteControl::ResumeWaiting() {
  const TTime now = Now();
  TTime next = TTime::max();
  listener_.ForEachConnection([&](TRemoteConnection& c) {
    if (!c.Paused()) return;
    const TTime ready = guard_.ReadyAt(c.PeerAddress());
    if (ready <= now)
      c.ResumeReading();
    else
      next = std::min(next, ready);
  });
  listener_.ReleaseClosed();
  if (next == TTime::max()) return;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
  uv_timer_start(
      resume_.get(),
      [](uv_timer_t* timer) {
        if (auto* self = static_cast<TRemoteControl*>(timer->data)) RunGuarded([&] { self->ResumeWaiting(); });
      },
      static_cast<uint64_t>(wait.count()), 0);
}

} // namespace gw

#include "remotecontrol.h"

#include "config.h"
#include "intConv.h"
#include "remoteListener.h"
#include "socketErrors.h"
#include "textUtil.h"
#include "tunnelmanager.h"

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
  return {std::string(argument.substr(0, colon)), StrToInt(argument.substr(colon + 1, kMaxArgumentPart))};
}

void ApplyListenerSettings(TRemoteListener& listener, const TConfig& config) {
  if (listener.Port() != config.Port) {
    listener.SetActive(false);
    listener.SetPort(config.Port);
  }
  listener.SetActive(config.Temporary);
}

TRemoteControl::TRemoteControl(TRemoteListener& listener, const TConfig& config, TTunnelManager& manager)
    : listener_(listener), config_(config), manager_(manager) {
  listener_.OnClientConnect = [this](TRemoteConnection& c) { ssRemoteClientConnect(c); };
  listener_.OnClientDisconnect = [this](TRemoteConnection& c) { ssRemoteClientDisconnect(c); };
  listener_.OnClientRead = [this](TRemoteConnection& c) { ssRemoteClientRead(c); };
  listener_.OnClientError = [this](TRemoteConnection& c, int& code) { ssRemoteClientError(c, code); };
  listener_.OnAcceptError = [this](int code) {
    manager_.AddLog(std::string("Remote control cannot accept connections: ") + ErrorText(code) + " [" +
                    std::to_string(code) + "]");
  };
}

TRemoteControl::~TRemoteControl() {
  listener_.OnClientConnect = nullptr;
  listener_.OnClientDisconnect = nullptr;
  listener_.OnClientRead = nullptr;
  listener_.OnClientError = nullptr;
  listener_.OnAcceptError = nullptr;
}

void TRemoteControl::ssRemoteClientConnect(TRemoteConnection&) { manager_.AddLog("Got remote control connection"); }

void TRemoteControl::ssRemoteClientDisconnect(TRemoteConnection&) {
  manager_.AddLog("Closed remote control connection");
}

void TRemoteControl::ssRemoteClientError(TRemoteConnection&, int& errorCode) {
  manager_.AddLog("Got error from remote control");
  errorCode = 0;
}

void TRemoteControl::ssRemoteClientRead(TRemoteConnection& connection) {
  const TRemoteRequest request = ParseRemoteMessage(connection.ReceiveText());
  const std::string expected(TrimControl(LowerAZ(config_.Password)));
  if (request.Password != expected) {
    connection.SendText(std::string("error|Incorrect password").append(kLineEnd));
    manager_.AddLog("Bad password (" + request.Password + ") given to remote control");
    return;
  }
  if (request.Command != "create") return;

  const TCreateTarget target = ParseCreateArgument(request.Argument);
  const int listenPort = manager_.CreateTemporaryTunnel(target.Host, target.Port);
  connection.SendText("tunnel|" + std::to_string(listenPort).append(kLineEnd));
}

} // namespace gw

#pragma once

#include <string>
#include <string_view>

namespace gw {

class TConfig;
class TRemoteConnection;
class TRemoteListener;
class TTunnelManager;

// One message of the remote-control protocol, "command|password|argument", lower-cased
// (A to Z only) and trimmed as a whole; the fields themselves are not trimmed.
struct TRemoteRequest {
  std::string Command;
  std::string Password;
  std::string Argument;
};
TRemoteRequest ParseRemoteMessage(std::string_view message);

// The game server named by a "create" argument: an optional "scheme://", the host, and
// an optional ":port" (7777 without one). A port that does not convert raises
// TConversionError.
struct TCreateTarget {
  std::string Host;
  int Port = 7777;
};
TCreateTarget ParseCreateArgument(std::string_view argument);

// Brings the listener in line with the settings: a new port drops the listener and its
// connections first; it then runs exactly while Temporary is on. May raise TSocketError.
void ApplyListenerSettings(TRemoteListener& listener, const TConfig& config);

// The remote-control service: creates temporary tunnels for peers that know the password.
// Binds itself to the listener's events for its lifetime.
class TRemoteControl {
public:
  TRemoteControl(TRemoteListener& listener, const TConfig& config, TTunnelManager& manager);
  ~TRemoteControl();
  TRemoteControl(const TRemoteControl&) = delete;
  TRemoteControl& operator=(const TRemoteControl&) = delete;

  void ssRemoteClientConnect(TRemoteConnection& connection);
  void ssRemoteClientDisconnect(TRemoteConnection& connection);
  void ssRemoteClientRead(TRemoteConnection& connection);
  void ssRemoteClientError(TRemoteConnection& connection, int& errorCode);

private:
  TRemoteListener& listener_;
  const TConfig& config_;
  TTunnelManager& manager_;
};

} // namespace gw

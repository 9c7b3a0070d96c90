#pragma once

#include "clock.h"
#include "guessGuard.h"
#include "uvHandle.h"

#include <cstddef>
#include <cstdint>
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
// TConversionError, quoting the text as EchoField shows it.
struct TCreateTarget {
  std::string Host;
  int Port = 7777;
};
TCreateTarget ParseCreateArgument(std::string_view argument);

// Brings the listener in line with the settings: a new port drops the listener and its
// connections first; it then runs exactly while Temporary is on. May raise TSocketError.
void ApplyListenerSettings(TRemoteListener& listener, const TConfig& config);

// The remote-control service: creates temporary tunnels for peers that know the password.
// Binds itself to the listener's events and to the manager's sweep for its lifetime.
// Strangers are held in check: connections are capped in all and per address and closed
// after kIdleLimit of silence, and password guessing is slowed by a TGuessGuard.
class TRemoteControl {
public:
  static constexpr std::size_t kMaxConnections = 32;
  static constexpr std::size_t kMaxConnectionsPerAddress = 8;
  static constexpr std::chrono::seconds kIdleLimit{30};
  // Longer server hosts are refused: no name is that long.
  static constexpr std::size_t kMaxHostLength = 255;

  TRemoteControl(TRemoteListener& listener, const TConfig& config, TTunnelManager& manager);
  ~TRemoteControl();
  TRemoteControl(const TRemoteControl&) = delete;
  TRemoteControl& operator=(const TRemoteControl&) = delete;

  void ssRemoteClientConnect(TRemoteConnection& connection);
  void ssRemoteClientDisconnect(TRemoteConnection& connection);
  void ssRemoteClientRead(TRemoteConnection& connection);
  void ssRemoteClientError(TRemoteConnection& connection, int& errorCode);

private:
  TTime Now() const;
  void HandleMessage(TRemoteConnection& connection, TTime now);
  void Create(TRemoteConnection& connection, const std::string& argument, TTime now);
  void BadPassword(TRemoteConnection& connection, const std::string& password, TTime now);
  // Part of the one-second sweep: silent connections go, held-back counts are written.
  void Sweep();
  // Reads again from the paused connections whose address has waited long enough, and
  // sets the timer for the next.
  void ResumeWaiting();
  std::size_t OpenConnections(uint32_t from, std::size_t& fromAddress);

  TRemoteListener& listener_;
  const TConfig& config_;
  TTunnelManager& manager_;
  TGuessGuard guard_;
  TLineLimiter badPasswordLines_;
  TLineLimiter refusedLines_;
  TUvHandle<uv_timer_t> resume_;
};

} // namespace gw

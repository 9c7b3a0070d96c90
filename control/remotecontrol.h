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
// Strangers (connections that never carried the password) are held in check: slots are
// capped in all and per /24 network, a full house gives a stranger's slot to a newcomer
// (a silent one's first), silent strangers are closed, and password guessing is slowed by
// a TGuessGuard.
// A connection that carried the password is never closed by the service.
class TRemoteControl {
public:
  // Connections at once: room for several administrators' tools, while all that strangers
  // can hold stays a small share of the descriptors.
  static constexpr std::size_t kMaxConnections = 32;
  // Connections at once from one /24 network, where one attacker's addresses usually lie.
  static constexpr std::size_t kMaxConnectionsPerNetwork = 8;
  static constexpr uint32_t kNetworkMask = 0xFFFFFF00;  // host byte order
  // A connection that has sent nothing goes after this: a tool sends its request as soon
  // as it is connected, and slow links need a few round trips.
  static constexpr std::chrono::seconds kFirstMessageLimit{5};
  // A stranger that spoke and then fell silent goes after this.
  static constexpr std::chrono::seconds kIdleLimit{30};
  // What one connection may hold while its address waits after a wrong password: a
  // request is a few dozen bytes, so more is a try at the memory; past it the connection
  // is closed.
  static constexpr std::size_t kMaxWaitingMessages = 16;
  static constexpr std::size_t kMaxWaitingBytes = 16384;
  // Silent strangers closed are summed up in one line at most this often.
  static constexpr std::chrono::seconds kSummaryPeriod{10};
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
  TTime ReadyAt(const TRemoteConnection& connection) const;
  void Refuse(TRemoteConnection& connection, const char* reason, TTime now);
  // Closes a stranger's connection (within the newcomer's network only, if asked) to give
  // its slot to `newcomer`; false when there is none.
  bool MakeRoom(const TRemoteConnection& newcomer, bool sameNetwork);
  // Keeps a message that must wait for its address's turn, or closes the connection when
  // it holds too much already.
  void Hold(TRemoteConnection& connection, std::string message, TTime now);
  void HandleMessage(TRemoteConnection& connection, std::string_view message, TTime now);
  void Create(TRemoteConnection& connection, const std::string& argument, TTime now);
  void BadPassword(TRemoteConnection& connection, const std::string& password, TTime now);
  // Part of the one-second sweep: silent strangers go, held-back counts are written.
  void Sweep();
  // Handles the waiting message that arrived first among those whose turn has come, then
  // sets the timer for the next.
  void ServeWaiting();
  void WakeAt(TTime when, TTime now);

  TRemoteListener& listener_;
  const TConfig& config_;
  TTunnelManager& manager_;
  TGuessGuard guard_;
  TLineLimiter connectionLines_;
  TLineLimiter badPasswordLines_;
  TLineLimiter refusedLines_;
  TUvHandle<uv_timer_t> resume_;
  uint64_t nextOrder_ = 0;
  int silentClosed_ = 0;
  TTime lastSummary_{};
};

} // namespace gw

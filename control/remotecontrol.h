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
struct TCreateResult;
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
// TConversionError, quoting the text as EchoField shows it, unless it is a decimal number
// too large for it: the port is then 0, none. A host in brackets (IPv6) is taken whole.
struct TCreateTarget {
  // A UT server's usual game port, for a request that names none.
  static constexpr int kDefaultPort = 7777;
  std::string Host;
  int Port = kDefaultPort;
};
TCreateTarget ParseCreateArgument(std::string_view argument);

// Brings the listener in line with the settings: a new port drops the listener and its
// connections first; it then runs exactly while Temporary is on. May raise TSocketError.
void ApplyListenerSettings(TRemoteListener& listener, const TConfig& config);

// The remote-control service: creates temporary tunnels for peers that know the password.
// Binds itself to the listener's events and to the manager's sweep for its lifetime.
// Strangers (connections that never carried the password) are held in check within
// TRemoteLimits: with every slot taken a newcomer takes a stranger's slot, one that had its
// turn first (capped per /24 network), and password guessing is slowed by a TGuessGuard.
// With a slot to spare no connection is refused or closed for its silence or its network;
// a connection that carried the password is never closed by the service.
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
  TTime Now() const;
  TTime ReadyAt(const TRemoteConnection& connection) const;
  void Refuse(TRemoteConnection& connection, const char* reason, TTime now);
  // The one admission decision: nothing while a slot is free; with every slot taken, closes
  // the stranger's connection whose slot goes to `newcomer`. The reason for refusing it when
  // no stranger holds a slot; nullptr when it is in.
  const char* Admit(const TRemoteConnection& newcomer, TTime now);
  bool Stranger(const TRemoteConnection& connection) const;
  // How little a stranger's connection is owed when a newcomer needs its slot (see
  // TRemoteLimits::kFirstMessageTurn): 0 for one that had its turn, 1 for one silent within
  // it, 2 for one whose first message waits for its answer.
  int Owed(const TRemoteConnection& connection, TTime now) const;
  // Keeps a message that must wait for its address's turn, or closes the connection when
  // it holds too much already.
  void Hold(TRemoteConnection& connection, std::string message, TTime now);
  void HandleMessage(TRemoteConnection& connection, std::string_view message, TTime now);
  void Create(TRemoteConnection& connection, const std::string& argument, TTime now);
  // Makes the tunnel once the server's name has been looked up (`address`, if found).
  void CreateFor(TRemoteConnection& connection, const TCreateTarget& target, uint32_t address);
  // Sends the answer to a create and writes its line.
  void Answer(TRemoteConnection& connection, const TCreateTarget& target, const TCreateResult& made, TTime now);
  void BadPassword(TRemoteConnection& connection, const std::string& password, TTime now);
  // Part of the one-second sweep: held-back counts are written.
  void Sweep();
  // Handles the waiting message that arrived first among those whose turn has come, then
  // sets the timer for the next.
  void ServeWaiting();
  // Writes what `lines` held back: before + count + after + the source.
  void FlushLines(TLineLimiter& lines, TTime now, std::string_view before, std::string_view after);
  void WakeAt(TTime when, TTime now);

  TRemoteListener& listener_;
  const TConfig& config_;
  TTunnelManager& manager_;
  TGuessGuard guard_;
  TLineLimiter connectionLines_;
  TLineLimiter errorLines_;
  TLineLimiter badPasswordLines_;
  TLineLimiter refusedLines_;
  TUvHandle<uv_timer_t> resume_;
  uint64_t nextOrder_ = 0;
  int strangersClosed_ = 0;
  TTime lastSummary_{};
};

} // namespace gw

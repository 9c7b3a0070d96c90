#pragma once

#include "clientconn.h"
#include "context.h"
#include "nameLookup.h"
#include "repeatedLog.h"
#include "udpSocket.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace gw {

// One tunnel: a game endpoint on ListenPort and, for a static tunnel when the query port is
// enabled, a query endpoint on ListenPort + 1. Every client address that sends gets its own
// relay (TClient), kept in one table for both endpoints.
class TServer {
public:
  // Relays one client address (IP) may hold in one tunnel: many players behind one NAT
  // fit, a single host cycling through source ports does not take every descriptor.
  static constexpr int kMaxRelaysPerAddress = 128;

  explicit TServer(TEngineContext& context);
  ~TServer();
  TServer(const TServer&) = delete;
  TServer& operator=(const TServer&) = delete;

  // (Re)creates and opens the endpoints, starts resolving the server's name, and logs
  // "Tunnel open on ...". Relays already in the table stay and answer through the new
  // endpoints.
  void Start();
  // Closes the endpoints, so that another tunnel can bind their ports; Start opens them again.
  void CloseEndpoints();
  // Removes the relays whose client has been silent for more than 12 s, each with its line.
  void SweepClients();
  // No client has sent for more than 60 s, through the sockets or the kernel's fast path.
  bool IsExpired();
  // The game endpoint is bound and receiving.
  bool Listening() const { return GameSocket && GameSocket->Active(); }
  int ClientCount() const { return static_cast<int>(clients_.size()); }
  // "listen-port to server-host:server-port"
  std::string Describe() const;

  int ListenPort = 0;
  std::string ServerHost;
  int ServerPort = 0;
  bool Temporary = false;
  TTime LastActivity{};

private:
  void HandleReceive(TudpSocket& sender, std::span<const char> data, const TPeerAddress& from);
  std::unique_ptr<TudpSocket> OpenEndpoint(int port, TRepeatedLog& errors);
  // The relay for a new client address, or null when none is made for it.
  TClient* AddClient(const TudpSocket& sender, const TPeerAddress& from, TTime now);
  // A source that must never get a relay: the game server itself, or an endpoint of this
  // program. Answering either would relay the tunnel's own datagrams back into it.
  bool IsLoopSource(const TPeerAddress& from, TTime now) const;
  void Resolve(TTime now);
  // Looks the name up again when its answer is due for a refresh.
  void RefreshServerAddress(TTime now);
  void RemoveFromTable(const TClient& relay);
  // Logs whether the tunnel's fast path is on, or why not, when that changes, and hands its
  // relays to the kernel or takes them back accordingly.
  void TellFastPath();
  // Hands a relay to the kernel once its sockets exist, the upstream one connected.
  void CarryInKernel(TClient& relay);
  // The times the kernel last carried each relay's client count as the relay's activity.
  void TakeKernelActivity();

  TEngineContext& context_;
  std::unique_ptr<TudpSocket> GameSocket;
  std::unique_ptr<TudpSocket> QuerySocket;
  // The relays in order of creation, the same relays by client address, and how many each
  // client IP holds.
  std::vector<std::unique_ptr<TClient>> clients_;
  std::unordered_map<uint64_t, TClient*> clientsByAddress_;
  std::unordered_map<uint32_t, int> relaysPerIP_;

  // The server's address, network byte order; 0 until the name resolves. Relays follow it.
  uint32_t serverAddress_ = 0;
  bool answered_ = false;
  TTime resolvedAt_{};
  TNameLookup lookup_;

  TRepeatedLog gameErrors_;
  TRepeatedLog queryErrors_;
  TRepeatedLog refusals_;
  // Keys of the refusal log that are not socket error numbers.
  static constexpr int kTooManyFromAddress = -1;
  static constexpr int kNotCarried = -2;
  bool fastPathOn_ = false;
  std::string fastPathLine_;
  // After a relay could not be made, new clients are refused until then, as if they had met
  // the same failure, rather than try again at every datagram of a flood.
  TTime refuseUntil_{};
  struct {
    std::string Text;
    int Number = 0;
  } openFailure_;
};

// The port after `port`, wrapping like a 32-bit register at the top of the integer range
// instead of overflowing; the endpoint then reports the port as invalid.
int PortAfter(int port);

} // namespace gw

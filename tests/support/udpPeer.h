#pragma once

#include "uvHandle.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gw::test {

struct TReceived {
  std::string Data;
  uint16_t FromPort = 0;
};

// A plain non-blocking UDP socket on 127.0.0.1 at a port the system picks: a game client
// or a game server in tests.
class TUdpPeer {
public:
  // A peer on 127.0.0.1 (or `host`, host byte order, another loopback address) at `port`,
  // or at a port the system picks.
  explicit TUdpPeer(uint16_t port = 0, uint32_t host = 0x7F000001);
  uint16_t Port() const { return port_; }
  void SendTo(uint16_t port, std::string_view data) const;
  std::optional<TReceived> TryReceive() const;

private:
  TFd fd_;
  uint16_t port_ = 0;
};

// Sends one datagram with source port 0 to 127.0.0.1:`port`, which no ordinary socket can;
// false when raw sockets are not allowed here.
bool SendFromPortZero(uint16_t port, std::string_view data);

// A port p such that p and p + 1 were both free a moment ago, on the wildcard address.
uint16_t FreeUdpPortPair();

} // namespace gw::test

#pragma once

#include "uvHandle.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace gw::test {

// A remote-control peer: a TCP connection to 127.0.0.1:`port`, non-blocking once open,
// from 127.0.0.1 or from another loopback address `from` (host byte order).
class TTcpPeer {
public:
  explicit TTcpPeer(uint16_t port, uint32_t from = 0x7F000001);
  void Send(std::string_view data) const;
  // Whatever has arrived so far; empty when nothing has.
  std::string TryReceive() const;
  // The service closed the connection (a read sees its end).
  bool SeesEnd() const;
  void Close() { fd_.Reset(); }
  // Closes with a reset instead of an orderly end.
  void Reset();
  int Fd() const { return fd_.Get(); }

private:
  TFd fd_;
};

// A TCP port that was free a moment ago.
int FreeTcpPort();

} // namespace gw::test

#pragma once

#include "uvHandle.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace gw::test {

// A remote-control peer: a TCP connection to 127.0.0.1:`port`, non-blocking once open,
// from 127.0.0.1 or from another loopback address `from` (host byte order).
class TTcpPeer {
public:
  explicit TTcpPeer(uint16_t port, uint32_t from = 0x7F000001);
  // Connects from 127.0.0.1, trying again for up to `patience` while nothing listens yet (a
  // process just started).
  static TTcpPeer Await(uint16_t port, std::chrono::milliseconds patience);
  void Send(std::string_view data) const;
  // Whatever has arrived so far; empty when nothing has.
  std::string TryReceive() const;
  // What arrives until at least `size` bytes are in, the service closes, or `patience` is up.
  std::string Receive(size_t size, std::chrono::milliseconds patience) const;
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
uint16_t FreeTcpPort();

} // namespace gw::test

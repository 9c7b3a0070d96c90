#pragma once

#include "repeatedLog.h"
#include "socketErrors.h"

#include <string>

namespace gw {

// The OnError handler shared by tunnels and relays: a line per socket failure, the same
// failure again only counted, and never "Connection reset by peer", which a datagram
// socket reports for a peer that has gone and which says nothing useful.
inline void LogSocketError(TRepeatedLog& log, const std::string& msg, int num) {
  if (num == kConnectionReset) return;
  log.Write(num, [&] { return "WSA Error: " + msg + " [" + std::to_string(num) + "]"; });
}

} // namespace gw

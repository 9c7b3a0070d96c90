#pragma once

#include "context.h"
#include "socketErrors.h"

#include <string>

namespace gw {

// The OnError handler shared by tunnels and relays: one log line per socket failure,
// except "Connection reset by peer", which a datagram socket reports for a peer that has
// gone and which says nothing useful.
inline void LogSocketError(TEngineContext& context, const std::string& msg, int num) {
  if (num == kConnectionReset) return;
  context.AddLog("WSA Error: " + msg + " [" + std::to_string(num) + "]");
}

} // namespace gw

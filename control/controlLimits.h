#pragma once

#include <chrono>
#include <cstddef>

namespace gw {

// The control layer's limits on text from outside, each with its reason. The remote
// control's are in TRemoteLimits (remoteLimits.h); the settings file's own stay with the
// code they shape: TIniFile::kMaxBytes (how much of it is read), TIniText::kMaxValueLength
// (how long a value reads), TConfig::kProcessDescriptors (what the program keeps besides
// its clients) and TTunnelManager::kChangesPerTurn (how much of a reload one turn does).
struct TControlLimits {
  // A tunnel line's server part ("host:port") is read as far as this. A line from
  // the settings file is never that long (it reads at most kMaxValueLength characters), so
  // this only bounds what a text from anywhere else could make a tunnel hold.
  static constexpr std::size_t kMaxTunnelLinePart = 5000;
  // A field from outside written into a log line (a wrong password, a host, a settings
  // value) shows at most this many bytes, then its whole length: enough to recognise a
  // mistyped password or a host name, while whatever a stranger sends stays one short
  // line.
  static constexpr std::size_t kEchoedFieldBytes = 64;
  // A remote `create` naming its server by name waits for the name's address, so that a
  // name standing for an address no game server has is refused as that address is. A name
  // server answers within this, or the tunnel is made as before and looks the name up on
  // its own: the administrator is not kept waiting on a silent name server.
  static constexpr std::chrono::seconds kCreateLookupDeadline{2};
};

} // namespace gw

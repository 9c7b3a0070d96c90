#pragma once

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
};

} // namespace gw

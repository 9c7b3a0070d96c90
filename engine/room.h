#pragma once

#include "clock.h"

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace gw {

// Whether room runs short, and the relays that are established. While descriptors, ephemeral
// ports and the lists of relays not established have room, a relay lives for as long as its
// client sends, a temporary tunnel for as long as any client of it sends, and an established
// relay stays so however its client paces itself. The stricter rules (TAdmissionLimits:
// short lives for relays not established, established relays held to a player's pace and
// capped per /24) hold only while something runs short, and for a while after; for
// temporary tunnels also while their range of ports is nearly all taken.
class TRoom {
public:
  // Something ran short at `now`.
  void RanShort(TTime now);
  bool Short(TTime now) const { return now < shortUntil_; }
  // The temporary tunnels' range has few free ports left (the control layer says).
  void SetTemporaryRangeShort(bool isShort) { temporaryRangeShort_ = isShort; }
  bool TemporaryRangeShort() const { return temporaryRangeShort_; }
  // Short for a tunnel of the kind: a temporary one is short of ports too.
  bool ShortFor(bool temporary, TTime now) const { return (temporary && temporaryRangeShort_) || Short(now); }

  // How many relays the newcomers' share of the descriptors lacks: the relays not
  // established (`notEstablished`), which make room for a newcomer, and the descriptors still
  // free must make it up, since established relays never make room. 0 when they do.
  std::size_t NewcomersLack(std::size_t notEstablished) const;
  // Whether a relay, one of `notEstablished`, may be established now: not when that would
  // leave the newcomers short, which makes room short.
  bool MayEstablish(std::size_t notEstablished, TTime now);
  void Established(uint32_t address);
  void LeftEstablished(uint32_t address);
  // Its /24 (`address` in network byte order) holds more established relays than one may
  // while room is short.
  bool OverNetworkShare(uint32_t address) const;
  std::size_t EstablishedCount() const { return established_; }

private:
  static uint32_t NetworkOf(uint32_t address);

  TTime shortUntil_{};
  bool temporaryRangeShort_ = false;
  std::size_t established_ = 0;
  std::unordered_map<uint32_t, int> byNetwork_;
};

} // namespace gw

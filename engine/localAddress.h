#pragma once

#include "clock.h"

#include <cstdint>

namespace gw {

// True for an IPv4 address (network byte order) that names this host: any loopback
// address, the unspecified address, or one held by one of its interfaces. The interfaces'
// addresses are read again at most once a second, when asked at a later `now`.
bool IsLocalAddress(uint32_t address, TTime now);

} // namespace gw

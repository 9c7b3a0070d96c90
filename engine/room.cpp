#include "room.h"

#include "admission.h"
#include "uvHandle.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace gw {

using L = TAdmissionLimits;

namespace {
// Descriptors still free: the lowest free one is what a new socket gets, so all below it are
// taken (a count that errs towards more free while closed ones leave holes).
std::size_t FreeDescriptors() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  const TFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe.Valid()) return 0;
  return static_cast<rlim_t>(probe.Get()) >= limit.rlim_cur ? 0 : limit.rlim_cur - static_cast<rlim_t>(probe.Get());
}

std::size_t NewcomerDescriptors() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return L::kNewcomerDescriptorsLeast;
  return std::max<std::size_t>(L::kNewcomerDescriptorsLeast, limit.rlim_cur / L::kNewcomerDescriptorsShare);
}
} // namespace

void TRoom::RanShort(TTime now) { shortUntil_ = now + L::kShortFor; }

uint32_t TRoom::NetworkOf(uint32_t address) { return ntohl(address) & L::kEstablishedNetworkMask; }

bool TRoom::MayEstablish(uint32_t address, std::size_t notEstablished, bool tight, TTime now) {
  if (tight) {
    const auto network = byNetwork_.find(NetworkOf(address));
    if (network != byNetwork_.end() && network->second >= L::kEstablishedPerNetworkWhenShort) return false;
  }
  // Established relays never make room, so those that are not, with the descriptors still
  // free, must leave the newcomers their share.
  const std::size_t share = NewcomerDescriptors();
  const std::size_t reserve = TEngineLimits::kDescriptorReserve;
  const std::size_t free = FreeDescriptors();
  if (free == SIZE_MAX || notEstablished + (free > reserve ? free - reserve : 0) > share) return true;
  RanShort(now);
  return false;
}

void TRoom::Established(uint32_t address) {
  ++established_;
  ++byNetwork_[NetworkOf(address)];
}

void TRoom::LeftEstablished(uint32_t address) {
  --established_;
  const auto network = byNetwork_.find(NetworkOf(address));
  if (--network->second == 0) byNetwork_.erase(network);
}

bool TRoom::OverNetworkShare(uint32_t address) const {
  const auto network = byNetwork_.find(NetworkOf(address));
  return network != byNetwork_.end() && network->second > L::kEstablishedPerNetworkWhenShort;
}

} // namespace gw

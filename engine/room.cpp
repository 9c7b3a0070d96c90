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

std::size_t TRoom::NewcomersLack(std::size_t notEstablished) const {
  const std::size_t share = NewcomerDescriptors();
  const std::size_t reserve = TEngineLimits::kDescriptorReserve;
  const std::size_t free = FreeDescriptors();
  if (free == SIZE_MAX) return 0;
  const std::size_t have = notEstablished + (free > reserve ? free - reserve : 0);
  return have >= share ? 0 : share - have;
}

bool TRoom::MayEstablish(std::size_t notEstablished, TTime now) {
  // The relay itself leaves the ones that make room.
  if (NewcomersLack(notEstablished > 0 ? notEstablished - 1 : 0) == 0) return true;
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

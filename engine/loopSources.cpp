#include "loopSources.h"

#include "admission.h"

#include <algorithm>

#include <arpa/inet.h>

namespace gw {

bool IsServicePort(uint16_t port) {
  return port < TAdmissionLimits::kFirstClientPort ||
         std::ranges::find(TAdmissionLimits::kServicePortsAbove, port) != TAdmissionLimits::kServicePortsAbove.end();
}

bool IsLoopbackAddress(uint32_t address) { return ntohl(address) >> 24 == 127; }

void TLoopSources::Closed(const TPeerAddress& source, TTime now) {
  while (!order_.empty() && (order_.size() >= TAdmissionLimits::kLoopsRemembered ||
                             now - closedAt_[order_.front()] > TAdmissionLimits::kLoopRefusedFor)) {
    closedAt_.erase(order_.front());
    order_.pop_front();
  }
  // A source closed again is remembered from now, in its first place: it is forgotten a
  // little early at worst.
  if (closedAt_.insert_or_assign(source.Key(), now).second) order_.push_back(source.Key());
}

bool TLoopSources::Refuses(const TPeerAddress& source, TTime now) const {
  if (closedAt_.empty()) return false;
  const auto found = closedAt_.find(source.Key());
  return found != closedAt_.end() && now - found->second <= TAdmissionLimits::kLoopRefusedFor;
}

} // namespace gw

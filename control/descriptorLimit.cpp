#include "descriptorLimit.h"

#include <sys/resource.h>

#include <algorithm>
#include <limits>

namespace gw {

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  // Refused, the old limit stays; every socket it then denies is reported where it fails.
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

int DescriptorLimit() {
  rlimit limit{};
  constexpr rlim_t kMost = std::numeric_limits<int>::max();
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return static_cast<int>(kMost);
  return static_cast<int>(std::min(limit.rlim_cur, kMost));
}

} // namespace gw

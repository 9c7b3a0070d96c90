#include "descriptorLimit.h"

#include <sys/resource.h>

namespace gw {

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  // Refused, the old limit stays; every socket it then denies is reported where it fails.
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace gw

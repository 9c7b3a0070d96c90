#pragma once

namespace gw {

// Every relayed client holds a socket, so the number of clients at once is bounded by the
// descriptor limit. Raises the soft limit to the hard one, as far as the system allows.
void RaiseDescriptorLimit();
// The descriptors the process may hold now (the soft limit); no limit reads as the largest
// int.
int DescriptorLimit();

} // namespace gw

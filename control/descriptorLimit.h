#pragma once

namespace gw {

// Every relayed client holds a socket, so the number of clients at once is bounded by the
// descriptor limit. Raises the soft limit to the hard one, as far as the system allows.
void RaiseDescriptorLimit();

} // namespace gw

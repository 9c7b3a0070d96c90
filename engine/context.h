#pragma once

#include "admission.h"
#include "clock.h"

#include <string>

struct uv_loop_s;
typedef struct uv_loop_s uv_loop_t;

namespace gw {

class TFastPath;
class TMasters;

// What tunnels and relays need from the process around them: the one event loop, the
// clock, the one log sink, and the options they read. Tunnels and relays hold no
// reference to the settings or to the window; the control layer implements this.
class TEngineContext {
public:
  virtual ~TEngineContext() = default;

  virtual uv_loop_t* Loop() = 0;
  virtual const TClock& Clock() const = 0;
  virtual void AddLog(const std::string& text) = 0;
  // A static tunnel also listens on its port plus one, the query port.
  virtual bool AddPort() const = 0;
  // The kernel's fast path when the settings ask for it (loaded, or saying why not); null
  // when they do not.
  virtual TFastPath* FastPath() { return nullptr; }
  // The master servers that static tunnels are announced to; null when there are none.
  virtual TMasters* Masters() { return nullptr; }
  // Whether sources on this host's loopback (127.0.0.0/8, which no datagram from a network may
  // carry) are the host's own programs, a benchmark or a local tool, and so are not held to a
  // player's rate as a loop is. Tests of that rate, whose peers are all on loopback, say no.
  virtual bool TrustsLoopback() const { return true; }

  TTime Now() const { return Clock().Now(); }
  // What admission keeps for all the tunnels of this process.
  TProcessAdmission& Admission() { return admission_; }

private:
  TProcessAdmission admission_;
};

} // namespace gw

#include "uvPump.h"

#include <QAbstractEventDispatcher>

namespace gw {

TUvPump::TUvPump(uv_loop_t* loop)
    : loop_(loop), notifier_(uv_backend_fd(loop), QSocketNotifier::Read) {
  timer_.setSingleShot(true);
  connect(&notifier_, &QSocketNotifier::activated, this, &TUvPump::Pump);
  connect(&timer_, &QTimer::timeout, this, &TUvPump::Pump);
  // Sockets and timers that Qt handlers add reach libuv's poller only during a turn of
  // libuv, so one runs before Qt goes to sleep.
  connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this, &TUvPump::Pump);
}

void TUvPump::Pump() {
  // A handler inside libuv's turn may open a nested Qt loop (an error box), which would
  // ask for another turn; libuv's turns must not nest.
  if (pumping_) return;
  pumping_ = true;
  uv_run(loop_, UV_RUN_NOWAIT);
  pumping_ = false;
  const int timeout = uv_backend_timeout(loop_);
  if (timeout >= 0)
    timer_.start(timeout);
  else
    timer_.stop();
}

} // namespace gw

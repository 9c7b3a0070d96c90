#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <uv.h>

namespace gw {

// Runs the libuv loop inside Qt's: whenever libuv's descriptor is readable, its next timer
// is due, or Qt is about to wait, one non-blocking turn of libuv runs. Qt's nested loops
// (modal dialogs, message boxes, menus) pump it the same way, so the relay never pauses.
class TUvPump final : public QObject {
public:
  explicit TUvPump(uv_loop_t* loop);

private:
  void Pump();

  uv_loop_t* loop_;
  QSocketNotifier notifier_;
  QTimer timer_;
  bool pumping_ = false;
};

} // namespace gw

#include "uiTestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace gw::test {

namespace {

struct TPendingModal {
  std::function<void(QWidget&)> Act;
  QElapsedTimer Waited;
};

// Held only by the next queued poll, so it goes once the action ran or the wait failed.
void Poll(const std::shared_ptr<TPendingModal>& pending) {
  if (QWidget* modal = QApplication::activeModalWidget()) {
    pending->Act(*modal);
    return;
  }
  if (pending->Waited.elapsed() > 5000) {
    ADD_FAILURE() << "no modal window opened";
    return;
  }
  QTimer::singleShot(5, [pending] { Poll(pending); });
}

} // namespace

void WhenModal(std::function<void(QWidget& modal)> act) {
  auto pending = std::make_shared<TPendingModal>();
  pending->Act = std::move(act);
  pending->Waited.start();
  QTimer::singleShot(0, [pending] { Poll(pending); });
}

void ProcessEvents(int ms) {
  // A real (nested) loop that waits, as the program's does, so whatever hooks into the
  // loop's waiting runs too.
  QEventLoop loop;
  QTimer::singleShot(std::max(ms, 1), &loop, &QEventLoop::quit);
  loop.exec();
}

} // namespace gw::test

#pragma once

#include <QWidget>

#include <functional>

namespace gw::test {

// Arranges for `act` to run on the next modal window that opens (a dialog's exec or a
// message box), from inside its nested event loop. Call it before the code that opens it;
// a test fails if no modal window opens within a few seconds.
void WhenModal(std::function<void(QWidget& modal)> act);

// Runs a Qt event loop for `ms` milliseconds (at least one), waiting as a real loop does.
void ProcessEvents(int ms = 0);

} // namespace gw::test

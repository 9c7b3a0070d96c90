#pragma once

#include <QObject>

class QWidget;

namespace gw {

// Asks the window manager to keep `window` off the taskbar (_NET_WM_STATE_SKIP_TASKBAR).
// The state is set on the window before it is mapped and requested again once it is, since
// a mapped window's state belongs to the window manager. Does nothing off X11.
void KeepOffTaskbar(QWidget& window);

// Keeps every window of the program off the taskbar as it is shown: the main window, the
// dialogs and every message box, whoever opens them. Lives as long as the application.
class TOffTaskbar final : public QObject {
  Q_OBJECT
public:
  TOffTaskbar();

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace gw

#pragma once

#include <QMargins>
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

// The widths of the frame that the window manager puts around the top-level `window`, known
// before the window is first shown. On X11 the window manager is asked for them
// (_NET_REQUEST_FRAME_EXTENTS) and given a moment to answer; elsewhere, and when it does not
// answer, they are what Qt knows, which is nothing before the first showing.
QMargins FrameMargins(QWidget& window);

} // namespace gw

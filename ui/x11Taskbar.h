#pragma once

class QWidget;

namespace gw {

// Asks the window manager to keep `window` off the taskbar (_NET_WM_STATE_SKIP_TASKBAR).
// The state is set on the window before it is mapped and requested again once it is, since
// a mapped window's state belongs to the window manager. Does nothing off X11.
void KeepOffTaskbar(QWidget& window);

} // namespace gw

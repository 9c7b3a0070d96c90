#include "x11Window.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

namespace gw {

namespace {

template <typename T>
using TReply = std::unique_ptr<T, decltype(&std::free)>;

xcb_connection_t* X11Connection() {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 ? x11->connection() : nullptr;
}

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
  const xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
  const TReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// A request about `window` to the window manager, through the root window.
void SendToWindowManager(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t type,
                         const std::array<uint32_t, 5>& data) {
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window;
  message.type = type;
  std::copy(data.begin(), data.end(), message.data.data32);
  xcb_send_event(connection, 0, screen->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&message));
  xcb_flush(connection);
}

// _NET_FRAME_EXTENTS of `window`: left, right, top and bottom, once the window manager has set it.
std::optional<QMargins> FrameExtents(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t extents) {
  const xcb_get_property_cookie_t cookie = xcb_get_property(connection, 0, window, extents, XCB_ATOM_CARDINAL, 0, 4);
  const TReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection, cookie, nullptr), &std::free);
  if (!reply || reply->format != 32 || reply->type != XCB_ATOM_CARDINAL || xcb_get_property_value_length(reply.get()) != 16)
    return std::nullopt;
  const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
  return QMargins(static_cast<int>(v[0]), static_cast<int>(v[2]), static_cast<int>(v[1]), static_cast<int>(v[3]));
}

} // namespace

void KeepOffTaskbar(QWidget& window) {
  xcb_connection_t* connection = X11Connection();
  if (!connection) return;
  const auto id = static_cast<xcb_window_t>(window.winId());
  const xcb_atom_t state = Atom(connection, "_NET_WM_STATE");
  const xcb_atom_t skipTaskbar = Atom(connection, "_NET_WM_STATE_SKIP_TASKBAR");
  if (state == XCB_ATOM_NONE || skipTaskbar == XCB_ATOM_NONE) return;

  // Unmapped: the property itself is read when the window is mapped.
  xcb_change_property(connection, XCB_PROP_MODE_APPEND, id, state, XCB_ATOM_ATOM, 32, 1, &skipTaskbar);
  // Mapped: a request to add the state (1), from a normal application (1).
  SendToWindowManager(connection, id, state, {1, skipTaskbar, 0, 1, 0});
}

TOffTaskbar::TOffTaskbar() { qApp->installEventFilter(this); }

bool TOffTaskbar::eventFilter(QObject* watched, QEvent* event) {
  // A widget's show event comes before its window is mapped, so the window manager meets the
  // state with the window. Menus and tool tips never reach the taskbar; windows that bypass
  // the window manager (the tray icon's own) have no frame or taskbar entry to lose.
  if (event->type() == QEvent::Show && watched->isWidgetType()) {
    auto* widget = static_cast<QWidget*>(watched);
    const Qt::WindowType type = widget->windowType();
    if (widget->isWindow() && (type == Qt::Window || type == Qt::Dialog) &&
        !widget->windowFlags().testFlag(Qt::BypassWindowManagerHint))
      KeepOffTaskbar(*widget);
  }
  return false;
}

QMargins FrameMargins(QWidget& window) {
  const QMargins known(window.geometry().left() - window.frameGeometry().left(),
                       window.geometry().top() - window.frameGeometry().top(),
                       window.frameGeometry().right() - window.geometry().right(),
                       window.frameGeometry().bottom() - window.geometry().bottom());
  xcb_connection_t* connection = X11Connection();
  if (!connection) return known;
  const auto id = static_cast<xcb_window_t>(window.winId());
  const xcb_atom_t extents = Atom(connection, "_NET_FRAME_EXTENTS");
  if (const auto set = FrameExtents(connection, id, extents)) return *set;
  SendToWindowManager(connection, id, Atom(connection, "_NET_REQUEST_FRAME_EXTENTS"), {0, 0, 0, 0, 0});
  // The window manager sets the property at its next turn; a window manager that does not
  // know the request costs the first showing of each window a tenth of a second.
  for (int waited = 0; waited < 100; waited += 2) {
    if (const auto set = FrameExtents(connection, id, extents)) return *set;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return known;
}

} // namespace gw

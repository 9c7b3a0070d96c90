#include "uiStyle.h"

#include "x11Window.h"

#include <QFontMetrics>
#include <QScreen>
#include <QWidget>

namespace gw {

QFont ProgramFont() {
  QFont font("Sans Serif");
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  return font;
}

void MakeFixedDialog(QWidget& dialog, int width, int height) {
  dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                        Qt::WindowCloseButtonHint);
  dialog.setFixedSize(width, height);
  dialog.setFont(ProgramFont());
}

QFont FontToFit(const QString& text, int width) {
  QFont font = ProgramFont();
  while (font.pixelSize() > kSmallestFontSize && QFontMetrics(font).horizontalAdvance(text) > width)
    font.setPixelSize(font.pixelSize() - 1);
  return font;
}

void CentreOnScreen(QWidget& window) {
  if (const QScreen* screen = window.screen()) {
    // The frame is centred, not the client area. The client area is placed, not the frame:
    // Qt leaves a window's frame to the window manager's gravity, which it sets differently
    // before and after the native window exists.
    const QMargins margins = FrameMargins(window);
    QRect frame = QRect(QPoint(0, 0), window.size()).marginsAdded(margins);
    frame.moveCenter(screen->availableGeometry().center());
    window.setGeometry(QRect(frame.topLeft() + QPoint(margins.left(), margins.top()), window.size()));
  }
}

} // namespace gw

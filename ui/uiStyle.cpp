#include "uiStyle.h"

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

void CentreOnScreen(QWidget& window) {
  if (const QScreen* screen = window.screen()) {
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
  }
}

} // namespace gw

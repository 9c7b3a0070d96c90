#pragma once

#include <QFont>
#include <QString>

class QWidget;

namespace gw {

// The desktop's sans-serif face at 11 pixels, for every window of the program.
QFont ProgramFont();

constexpr int kSmallestFontSize = 8;
// The program's font, smaller by whole pixels, down to kSmallestFontSize, until `text` fits
// in `width` pixels: a text that must be read whole in a space made for a narrower font.
QFont FontToFit(const QString& text, int width);

// A fixed-size dialog frame with a client area of `width` x `height`: no minimize or
// maximize button, a close button, the program's font.
void MakeFixedDialog(QWidget& dialog, int width, int height);

// Centres a top-level window, frame included, on the screen it is on.
void CentreOnScreen(QWidget& window);

} // namespace gw

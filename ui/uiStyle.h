#pragma once

#include <QFont>

class QWidget;

namespace gw {

// The desktop's sans-serif face at 11 pixels, for every window of the program.
QFont ProgramFont();

// A fixed-size dialog frame with a client area of `width` x `height`: no minimize or
// maximize button, a close button, the program's font.
void MakeFixedDialog(QWidget& dialog, int width, int height);

// Centres a top-level window on the screen it is on.
void CentreOnScreen(QWidget& window);

} // namespace gw

#pragma once

#include <string>

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace gw {

// The frame the program's dialogs share: modal, fixed size, centred at every opening. No
// button is the default or the cancel button, so Enter and Escape never close the dialog on
// their own; Enter presses the button that has the focus, and the title bar's close button
// cancels.
class TFixedDialog : public QDialog {
  Q_OBJECT
public:
  TFixedDialog(int width, int height, QWidget* parent);

protected:
  // Centres the dialog, focuses its first control and runs it; true when confirmed.
  bool RunModal();
  // Puts the keyboard focus where each opening starts.
  virtual void FormActivate() = 0;
  void keyPressEvent(QKeyEvent* event) override;

  // Controls carry their names as object names, so that they can be found by them.
  // A 75 x 25 push button that is never pressed by Enter unless it has the focus, and that
  // ends the dialog with `onClick` (accept or reject).
  QPushButton* AddButton(const QString& name, const QString& caption, int left, int top, void (QDialog::*onClick)());
  // A field's text exactly as typed, through the program's one integer conversion.
  static int IntegerOf(const QLineEdit& field);
  // As IntegerOf, and a port (1 to 65535); otherwise raises naming the field and the value.
  static int PortOf(const QLineEdit& field, const std::string& name);
  // A label as wide as its text; "&" in `caption` moves the focus to `buddy`.
  static QLabel* AddLabel(QWidget& parent, const QString& caption, int left, int top, QWidget* buddy = nullptr);
  static QLineEdit* AddEdit(QWidget& parent, const QString& name, const QRect& geometry, const QString& hint);
};

} // namespace gw

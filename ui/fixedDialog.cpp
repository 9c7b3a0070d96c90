#include "fixedDialog.h"

#include "hints.h"
#include "intConv.h"
#include "settingsCheck.h"
#include "uiStyle.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <stdexcept>

namespace gw {

TFixedDialog::TFixedDialog(int width, int height, QWidget* parent) : QDialog(parent) {
  MakeFixedDialog(*this, width, height);
  // Modal to the window it belongs to, not to the whole program: the tray icon is a window
  // of the program too, and must answer while a dialog is open.
  setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
}

bool TFixedDialog::RunModal() {
  // Creating the native window first tells us the frame's size before the first showing.
  winId();
  CentreOnScreen(*this);
  FormActivate();
  return exec() == Accepted;
}

void TFixedDialog::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
  case Qt::Key_Escape:
    return;
  case Qt::Key_Return:
  case Qt::Key_Enter:
    // Buttons that are not auto-default pass Enter on to us instead of pressing themselves.
    if (auto* button = qobject_cast<QPushButton*>(focusWidget())) button->click();
    return;
  default:
    QDialog::keyPressEvent(event);
  }
}

QPushButton* TFixedDialog::AddButton(const QString& name, const QString& caption, int left, int top,
                                     void (QDialog::*onClick)()) {
  auto* button = new QPushButton(caption, this);
  button->setObjectName(name);
  button->setGeometry(left, top, 75, 25);
  // An auto-default button is drawn as the default one, promising an Enter that confirms.
  button->setAutoDefault(false);
  connect(button, &QPushButton::clicked, this, onClick);
  return button;
}

int TFixedDialog::IntegerOf(const QLineEdit& field) { return StrToInt(field.text().toStdString()); }

int TFixedDialog::PortOf(const QLineEdit& field, const std::string& name) {
  const int port = IntegerOf(field);
  if (!IsPort(port)) throw std::invalid_argument(name + " " + std::to_string(port) + " is " + kNotAPort);
  return port;
}

QLabel* TFixedDialog::AddLabel(QWidget& parent, const QString& caption, int left, int top, QWidget* buddy) {
  auto* label = new QLabel(caption, &parent);
  label->move(left, top);
  // With its buddy the "&" is no longer shown, so the label is sized after.
  if (buddy) label->setBuddy(buddy);
  label->adjustSize();
  return label;
}

QLineEdit* TFixedDialog::AddEdit(QWidget& parent, const QString& name, const QRect& geometry, const QString& hint) {
  auto* edit = new QLineEdit(&parent);
  edit->setObjectName(name);
  edit->setGeometry(geometry);
  SetHint(*edit, hint);
  return edit;
}

} // namespace gw

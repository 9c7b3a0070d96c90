#pragma once

#include "presenter.h"

#include <QMessageBox>
#include <QObject>

#include <deque>

namespace gw {

// Shows raised errors in the program's error box (title "Gatewarden", an error icon, OK)
// and unhandled socket messages in a plain box. Boxes are shown from Qt's loop, one at a
// time, never from inside the caller: an error raised in a relay callback must not stop
// the relay while its box is open, and a burst of errors must not stack boxes inside
// boxes. Every text also goes to standard error, so none is lost when boxes pile up.
class TDesktopPresenter final : public QObject, public TPresenter {
public:
  void ShowError(const std::string& text) override;
  void ShowMessage(const std::string& text) override;

  // Boxes waiting behind the one on screen; beyond this, texts only reach standard error.
  static constexpr std::size_t kMaxWaiting = 20;

private:
  struct TBox {
    QMessageBox::Icon Icon;
    QString Text;
  };
  void Enqueue(QMessageBox::Icon icon, const std::string& text);
  void ShowNext();

  std::deque<TBox> waiting_;
  bool showing_ = false;
};

} // namespace gw

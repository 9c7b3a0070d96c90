#include "desktopPresenter.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

namespace gw {

void TDesktopPresenter::ShowError(const std::string& text) { Enqueue(QMessageBox::Critical, ErrorBoxText(text)); }

void TDesktopPresenter::ShowMessage(const std::string& text) { Enqueue(QMessageBox::NoIcon, text); }

void TDesktopPresenter::Enqueue(QMessageBox::Icon icon, const std::string& text) {
  std::fprintf(stderr, "gatewarden: %s\n", text.c_str());
  if (waiting_.size() >= kMaxWaiting) return;
  waiting_.push_back({icon, QString::fromStdString(text)});
  if (!showing_) QTimer::singleShot(0, this, &TDesktopPresenter::ShowNext);
  showing_ = true;
}

void TDesktopPresenter::ShowNext() {
  while (!waiting_.empty()) {
    const TBox box = waiting_.front();
    waiting_.pop_front();
    QMessageBox message(box.Icon, "Gatewarden", box.Text, QMessageBox::Ok, QApplication::activeWindow());
    message.exec();
  }
  showing_ = false;
}

} // namespace gw

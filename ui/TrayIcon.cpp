#include "TrayIcon.h"

#include <QCursor>
#include <QMenu>

#include <algorithm>

namespace gw {

TTrayIcon::TTrayIcon(QObject* owner) : QObject(owner), systemIcon_(new QSystemTrayIcon(this)) {
  AnimationTimer.setInterval(100);
  connect(&AnimationTimer, &QTimer::timeout, this, &TTrayIcon::StepAnimation);
  // The menu is popped up here rather than handed to QSystemTrayIcon::setContextMenu, so
  // that OnRightClick can follow it once it has closed.
  connect(systemIcon_, &QSystemTrayIcon::activated, this, &TTrayIcon::HandleActivation);
}

TTrayIcon::~TTrayIcon() {
  if (active_) RemoveFromTray();
}

void TTrayIcon::SetActive(bool active) {
  if (active == active_) return;
  active_ = active;
  if (active_)
    ShowInTray();
  else
    RemoveFromTray();
}

void TTrayIcon::SetAnimate(bool animate) {
  // Restarting a running animation would save one of its own frames as the icon to go back
  // to, and stopping one that never ran has nothing to go back to.
  if (animate == Animate()) return;
  if (animate) {
    if (!active_ || !images_ || images_->Icons.isEmpty()) return;
    SavedIcon = icon_;
    FrameIndex = 0;
    AnimationTimer.start();
  } else {
    AnimationTimer.stop();
    SetIcon(SavedIcon);
  }
}

void TTrayIcon::SetAnimateInterval(int ms) {
  if (ms <= 0) return;
  AnimationTimer.setInterval(ms);
}

void TTrayIcon::SetIcon(const QIcon& icon) {
  icon_ = icon;
  UpdateTrayEntry();
}

void TTrayIcon::SetImages(TImageList* images) {
  if (images_) images_->disconnect(this);
  images_ = images;
  // By the time the list reports its end, images_ has already let go of it.
  if (images_) connect(images_, &QObject::destroyed, this, [this] { SetAnimate(false); });
}

void TTrayIcon::SetToolTip(const QString& text) {
  qsizetype length = std::min<qsizetype>(text.size(), MaxToolTipLength);
  // A cut between the halves of a surrogate pair would leave text that is not text.
  if (length < text.size() && text.at(length - 1).isHighSurrogate()) --length;
  toolTip_ = text.left(length);
  UpdateTrayEntry();
}

QMenu* TTrayIcon::PopupMenu() const { return popupMenu_; }

void TTrayIcon::SetPopupMenu(QMenu* menu) { popupMenu_ = menu; }

void TTrayIcon::HandleActivation(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
  case QSystemTrayIcon::Trigger:
    if (OnClick) OnClick();
    break;
  case QSystemTrayIcon::DoubleClick:
    if (OnDblClick) OnDblClick();
    break;
  case QSystemTrayIcon::Context:
    PopupAtCursor();
    break;
  default:
    break;
  }
}

void TTrayIcon::ShowInTray() {
  UpdateTrayEntry();
  systemIcon_->show();
}

void TTrayIcon::UpdateTrayEntry() {
  if (!active_) return;
  systemIcon_->setIcon(icon_);
  systemIcon_->setToolTip(toolTip_);
}

void TTrayIcon::RemoveFromTray() { systemIcon_->hide(); }

void TTrayIcon::PopupAtCursor() {
  const QPoint pos = QCursor::pos();
  if (popupMenu_) {
    // The menu runs its own event loop, in which an item's action may destroy this icon
    // together with its owner.
    const QPointer<TTrayIcon> alive(this);
    popupMenu_->exec(pos);
    if (!alive) return;
  }
  if (OnRightClick) OnRightClick(pos);
}

void TTrayIcon::StepAnimation() {
  // The list may have been emptied or swapped for none while the animation ran.
  if (!images_ || images_->Icons.isEmpty()) {
    SetAnimate(false);
    return;
  }
  FrameIndex = FrameIndex + 1 < images_->Icons.size() ? FrameIndex + 1 : 0;
  SetIcon(images_->Icons.at(FrameIndex));
}

} // namespace gw

#pragma once

#include <QIcon>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>

class QMenu;

namespace gw {

// The frames of a tray icon animation. Tray icons refer to a list without owning it; when
// the list is destroyed, every tray icon animating from it stops and forgets it.
class TImageList final : public QObject {
  Q_OBJECT
public:
  explicit TImageList(QObject* parent = nullptr) : QObject(parent) {}

  QList<QIcon> Icons;
};

// The program's icon in the desktop's notification area: its picture and tool tip, its
// clicks as events, a popup menu on a right click, and an optional animation through the
// icons of an image list. It is destroyed with its owner, which removes the icon.
class TTrayIcon final : public QObject {
  Q_OBJECT
public:
  static constexpr int MaxToolTipLength = 62;

  explicit TTrayIcon(QObject* owner);
  ~TTrayIcon() override;

  bool Active() const { return active_; }
  // True puts the icon into the notification area, false takes it out.
  void SetActive(bool active);

  bool Animate() const { return AnimationTimer.isActive(); }
  // Starting is refused unless the icon is active and Images holds an icon. Stopping puts
  // back the icon from before the animation; when none runs, the icon is left alone.
  void SetAnimate(bool animate);

  int AnimateInterval() const { return AnimationTimer.interval(); }
  // Milliseconds between two frames; 0 or less is ignored.
  void SetAnimateInterval(int ms);

  const QIcon& Icon() const { return icon_; }
  // While inactive the picture is only kept, and shows at the next activation.
  void SetIcon(const QIcon& icon);

  TImageList* Images() const { return images_; }
  void SetImages(TImageList* images);

  const QString& ToolTip() const { return toolTip_; }
  // Keeps the first MaxToolTipLength characters.
  void SetToolTip(const QString& text);

  QMenu* PopupMenu() const;
  // Not owned; a menu destroyed meanwhile is simply not shown.
  void SetPopupMenu(QMenu* menu);

  std::function<void()> OnClick;
  std::function<void()> OnDblClick;
  // Fires after the popup menu, if any, has closed, with the pointer's position at the click.
  std::function<void(const QPoint& screenPos)> OnRightClick;

  // What the desktop reports for the icon. On most desktops a double click comes after a
  // click, so both events fire.
  void HandleActivation(QSystemTrayIcon::ActivationReason reason);

  // What the notification area has been given, as opposed to the properties above.
  bool Visible() const { return systemIcon_->isVisible(); }
  QIcon ShownIcon() const { return systemIcon_->icon(); }
  QString ShownToolTip() const { return systemIcon_->toolTip(); }

private:
  void ShowInTray();
  void UpdateTrayEntry();
  void RemoveFromTray();
  void PopupAtCursor();
  void StepAnimation();

  QSystemTrayIcon* systemIcon_; // a child, so it goes after this has taken it away
  bool active_ = false;
  QIcon icon_;
  QPointer<TImageList> images_;
  QString toolTip_;
  QPointer<QMenu> popupMenu_;

  QIcon SavedIcon;
  int FrameIndex = 0;
  QTimer AnimationTimer;
};

} // namespace gw

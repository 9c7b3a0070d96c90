#pragma once

#include <QObject>
#include <QString>

class QWidget;

namespace gw {

// Gives `widget` a hint: the text the main window's status bar shows while the pointer is
// over it. Hints are never tool tips.
void SetHint(QWidget& widget, const QString& hint);
// The hint of `widget`, or of its nearest enclosing widget that has one; empty for none.
QString HintOf(const QWidget* widget);

// The application-wide hint text: the hint of whatever the pointer is over, in any window
// of the program. It follows the pointer through enter and leave events of every widget.
class THintTracker final : public QObject {
  Q_OBJECT
public:
  explicit THintTracker(QObject* parent = nullptr);
  const QString& Hint() const { return hint_; }

signals:
  void HintChanged();

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void Update(const QString& hint);
  QString hint_;
};

} // namespace gw

#include "hints.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QWidget>

namespace gw {

namespace {
constexpr const char* kHintProperty = "gatewardenHint";
}

void SetHint(QWidget& widget, const QString& hint) { widget.setProperty(kHintProperty, hint); }

QString HintOf(const QWidget* widget) {
  for (; widget; widget = widget->parentWidget()) {
    const QString hint = widget->property(kHintProperty).toString();
    if (!hint.isEmpty()) return hint;
  }
  return {};
}

THintTracker::THintTracker(QObject* parent) : QObject(parent) { qApp->installEventFilter(this); }

bool THintTracker::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Enter) {
    if (const auto* widget = qobject_cast<QWidget*>(watched)) Update(HintOf(widget));
  } else if (event->type() == QEvent::Leave) {
    // Leaving one widget may mean entering its parent, which gets no enter event.
    Update(HintOf(QApplication::widgetAt(QCursor::pos())));
  }
  return false;
}

void THintTracker::Update(const QString& hint) {
  if (hint == hint_) return;
  hint_ = hint;
  emit HintChanged();
}

} // namespace gw

#include "anchors.h"

#include <QWidget>

namespace gw {

void TAnchors::Place(QWidget& control, const QRect& geometry, int edges, const QSize& clientSize) {
  control.setGeometry(geometry);
  controls_.push_back({&control, geometry, edges, clientSize});
}

void TAnchors::Apply(const QSize& clientSize) const {
  for (const TAnchored& a : controls_) {
    const int grownX = clientSize.width() - a.ClientSize.width();
    const int grownY = clientSize.height() - a.ClientSize.height();
    QRect g = a.Geometry;
    if ((a.Edges & Right) && (a.Edges & Left))
      g.setWidth(g.width() + grownX);
    else if (a.Edges & Right)
      g.moveLeft(g.left() + grownX);
    if ((a.Edges & Bottom) && (a.Edges & Top))
      g.setHeight(g.height() + grownY);
    else if (a.Edges & Bottom)
      g.moveTop(g.top() + grownY);
    a.Control->setGeometry(g);
  }
}

} // namespace gw

#pragma once

#include <QRect>
#include <QSize>
#include <vector>

class QWidget;

namespace gw {

// Keeps child controls at fixed distances from the edges of their parent's client area as
// it is resized: anchored left and right a control stretches, anchored only right it moves.
class TAnchors {
public:
  enum TEdge { Left = 1, Top = 2, Right = 4, Bottom = 8 };

  // Records `control` at `geometry` in a client area of `clientSize`.
  void Place(QWidget& control, const QRect& geometry, int edges, const QSize& clientSize);
  // Lays every recorded control out for a client area of `clientSize`.
  void Apply(const QSize& clientSize) const;

private:
  struct TAnchored {
    QWidget* Control;
    QRect Geometry;
    int Edges;
    QSize ClientSize;
  };
  std::vector<TAnchored> controls_;
};

} // namespace gw

#pragma once

#include "clock.h"
#include "counts.h"

#include <QChartView>

#include <deque>
#include <optional>

class QLineSeries;
class QValueAxis;

namespace gw {

// Datagrams per second each way over the last few minutes, drawn by Qt Charts: a point for
// every Add, at its age in seconds, the newest at the right edge.
class TRateChart final : public QChartView {
  Q_OBJECT
public:
  explicit TRateChart(QWidget* parent);

  // What the chart covers, and so how much it keeps.
  static constexpr std::chrono::minutes kSpan{5};

  // `traffic` is the running total at `at`; the point is the rate since the previous Add.
  // The first after Clear only sets where the rates start from.
  void Add(TTime at, const TRelayCounts& traffic);
  // Forgets every point and the last total.
  void Clear();

  QLineSeries* ToServer;
  QLineSeries* ToClients;

private:
  struct TRate {
    TTime At;
    double ToServer;
    double ToClients;
  };
  struct TTotal {
    TTime At;
    TRelayCounts Traffic;
  };
  // Redraws the points at their ages as of the newest one.
  void Draw();

  std::optional<TTotal> last_;
  std::deque<TRate> rates_;
  QValueAxis* age_;
  QValueAxis* rate_;
};

} // namespace gw

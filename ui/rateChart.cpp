#include "rateChart.h"

#include "uiStyle.h"

#include <QGraphicsLayout>
#include <QLineSeries>
#include <QValueAxis>

#include <algorithm>

namespace gw {

namespace {

// The rate axis never shrinks below this, so a trickle does not look like a flood.
constexpr double kLeastRateScale = 5;
// The time axis spans whole minutes, from one up to the chart's span, as the points
// accumulate: a window just opened shows its first seconds across a readable width.
constexpr std::chrono::minutes kLeastSpan{1};

double PerSecond(uint64_t now, uint64_t before, double seconds) {
  return static_cast<double>(now - before) / seconds;
}

} // namespace

TRateChart::TRateChart(QWidget* parent)
    // Given its chart from the start: a chart view made without one makes its own, which a
    // later setChart leaves to the caller to free.
    : QChartView(new QChart, parent), ToServer(new QLineSeries), ToClients(new QLineSeries), age_(new QValueAxis),
      rate_(new QValueAxis) {
  QChart* chart = this->chart();
  chart->setMargins(QMargins(4, 4, 4, 4));
  chart->layout()->setContentsMargins(0, 0, 0, 0);
  chart->setBackgroundRoundness(0);
  chart->legend()->setAlignment(Qt::AlignTop);
  chart->legend()->setFont(ProgramFont());
  ToServer->setName("Datagrams per second to the server");
  ToClients->setName("Datagrams per second to clients");
  for (QLineSeries* series : {ToServer, ToClients}) chart->addSeries(series);

  // Ages count up leftwards, so the newest second stands at the right.
  age_->setReverse(true);
  age_->setTickType(QValueAxis::TicksDynamic);
  age_->setTickAnchor(0);
  age_->setLabelFormat("%.0f s ago");
  rate_->setLabelFormat("%.0f");
  rate_->setRange(0, kLeastRateScale);
  for (QValueAxis* axis : {age_, rate_}) axis->setLabelsFont(ProgramFont());
  chart->addAxis(age_, Qt::AlignBottom);
  chart->addAxis(rate_, Qt::AlignLeft);
  for (QLineSeries* series : {ToServer, ToClients}) {
    series->attachAxis(age_);
    series->attachAxis(rate_);
  }
  setRenderHint(QPainter::Antialiasing);
}

void TRateChart::Add(TTime at, const TRelayCounts& traffic) {
  if (last_) {
    const double seconds = std::chrono::duration<double>(at - last_->At).count();
    // Two totals in one instant tell no rate.
    if (seconds <= 0) return;
    rates_.push_back({at, PerSecond(traffic.ToServer.Datagrams, last_->Traffic.ToServer.Datagrams, seconds),
                      PerSecond(traffic.ToClient.Datagrams, last_->Traffic.ToClient.Datagrams, seconds)});
    while (at - rates_.front().At > kSpan) rates_.pop_front();
  }
  last_ = TTotal{at, traffic};
  Draw();
}

void TRateChart::Clear() {
  last_.reset();
  rates_.clear();
  Draw();
}

void TRateChart::Draw() {
  QList<QPointF> toServer, toClients;
  double highest = kLeastRateScale;
  for (const TRate& rate : rates_) {
    const double age = std::chrono::duration<double>(rates_.back().At - rate.At).count();
    toServer.append({age, rate.ToServer});
    toClients.append({age, rate.ToClients});
    highest = std::max({highest, rate.ToServer, rate.ToClients});
  }
  ToServer->replace(toServer);
  ToClients->replace(toClients);
  const auto oldest = rates_.empty() ? TTime::duration{} : rates_.back().At - rates_.front().At;
  const auto span = std::clamp(std::chrono::ceil<std::chrono::minutes>(oldest), kLeastSpan,
                               std::chrono::duration_cast<std::chrono::minutes>(kSpan));
  age_->setRange(0, static_cast<double>(std::chrono::seconds(span).count()));
  age_->setTickInterval(span.count() == 1 ? 10 : span.count() <= 3 ? 30 : 60);
  rate_->setRange(0, highest * 1.1);
  rate_->applyNiceNumbers();
}

} // namespace gw

#include "details.h"

#include "config.h"
#include "core.h"
#include "masters.h"
#include "presenter.h"
#include "rateChart.h"
#include "server.h"
#include "uiStyle.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace gw {

namespace {

constexpr QSize kInitialSize{600, 400};
constexpr std::chrono::milliseconds kRefreshInterval{1000};
// The rows are written anew at every reading; past this many, writing them would cost the
// relay's one thread more than they tell anyone, who reads the first screens at most.
constexpr int kMaxRows = 1000;

enum TColumn { Client, Since, DatagramsToServer, BytesToServer, DatagramsToClient, BytesToClient, LastSeen, CarriedBy,
               ColumnCount };

// The wall-clock time of `at`, a time of the engine's clock, which is now `now`.
QString WallClock(TTime at, TTime now, const QDateTime& wallNow) {
  const QDateTime wall = wallNow.addMSecs(-std::chrono::duration_cast<std::chrono::milliseconds>(now - at).count());
  return wall.toString(wall.date() == wallNow.date() ? "HH:mm:ss" : "yyyy-MM-dd HH:mm:ss");
}

QString SecondsAgo(TTime at, TTime now) {
  return QString::number(std::chrono::duration_cast<std::chrono::seconds>(now - at).count()) + " s ago";
}

QString Number(uint64_t value) { return QString::number(value); }

} // namespace

TfmDetails::TfmDetails(TCore& core, QWidget* parent) : QWidget(parent), core_(core) {
  // A dialog of the main window, though not modal: it stays in front of it. No minimize
  // button: a window without a taskbar button would have no way back.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(ProgramFont());
  resize(kInitialSize);

  lbState = new QLabel(this);
  lbMasters = new QLabel(this);
  lbMasters->setWordWrap(true);
  lvRelays = new QTreeWidget(this);
  lvRelays->setColumnCount(ColumnCount);
  lvRelays->setHeaderLabels({"Client", "Since", "Datagrams\nto server", "Bytes\nto server", "Datagrams\nto client",
                             "Bytes\nto client", "Last seen", "Carried by"});
  const int widths[] = {110, 56, 64, 70, 64, 70, 56, 56};
  for (int column = 0; column < ColumnCount; ++column) lvRelays->setColumnWidth(column, widths[column]);
  lvRelays->setRootIsDecorated(false);
  lvRelays->setUniformRowHeights(true);
  lvRelays->setSelectionMode(QAbstractItemView::NoSelection);
  lvRelays->setFocusPolicy(Qt::NoFocus);
  chTraffic = new TRateChart(this);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  layout->addWidget(lbState);
  layout->addWidget(lbMasters);
  layout->addWidget(lvRelays, 2);
  layout->addWidget(chTraffic, 3);

  tmRefresh.setInterval(kRefreshInterval);
  connect(&tmRefresh, &QTimer::timeout, this, [this] { RunGuarded([this] { tmRefreshTimer(); }); });
}

void TfmDetails::ShowTunnel(const TServer* tunnel) {
  tunnel_ = tunnel;
  chTraffic->Clear();
  lvRelays->clear();
  const TServer* found = Lookup();
  setWindowTitle("Tunnel " + (found ? QString::fromStdString(found->Describe()) : QString()));
  tmRefreshTimer();
  if (!placed_) {
    // Creating the native window first tells the frame's size before the first showing.
    winId();
    CentreOnScreen(*this);
    placed_ = true;
  }
  show();
  raise();
  activateWindow();
}

void TfmDetails::TunnelsChanged() {
  if (tunnel_ && !Lookup()) ShowGone();
}

void TfmDetails::HideWithProgram() {
  if (!isVisible()) return;
  hiddenWithProgram_ = true;
  hide();
}

void TfmDetails::ShowWithProgram() {
  if (!std::exchange(hiddenWithProgram_, false)) return;
  show();
  if (isMinimized()) showNormal();
}

void TfmDetails::tmRefreshTimer() {
  const TServer* tunnel = Lookup();
  if (!tunnel) {
    ShowGone();
    return;
  }
  const TTime now = core_.Now();
  const TRelayCounts traffic = tunnel->Traffic();
  chTraffic->Add(now, traffic);
  FillRelays(*tunnel, now);
  FillMasters(*tunnel, now);
  const int relays = tunnel->ClientCount();
  QString state = QString::number(relays) + (relays == 1 ? " relay" : " relays");
  if (relays > kMaxRows) state += ", the first " + QString::number(kMaxRows) + " shown";
  lbState->setText(state + ". In all " + Number(traffic.ToServer.Datagrams) + " datagrams (" +
                   Number(traffic.ToServer.Bytes) + " bytes) to the server, " + Number(traffic.ToClient.Datagrams) +
                   " (" + Number(traffic.ToClient.Bytes) + " bytes) to clients.");
}

const TServer* TfmDetails::Lookup() const {
  TConfig& config = core_.Config();
  for (int i = 0; i < config.Count(); ++i)
    if (&config.Items(i) == tunnel_) return tunnel_;
  return nullptr;
}

void TfmDetails::ShowGone() {
  // Once gone, for good: whatever is later made at the same address is another tunnel.
  tunnel_ = nullptr;
  tmRefresh.stop();
  lvRelays->clear();
  lbMasters->clear();
  lbState->setText("This tunnel has been deleted.");
}

void TfmDetails::FillRelays(const TServer& tunnel, TTime now) {
  const auto& relays = tunnel.Relays();
  const int rows = static_cast<int>(std::min<std::size_t>(relays.size(), kMaxRows));
  // Rows are rewritten in place, so the list keeps its scroll position from one second to
  // the next.
  while (lvRelays->topLevelItemCount() > rows) delete lvRelays->takeTopLevelItem(rows);
  while (lvRelays->topLevelItemCount() < rows) {
    auto* item = new QTreeWidgetItem(lvRelays);
    for (int column = DatagramsToServer; column <= BytesToClient; ++column)
      item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
  }
  const QDateTime wallNow = QDateTime::currentDateTime();
  auto entry = relays.begin();
  for (int row = 0; row < rows; ++row, ++entry) {
    const TClient& relay = **entry;
    const TRelayCounts counts = relay.Traffic();
    QTreeWidgetItem& item = *lvRelays->topLevelItem(row);
    item.setText(Client, QString::fromStdString(relay.PeerIP) + ":" + QString::number(relay.Peer.Port));
    item.setText(Since, WallClock(relay.Since, now, wallNow));
    item.setText(DatagramsToServer, Number(counts.ToServer.Datagrams));
    item.setText(BytesToServer, Number(counts.ToServer.Bytes));
    item.setText(DatagramsToClient, Number(counts.ToClient.Datagrams));
    item.setText(BytesToClient, Number(counts.ToClient.Bytes));
    item.setText(LastSeen, SecondsAgo(relay.LastActivity, now));
    item.setText(CarriedBy, relay.KernelPath ? "kernel" : "sockets");
  }
}

void TfmDetails::FillMasters(const TServer& tunnel, TTime now) {
  if (core_.Masters()->List().empty()) {
    lbMasters->setText("No master servers in the settings: the tunnel is not announced.");
    return;
  }
  const auto& announcements = tunnel.Heartbeats().Announcements();
  if (announcements.empty()) {
    lbMasters->setText("Not announced to the master servers.");
    return;
  }
  const QDateTime wallNow = QDateTime::currentDateTime();
  QStringList masters;
  for (const THeartbeats::TAnnouncement& announcement : announcements)
    masters << QString::fromStdString(announcement.Master) +
                   (announcement.Sent == 0 ? QString(", no heartbeat yet")
                                           : ", last heartbeat " + WallClock(announcement.LastSent, now, wallNow) + " (" +
                                                 Number(announcement.Sent) + " sent)");
  lbMasters->setText("Announced to " + masters.join("; ") + ".");
}

void TfmDetails::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (tunnel_) tmRefresh.start();
}

void TfmDetails::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  tmRefresh.stop();
  // The rates start afresh at the next showing rather than span the time it was hidden.
  chTraffic->Clear();
}

void TfmDetails::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  tunnel_ = nullptr;
  lvRelays->clear();
}

} // namespace gw

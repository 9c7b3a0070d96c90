#pragma once

#include "clock.h"

#include <QTimer>
#include <QWidget>

class QLabel;
class QTreeWidget;

namespace gw {

class TCore;
class TRateChart;
class TServer;

// The live view of one static tunnel: its relays with what each carried, and a chart of
// its datagrams per second each way. It reads the engine's counts once a second while it is
// shown and does nothing at all while it is not. It never holds on to the tunnel: every
// reading looks the tunnel up in the settings again, so a tunnel deleted meanwhile is told,
// never touched.
class TfmDetails final : public QWidget {
  Q_OBJECT
public:
  TfmDetails(TCore& core, QWidget* parent);

  // Shows the tunnel from now on and brings the window to the front. `tunnel` is only
  // compared with the tunnels of the settings: it may already be gone.
  void ShowTunnel(const TServer* tunnel);
  // The list of tunnels may have changed. A tunnel that went is told now, before another
  // can be made in its place in memory and be taken for it.
  void TunnelsChanged();
  // The program left the screen (the main window was minimized), and came back.
  void HideWithProgram();
  void ShowWithProgram();

  // One reading of the tunnel's counts; once a second while the window is shown.
  void tmRefreshTimer();

  QLabel* lbState;
  // The master servers the tunnel is announced to, and when each last heard of it.
  QLabel* lbMasters;
  QTreeWidget* lvRelays;
  TRateChart* chTraffic;
  QTimer tmRefresh;

protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  // The tunnel, when it is still one of the settings' tunnels.
  const TServer* Lookup() const;
  void ShowGone();
  void FillRelays(const TServer& tunnel, TTime now);
  void FillMasters(const TServer& tunnel, TTime now);

  TCore& core_;
  // Identity only: dereferenced through Lookup alone.
  const TServer* tunnel_ = nullptr;
  bool placed_ = false;
  bool hiddenWithProgram_ = false;
};

} // namespace gw

#pragma once

#include "anchors.h"
#include "frontEnd.h"
#include "hints.h"
#include "remoteListener.h"

#include <QMenu>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTreeWidget;

namespace gw {

class TCore;
class TServer;
class TTrayIcon;
class TfmAbout;
class TfmConfig;
class TfmDetails;
class TfmServer;

// The main window: the static tunnels with their connection counts, the log, the status
// bar and the buttons. It hosts the remote-control listener and the tray icon, and hides the
// program entirely when minimized.
class TfmMain final : public QWidget, public TFrontEnd {
  Q_OBJECT
public:
  // Sets the window up, attaches to the core and runs its start-up; an error raised there
  // is shown and the rest of the start-up is skipped. The dialogs are created last.
  explicit TfmMain(TCore& core);
  ~TfmMain() override;

  void AppendLog(const std::string& line) override;
  void RefreshTunnelList() override;
  void SetCaption(const std::string& caption) override;
  TRemoteListener& RemoteListener() override { return ssRemote; }

  void ShowMainWindow();
  void sbMainHint();

  QTreeWidget* lvServers;
  QPlainTextEdit* meLog;
  QPushButton* btReload;
  QPushButton* btAdd;
  QPushButton* btEdit;
  QPushButton* btDelete;
  QPushButton* btConfig;
  QPushButton* btAbout;
  QPushButton* btQuit;
  QStatusBar* sbMain;
  QMenu pmTray;
  // A right click on a tunnel's row: its details.
  QMenu pmServers;
  TTrayIcon* TrayIcon;
  std::unique_ptr<TfmServer> fmServer;
  std::unique_ptr<TfmConfig> fmConfig;
  std::unique_ptr<TfmAbout> fmAbout;
  // Made at its first opening.
  std::unique_ptr<TfmDetails> fmDetails;
  int StaticConnCount = 0;

  void btReloadClick();
  void btAddClick();
  void btEditClick();
  void btDeleteClick();
  void btConfigClick();
  void btAboutClick();
  void btQuitClick();
  void lvServersContextPopup(const QPoint& at);
  void DetailsClick();

protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  QPushButton* MakeButton(const QString& caption, const QString& hint, const QRect& geometry, int anchors,
                          void (TfmMain::*handler)());
  // The row selected in the list, or -1.
  int SelectedRow() const;
  void ShowSoon();
  // Shows the log lines and the tunnel list refresh gathered since the last showing.
  void ShowPending();
  void FillTunnelList();
  // "the default password" or "an empty password" while remote control listens with it;
  // empty otherwise.
  std::string GuessablePassword() const;
  // Says so in the log, once for each such password, with how to change it, and in the tray
  // icon's tool tip for as long as it holds; the status bar keeps its counts.
  void TellRemoteControlRisk();

  TCore& core_;
  // The guessable password the log last told of; empty when none.
  std::string toldRisk_;
  TRemoteListener ssRemote;
  THintTracker hints_;
  TAnchors anchors_;
  QLabel* temporaryPanel_;
  QLabel* staticPanel_;
  // Lines logged, and whether the list was asked to be refreshed, since the last showing.
  QStringList pendingLog_;
  bool listStale_ = false;
  QTimer showTimer_;
  // The tunnel whose row the menu of the list was opened on; compared, never dereferenced.
  const TServer* popupTunnel_ = nullptr;
};

} // namespace gw

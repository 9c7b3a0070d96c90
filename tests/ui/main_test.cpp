#include "TrayIcon.h"
#include "cfgwin.h"
#include "core.h"
#include "details.h"
#include "hints.h"
#include "loopHarness.h"
#include "main.h"
#include "rateChart.h"
#include "recordingPresenter.h"
#include "svmap.h"
#include "tcpPeer.h"
#include "tempFolder.h"
#include "udpPeer.h"
#include "uiTestSupport.h"
#include "uvPump.h"

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace gw {
namespace {

using test::TUdpPeer;

// The main window over a core on a real loop, pumped from Qt's loop as in the program.
struct TWindowFixture : ::testing::Test {
  void Open(const std::string& settings) {
    test::TTempFolder::Write(Folder / "gatewarden.ini", settings);
    Core = std::make_unique<TCore>(Context.Loop(), Folder / "gatewarden.ini", Context.ManualClock);
    Pump = std::make_unique<TUvPump>(Context.Loop());
    Window = std::make_unique<TfmMain>(*Core);
    Window->show();
    Shown();
  }
  void TearDown() override {
    Window.reset();
    Pump.reset();
    Core.reset();
  }

  // Static tunnels on free ports in front of `server`, with the remote control off.
  std::string Settings(const std::vector<int>& ports) const {
    std::string text = "[RemoteAdmin]\nTemporary=0\n[Tunnels]\n";
    for (std::size_t i = 0; i < ports.size(); ++i)
      text += "Server" + std::to_string(i) + "=" + std::to_string(ports[i]) + " 127.0.0.1:" +
              std::to_string(Server.Port()) + "\n";
    return text;
  }

  // The window shows log lines and list refreshes a moment after they came.
  static void Shown() { test::ProcessEvents(150); }

  // Runs Qt's loop until `done` holds (it is asked once per turn), for three seconds at most.
  bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 300; ++i) {
      if (done()) return true;
      test::ProcessEvents(10);
    }
    return false;
  }
  QString Cell(int row, int column) const { return Window->lvServers->topLevelItem(row)->text(column); }
  QString Panel(int index) const { return Window->sbMain->findChildren<QLabel*>().at(index)->text(); }
  void Select(int row) { Window->lvServers->topLevelItem(row)->setSelected(true); }
  // A right click on the row, then "Details".
  TfmDetails& OpenDetails(int row) {
    QWidget* rows = Window->lvServers->viewport();
    const QPoint at = Window->lvServers->visualItemRect(Window->lvServers->topLevelItem(row)).center();
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, rows->mapToGlobal(at));
    QApplication::sendEvent(rows, &click);
    EXPECT_TRUE(Window->pmServers.isVisible());
    Window->pmServers.actions().front()->trigger();
    Window->pmServers.close();
    return *Window->fmDetails;
  }

  test::TTestContext Context;
  test::TTempFolder Folder;
  test::TRecordingPresenter Presenter;
  TUdpPeer Server;
  std::unique_ptr<TCore> Core;
  std::unique_ptr<TUvPump> Pump;
  std::unique_ptr<TfmMain> Window;
};

TEST_F(TWindowFixture, StartsWithTheTunnelsListedAndZeroCounts) {
  const int first = test::FreeUdpPortPair(), second = test::FreeUdpPortPair();
  Open(Settings({first, second}));

  EXPECT_EQ(Window->windowTitle(), "Gatewarden 3.0");
  ASSERT_EQ(Window->lvServers->topLevelItemCount(), 2);
  EXPECT_EQ(Cell(0, 0), QString::number(first));
  EXPECT_EQ(Cell(1, 1), "127.0.0.1");
  EXPECT_EQ(Cell(1, 2), QString::number(Server.Port()));
  EXPECT_EQ(Cell(1, 3), "0");
  EXPECT_EQ(Panel(0), " Temporary tunnels in use: 0");
  EXPECT_EQ(Panel(1), " Static tunnels in use: 0");
  Shown();
  EXPECT_EQ(Window->meLog->toPlainText().count("Tunnel open on "), 2);
  EXPECT_EQ(Window->minimumSize(), Window->size());
  EXPECT_FALSE(Window->windowFlags() & Qt::WindowMaximizeButtonHint);
}

// Open to anyone who guesses the password: said in the log, with the way out, and in the tray
// icon's tool tip until the password is changed, while the status bar keeps its counts.
TEST_F(TWindowFixture, RemoteControlOpenWithTheDefaultPasswordIsToldInTheLogAndTheTray) {
  const int port = test::FreeTcpPort();
  Open("[RemoteAdmin]\nPort=" + std::to_string(port) + "\n");
  EXPECT_EQ(Window->sbMain->currentMessage(), "");
  EXPECT_EQ(Panel(0), " Temporary tunnels in use: 0");
  EXPECT_EQ(Window->TrayIcon->ToolTip(), "Remote control is open with the default password");
  const QString told = QString::fromStdString("Remote control listens on TCP port " + std::to_string(port) +
                                              " of every address with the default password: set a password of "
                                              "your own under Options");
  EXPECT_EQ(Window->meLog->toPlainText().count(told), 1) << Window->meLog->toPlainText().toStdString();

  // Options confirmed without a new password: told once is enough.
  test::WhenModal([&](QWidget&) { Window->fmConfig->btOk->click(); });
  Window->btConfigClick();
  Shown();
  EXPECT_EQ(Window->meLog->toPlainText().count(told), 1);
  test::WhenModal([&](QWidget&) {
    Window->fmConfig->edPassword->setText("a secret");
    Window->fmConfig->btOk->click();
  });
  Window->btConfigClick();
  EXPECT_EQ(Window->TrayIcon->ToolTip(), "");
}

TEST_F(TWindowFixture, CountsFollowTheLog) {
  const int port = test::FreeUdpPortPair();
  Open(Settings({port}));
  TUdpPeer a, b;
  a.SendTo(static_cast<uint16_t>(port), "x");
  b.SendTo(static_cast<uint16_t>(port), "y");
  // A client counts once its server has answered it.
  ASSERT_TRUE(WaitFor([&] {
    if (const auto got = Server.TryReceive()) Server.SendTo(got->FromPort, "welcome");
    return Cell(0, 3) == "2";
  }));
  EXPECT_EQ(Panel(1), " Static tunnels in use: 2");

  Core->Manager().CreateTemporaryTunnel("127.0.0.1", 7777);
  Shown();
  EXPECT_EQ(Panel(0), " Temporary tunnels in use: 1");
}

TEST_F(TWindowFixture, HintsReplaceThePanelsWhileThePointerIsOverAHintedControl) {
  Open(Settings({}));
  QEvent enter(QEvent::Enter);
  QApplication::sendEvent(Window->btDelete, &enter);
  EXPECT_EQ(Window->sbMain->currentMessage(), " Delete a static tunnel");

  QApplication::sendEvent(Window->lvServers->viewport(), &enter);
  EXPECT_EQ(Window->sbMain->currentMessage(), "");
  EXPECT_EQ(Panel(0), " Temporary tunnels in use: 0");
  EXPECT_TRUE(Window->btDelete->toolTip().isEmpty()) << "hints are never tool tips";
}

// Some hints are wider than the status bar in the desktop's font; each must be read whole.
TEST_F(TWindowFixture, EveryHintOfEveryWindowIsShownWholeAtTheDefaultSize) {
  Open(Settings({}));
  int hinted = 0;
  for (QWidget* window : std::initializer_list<QWidget*>{Window.get(), Window->fmServer.get(), Window->fmConfig.get()}) {
    for (QWidget* control : window->findChildren<QWidget*>()) {
      if (HintOf(control).isEmpty()) continue;
      ++hinted;
      QEvent enter(QEvent::Enter);
      QApplication::sendEvent(control, &enter);
      test::ProcessEvents();
      const QString shown = Window->sbMain->currentMessage();
      EXPECT_EQ(shown, " " + HintOf(control));
      // Qt draws the message from 6 px after the bar's left edge to 12 px before its right one.
      EXPECT_LE(QFontMetrics(Window->sbMain->font()).horizontalAdvance(shown), Window->sbMain->width() - 18)
          << shown.toStdString();
      for (const QLabel* panel : Window->sbMain->findChildren<QLabel*>())
        EXPECT_FALSE(panel->isVisible()) << "a panel is drawn over " << shown.toStdString();
    }
  }
  EXPECT_GE(hinted, 16);
}

TEST_F(TWindowFixture, ALogLineDropsTheSelectionAndEditOrDeleteThenDoNothing) {
  Open(Settings({test::FreeUdpPortPair()}));
  Select(0);
  Core->Manager().AddLog("something happened");
  EXPECT_TRUE(Window->lvServers->selectedItems().isEmpty());

  Window->btDeleteClick();
  Window->btEditClick();
  EXPECT_EQ(Core->Config().Count(), 1);
  EXPECT_TRUE(Presenter.Errors.empty());
}

TEST_F(TWindowFixture, AFloodOfLogLinesKeepsTheNewestAndRebuildsTheListOncePerTurn) {
  Open(Settings({test::FreeUdpPortPair()}));
  int rebuilds = 0;
  const auto counting =
      QObject::connect(Window->lvServers->model(), &QAbstractItemModel::modelReset, [&] { ++rebuilds; });
  for (int i = 0; i < 25000; ++i) Core->Manager().AddLog("line " + std::to_string(i));
  Shown();
  QObject::disconnect(counting);
  EXPECT_EQ(rebuilds, 1);
  EXPECT_EQ(Window->meLog->blockCount(), 10000);
  EXPECT_TRUE(Window->meLog->toPlainText().endsWith("line 24999"));
  EXPECT_TRUE(Window->meLog->toPlainText().startsWith("line 15000"));
}

TEST_F(TWindowFixture, TheNewestLogLineIsBroughtWholeIntoViewAndDropsASelection) {
  Open(Settings({}));
  QPlainTextEdit& log = *Window->meLog;
  const auto newestWhole = [&] {
    QTextCursor end(log.document());
    end.movePosition(QTextCursor::End);
    return log.viewport()->rect().contains(log.cursorRect(end));
  };
  for (int i = 0; i < 50; ++i) Core->Manager().AddLog("a line that is long enough to wrap at the default width, though not when the window is wider " + std::to_string(i));
  Shown();

  // The user selects a word at the top, scrolling there.
  QTextCursor word(log.document());
  word.movePosition(QTextCursor::NextWord, QTextCursor::KeepAnchor);
  log.setTextCursor(word);
  log.verticalScrollBar()->setValue(0);
  Core->Manager().AddLog("newest");
  Shown();
  EXPECT_FALSE(log.textCursor().hasSelection());
  EXPECT_TRUE(newestWhole());

  // Wider and back, then taller and back.
  const QSize size = Window->size();
  for (const QSize grown : {size + QSize(300, 0), size, size + QSize(0, 37), size}) {
    Window->resize(grown);
    Shown();
    EXPECT_TRUE(newestWhole()) << grown.width() << " x " << grown.height();
  }
}

TEST_F(TWindowFixture, DeleteRemovesTheRowAndSaves) {
  const int a = test::FreeUdpPortPair(), b = test::FreeUdpPortPair(), c = test::FreeUdpPortPair();
  Open(Settings({a, b, c}));
  Select(1);
  Window->btDeleteClick();
  Shown();
  ASSERT_EQ(Window->lvServers->topLevelItemCount(), 2);
  EXPECT_EQ(Cell(1, 0), QString::number(c));
  const std::string saved = test::TTempFolder::Read(Folder / "gatewarden.ini");
  EXPECT_NE(saved.find("Server1=" + std::to_string(c) + " "), std::string::npos) << saved;
  EXPECT_NO_THROW(TUdpPeer{static_cast<uint16_t>(b)}) << "the deleted tunnel's port is free at once";
}

TEST_F(TWindowFixture, AddListsTheNewTunnelUnstartedAndSaves) {
  Open(Settings({}));
  const int port = test::FreeUdpPortPair();
  test::WhenModal([&](QWidget&) {
    Window->fmServer->edLPort->setText(QString::number(port));
    Window->fmServer->edSPort->setText("7777");
    Window->fmServer->edSIP->setText("127.0.0.1");
    Window->fmServer->findChild<QPushButton*>("btOk")->click();
  });
  Window->btAddClick();
  Shown();
  ASSERT_EQ(Window->lvServers->topLevelItemCount(), 1);
  EXPECT_EQ(Cell(0, 3), "0");
  EXPECT_NE(test::TTempFolder::Read(Folder / "gatewarden.ini").find("Server0=" + std::to_string(port) + " 127.0.0.1:7777"),
            std::string::npos);
  EXPECT_NO_THROW(TUdpPeer{static_cast<uint16_t>(port)}) << "not started before Reload";
}

TEST_F(TWindowFixture, ReloadStartsWhatWasAddedAndRestartsTheRest) {
  const int first = test::FreeUdpPortPair();
  Open(Settings({first}));
  const int added = test::FreeUdpPortPair();
  auto tunnel = Core->Config().CreateTunnel();
  tunnel->ListenPort = added;
  tunnel->ServerHost = "127.0.0.1";
  tunnel->ServerPort = Server.Port();
  Core->Config().Add(std::move(tunnel));

  Window->btReload->click();
  Shown();
  EXPECT_EQ(Window->lvServers->topLevelItemCount(), 2);
  EXPECT_EQ(Window->meLog->toPlainText().count("Tunnel open on "), 3);
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(added), "through the new tunnel");
  EXPECT_TRUE(WaitFor([&] { return Server.TryReceive().has_value(); }));
}

// Two tunnels swap their ports with two edits and one Reload, which closes every port before
// it binds any; until then each serves where it was.
TEST_F(TWindowFixture, TwoTunnelsSwapTheirPortsWithTwoEditsAndOneReload) {
  const int first = test::FreeUdpPortPair(), second = test::FreeUdpPortPair();
  Open(Settings({first, second}));
  TUdpPeer otherServer;
  const auto edit = [&](int row, int port, const TUdpPeer& server) {
    Select(row);
    test::WhenModal([&](QWidget&) {
      Window->fmServer->edLPort->setText(QString::number(port));
      Window->fmServer->edSPort->setText(QString::number(server.Port()));
      Window->fmServer->findChild<QPushButton*>("btOk")->click();
    });
    Window->btEditClick();
  };
  edit(0, second, Server);
  edit(1, first, otherServer);
  EXPECT_TRUE(Presenter.Errors.empty()) << Presenter.Errors.front();
  Window->btReload->click();
  Shown();
  EXPECT_EQ(Window->meLog->toPlainText().count("WSA Error"), 0) << Window->meLog->toPlainText().toStdString();
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(first), "to the other server now");
  EXPECT_TRUE(WaitFor([&] { return otherServer.TryReceive().has_value(); }));
  client.SendTo(static_cast<uint16_t>(second), "to the first server now");
  EXPECT_TRUE(WaitFor([&] { return Server.TryReceive().has_value(); }));
}

TEST_F(TWindowFixture, ARaisedErrorSkipsTheRestOfTheHandlerAndReachesTheErrorBox) {
  Open(Settings({test::FreeUdpPortPair()}));
  Select(0);
  test::WhenModal([&](QWidget&) {
    Window->fmServer->edSPort->setText("abc");
    Window->fmServer->findChild<QPushButton*>("btOk")->click();
  });
  Window->btEdit->click();
  EXPECT_EQ(Presenter.Errors, std::vector<std::string>{"'abc' is not a valid integer value"});
  EXPECT_EQ(Window->lvServers->topLevelItemCount(), 1);
}

TEST_F(TWindowFixture, TunnelsRelayWhileADialogIsOpen) {
  const int port = test::FreeUdpPortPair();
  Open(Settings({port}));
  bool relayed = false;
  test::WhenModal([&](QWidget& dialog) {
    TUdpPeer client;
    client.SendTo(static_cast<uint16_t>(port), "during the dialog");
    relayed = WaitFor([&] { return Server.TryReceive().has_value(); });
    dialog.close();
  });
  Window->btAddClick();
  EXPECT_TRUE(relayed);
}

TEST_F(TWindowFixture, OptionsTurnTheListenerOnAndOffAtOnce) {
  Open(Settings({}));
  EXPECT_FALSE(Window->RemoteListener().Active());
  // The remote control listens on TCP: a port free for UDP may be taken there.
  const int port = test::FreeTcpPort();
  test::WhenModal([&](QWidget&) {
    Window->fmConfig->cbTemporary->setChecked(true);
    Window->fmConfig->edPort->setText(QString::number(port));
    Window->fmConfig->findChild<QPushButton*>("btOk")->click();
  });
  Window->btConfigClick();
  EXPECT_TRUE(Window->RemoteListener().Active());
  EXPECT_EQ(Window->RemoteListener().LocalPort(), port);

  // Cancelled or not, the listener follows the stored settings.
  Core->Config().Temporary = false;
  test::WhenModal([&](QWidget& dialog) { dialog.close(); });
  Window->btConfigClick();
  EXPECT_FALSE(Window->RemoteListener().Active());
}

TEST_F(TWindowFixture, MinimizingHidesTheWindowAndTheTrayBringsItBack) {
  Open(Settings({test::FreeUdpPortPair()}));
  const TfmDetails& details = OpenDetails(0);
  Window->showMinimized();
  ASSERT_TRUE(WaitFor([&] { return !Window->isVisible(); }));
  EXPECT_FALSE(details.isVisible());
  EXPECT_FALSE(details.tmRefresh.isActive()) << "nothing is read while nothing is shown";
  Window->ShowMainWindow();
  EXPECT_TRUE(Window->isVisible());
  EXPECT_FALSE(Window->isMinimized());
  EXPECT_TRUE(details.isVisible());
  EXPECT_TRUE(details.tmRefresh.isActive());
}

TEST_F(TWindowFixture, DetailsShowEachRelayWithWhatItCarriedAndTheRatesEachWay) {
  const int port = test::FreeUdpPortPair();
  Open(Settings({port}));
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(port), "hello");
  ASSERT_TRUE(WaitFor([&] {
    if (const auto got = Server.TryReceive()) Server.SendTo(got->FromPort, "welcome!");
    return Cell(0, 3) == "1";
  }));
  TfmDetails& details = OpenDetails(0);
  for (int i = 0; i < 3; ++i) client.SendTo(static_cast<uint16_t>(port), "again");
  int received = 0;
  ASSERT_TRUE(WaitFor([&] { return (received += Server.TryReceive().has_value()) == 3; }));
  Context.ManualClock.Advance(std::chrono::seconds(1));
  details.tmRefreshTimer();

  ASSERT_EQ(details.lvRelays->topLevelItemCount(), 1);
  QStringList cells;
  for (int column = 0; column < details.lvRelays->columnCount(); ++column)
    cells << details.lvRelays->topLevelItem(0)->text(column);
  cells.removeAt(1);  // the wall-clock time it came
  EXPECT_EQ(cells, QStringList({"127.0.0.1:" + QString::number(client.Port()), "4", "20", "1", "8", "1 s ago", "sockets"}));
  ASSERT_EQ(details.chTraffic->ToServer->count(), 1);
  EXPECT_EQ(details.chTraffic->ToServer->at(0).y(), 3);
  EXPECT_EQ(details.chTraffic->ToClients->at(0).y(), 0);
}

TEST_F(TWindowFixture, DetailsTellTheMastersATunnelIsAnnouncedToAndItsLastHeartbeat) {
  const int port = test::FreeUdpPortPair(), serverPort = test::FreeUdpPortPair();
  const TUdpPeer serverQuery(static_cast<uint16_t>(serverPort + 1)), master;
  const QString masterName = "127.0.0.1:" + QString::number(master.Port());
  Open("[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=" + std::to_string(port) + " 127.0.0.1:" +
       std::to_string(serverPort) + "\n[Masters]\nServer0=" + masterName.toStdString() + "\n");
  ASSERT_TRUE(WaitFor([&] {
    if (const auto query = serverQuery.TryReceive()) serverQuery.SendTo(query->FromPort, "\\gamename\\ut\\final\\");
    return master.TryReceive().has_value();
  }));
  TfmDetails& details = OpenDetails(0);
  EXPECT_TRUE(details.lbMasters->text().startsWith("Announced to " + masterName + ", last heartbeat "))
      << details.lbMasters->text().toStdString();
  EXPECT_TRUE(details.lbMasters->text().endsWith(" (1 sent).")) << details.lbMasters->text().toStdString();
}

TEST_F(TWindowFixture, DetailsOfADeletedTunnelSayItIsGoneAndNeverTakeAnotherForIt) {
  Open(Settings({test::FreeUdpPortPair()}));
  TfmDetails& details = OpenDetails(0);
  Select(0);
  Window->btDeleteClick();
  EXPECT_EQ(details.lbState->text(), "This tunnel has been deleted.");
  EXPECT_FALSE(details.tmRefresh.isActive());
  // A tunnel made now may be given the deleted one's place in memory.
  Core->Config().Add(Core->Config().CreateTunnel());
  details.tmRefreshTimer();
  EXPECT_EQ(details.lbState->text(), "This tunnel has been deleted.");
  EXPECT_EQ(details.lvRelays->topLevelItemCount(), 0);
}

TEST_F(TWindowFixture, EnlargingGivesTheListTheRoomAndKeepsButtonsAtTheirEdges) {
  Open(Settings({}));
  const QRect list = Window->lvServers->geometry(), log = Window->meLog->geometry();
  const QRect quit = Window->btQuit->geometry(), reload = Window->btReload->geometry();
  Window->resize(Window->width() + 100, Window->height() + 50);
  Shown();
  EXPECT_EQ(Window->lvServers->geometry().size(), list.size() + QSize(100, 50));
  EXPECT_EQ(Window->meLog->geometry(), log.adjusted(0, 50, 100, 50));
  EXPECT_EQ(Window->btQuit->geometry(), quit.translated(100, 50));
  EXPECT_EQ(Window->btReload->geometry(), reload.translated(0, 50));
}

} // namespace
} // namespace gw

#include "cfgwin.h"
#include "core.h"
#include "loopHarness.h"
#include "main.h"
#include "recordingPresenter.h"
#include "svmap.h"
#include "tempFolder.h"
#include "udpPeer.h"
#include "uiTestSupport.h"
#include "uvPump.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
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
  test::ProcessEvents();
  EXPECT_EQ(Window->meLog->toPlainText().count("Tunnel open on "), 2);
  EXPECT_EQ(Window->minimumSize(), Window->size());
  EXPECT_FALSE(Window->windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(TWindowFixture, CountsFollowTheLog) {
  const int port = test::FreeUdpPortPair();
  Open(Settings({port}));
  TUdpPeer a, b;
  a.SendTo(static_cast<uint16_t>(port), "x");
  b.SendTo(static_cast<uint16_t>(port), "y");
  ASSERT_TRUE(WaitFor([&] { return Cell(0, 3) == "2"; }));
  EXPECT_EQ(Panel(1), " Static tunnels in use: 2");

  Core->Manager().CreateTemporaryTunnel("127.0.0.1", 7777);
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

TEST_F(TWindowFixture, AFloodOfLogLinesKeepsTheNewestInView) {
  Open(Settings({}));
  for (int i = 0; i < 25000; ++i) Core->Manager().AddLog("line " + std::to_string(i));
  test::ProcessEvents();
  EXPECT_EQ(Window->meLog->blockCount(), 10000);
  EXPECT_TRUE(Window->meLog->toPlainText().endsWith("line 24999"));
  EXPECT_TRUE(Window->meLog->toPlainText().startsWith("line 15000"));
}

TEST_F(TWindowFixture, DeleteRemovesTheRowAndSaves) {
  const int a = test::FreeUdpPortPair(), b = test::FreeUdpPortPair(), c = test::FreeUdpPortPair();
  Open(Settings({a, b, c}));
  Select(1);
  Window->btDeleteClick();
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
  test::ProcessEvents();
  EXPECT_EQ(Window->lvServers->topLevelItemCount(), 2);
  EXPECT_EQ(Window->meLog->toPlainText().count("Tunnel open on "), 3);
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(added), "through the new tunnel");
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
  const int port = test::FreeUdpPortPair();
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
  Open(Settings({}));
  Window->showMinimized();
  ASSERT_TRUE(WaitFor([&] { return !Window->isVisible(); }));
  Window->ShowMainWindow();
  EXPECT_TRUE(Window->isVisible());
  EXPECT_FALSE(Window->isMinimized());
}

TEST_F(TWindowFixture, EnlargingGivesTheListTheRoomAndKeepsButtonsAtTheirEdges) {
  Open(Settings({}));
  const QRect list = Window->lvServers->geometry(), log = Window->meLog->geometry();
  const QRect quit = Window->btQuit->geometry(), reload = Window->btReload->geometry();
  Window->resize(Window->width() + 100, Window->height() + 50);
  test::ProcessEvents();
  EXPECT_EQ(Window->lvServers->geometry().size(), list.size() + QSize(100, 50));
  EXPECT_EQ(Window->meLog->geometry(), log.adjusted(0, 50, 100, 50));
  EXPECT_EQ(Window->btQuit->geometry(), quit.translated(100, 50));
  EXPECT_EQ(Window->btReload->geometry(), reload.translated(0, 50));
}

} // namespace
} // namespace gw

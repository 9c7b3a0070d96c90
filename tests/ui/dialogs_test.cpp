#include "about.h"
#include "cfgwin.h"
#include "config.h"
#include "errorOf.h"
#include "intConv.h"
#include "loopHarness.h"
#include "server.h"
#include "svmap.h"
#include "tempFolder.h"
#include "uiTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include <gtest/gtest.h>

#include <tuple>

#include <functional>
#include <vector>

namespace gw {
namespace {

using test::WhenModal;

using test::ErrorOf;

void Press(QWidget& target, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QCoreApplication::sendEvent(&target, &press);
}

void Click(QWidget& target) {
  const QPointF at(target.width() / 2.0, target.height() / 2.0);
  QMouseEvent press(QEvent::MouseButtonPress, at, target.mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, at, target.mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QCoreApplication::sendEvent(&target, &press);
  QCoreApplication::sendEvent(&target, &release);
}

// The control that has the keyboard focus once `window` has been activated.
QWidget* FocusWhenActive(QWidget& window) {
  for (int waited = 0; !window.isActiveWindow() && waited < 1000; waited += 10) test::ProcessEvents(10);
  EXPECT_TRUE(window.isActiveWindow());
  return QApplication::focusWidget();
}

// Escape and Enter in `field` leave the dialog open; the title bar's close button then ends it.
void ExpectOnlyTheCloseButtonCloses(QDialog& dialog, QWidget& field) {
  Press(field, Qt::Key_Escape);
  EXPECT_TRUE(dialog.isVisible()) << "Escape closed the dialog";
  Press(field, Qt::Key_Return);
  EXPECT_TRUE(dialog.isVisible()) << "Enter closed the dialog";
  dialog.close();
}

struct TDialogFixture : ::testing::Test {
  std::filesystem::path File() const { return Folder / "gatewarden.ini"; }
  bool Saved(const std::string& line) const {
    return test::TTempFolder::Read(File()).find(line + "\n") != std::string::npos;
  }

  test::TTestContext Context;
  test::TTempFolder Folder;
  TConfig Config{Context, File()};
};

struct TTunnelDialog : TDialogFixture {
  // 7777 relayed to 10.0.0.5:7790, in the store.
  TServer& Stored() {
    auto tunnel = Config.CreateTunnel();
    tunnel->ListenPort = 7777;
    tunnel->ServerHost = "10.0.0.5";
    tunnel->ServerPort = 7790;
    return Config.Items(Config.Add(std::move(tunnel)));
  }
  void ExpectUnchanged(const TServer& tunnel) const {
    EXPECT_EQ(tunnel.ListenPort, 7777);
    EXPECT_EQ(tunnel.ServerPort, 7790);
    EXPECT_EQ(tunnel.ServerHost, "10.0.0.5");
  }
  void ConfirmWith(const QString& listen, const QString& server, const QString& address) {
    WhenModal([this, listen, server, address](QWidget&) {
      Dialog.edLPort->setText(listen);
      Dialog.edSPort->setText(server);
      Dialog.edSIP->setText(address);
      Dialog.btOk->click();
    });
  }

  TfmServer Dialog;
};

TEST_F(TTunnelDialog, AddStartsEmptyAndAppendsAnUnstartedTunnel) {
  TServer& stored = Stored();
  WhenModal([this](QWidget&) { Dialog.btCancel->click(); });
  Dialog.EditTunnel(Config, stored);

  WhenModal([this](QWidget& modal) {
    EXPECT_EQ(&modal, &Dialog);
    EXPECT_EQ(Dialog.windowTitle(), "Add server");
    EXPECT_EQ(Dialog.edLPort->text(), "") << "the edited tunnel's values are still shown";
    EXPECT_EQ(Dialog.edSPort->text(), "");
    EXPECT_EQ(Dialog.edSIP->text(), "");
    EXPECT_EQ(FocusWhenActive(Dialog), Dialog.edLPort);
    Dialog.edLPort->setText("7787");
    Dialog.edSPort->setText("7777");
    Dialog.btOk->click();
  });
  Dialog.AddTunnel(Config);

  ASSERT_EQ(Config.Count(), 2);
  const TServer& added = Config.Items(1);
  EXPECT_EQ(added.ListenPort, 7787);
  EXPECT_EQ(added.ServerPort, 7777);
  EXPECT_EQ(added.ServerHost, "");
  EXPECT_FALSE(added.Temporary);
  EXPECT_TRUE(Context.LinesStartingWith("Tunnel open on").empty()) << "it starts at the next Reload";
}

TEST_F(TTunnelDialog, AddWithEmptyFieldsOrCancelledAddsNothing) {
  WhenModal([this](QWidget&) { Dialog.btOk->click(); });
  EXPECT_EQ(ErrorOf<TConversionError>([this] { Dialog.AddTunnel(Config); }), "'' is not a valid integer value");
  EXPECT_EQ(Config.Count(), 0);

  WhenModal([this](QWidget&) {
    Dialog.edLPort->setText("7777");
    Dialog.edSPort->setText("7777");
    Dialog.btCancel->click();
  });
  Dialog.AddTunnel(Config);
  EXPECT_EQ(Config.Count(), 0);
}

TEST_F(TTunnelDialog, EditShowsTheTunnelAndStoresItOnlyWhenConfirmed) {
  TServer& tunnel = Stored();
  WhenModal([this](QWidget&) {
    EXPECT_EQ(Dialog.windowTitle(), "Edit server");
    EXPECT_EQ(Dialog.edLPort->text(), "7777");
    EXPECT_EQ(Dialog.edSPort->text(), "7790");
    EXPECT_EQ(Dialog.edSIP->text(), "10.0.0.5");
    EXPECT_EQ(FocusWhenActive(Dialog), Dialog.edLPort);
    Dialog.edLPort->setText("1");
    Dialog.edSIP->setText("other");
    Dialog.btCancel->click();
  });
  Dialog.EditTunnel(Config, tunnel);
  ExpectUnchanged(tunnel);

  // Any port the conversion takes; the address exactly as typed.
  ConfirmWith("$1E63", "$1E62", " game.example.org");
  Dialog.EditTunnel(Config, tunnel);
  EXPECT_EQ(tunnel.ListenPort, 7779);
  EXPECT_EQ(tunnel.ServerPort, 7778);
  EXPECT_EQ(tunnel.ServerHost, " game.example.org");
}

TEST_F(TTunnelDialog, EditKeepsTheFieldsBeforeOneThatDoesNotConvert) {
  TServer& tunnel = Stored();
  ConfirmWith("7778", "abc", "changed");
  EXPECT_EQ(ErrorOf<TConversionError>([&] { Dialog.EditTunnel(Config, tunnel); }), "'abc' is not a valid integer value");
  EXPECT_EQ(tunnel.ListenPort, 7778);
  EXPECT_EQ(tunnel.ServerPort, 7790);
  EXPECT_EQ(tunnel.ServerHost, "10.0.0.5");
  // A number that is no port would be cut to 16 bits, or bound wherever the system likes.
  ConfirmWith("7779", "70000", "changed");
  EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { Dialog.EditTunnel(Config, tunnel); }),
            "Server port 70000 is not a port (1 to 65535)");
  ConfirmWith("0", "7777", "changed");
  EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { Dialog.AddTunnel(Config); }), "Listen port 0 is not a port (1 to 65535)");
  // With the query port on, a tunnel on the last port could never serve one.
  ConfirmWith("65535", "7777", "changed");
  EXPECT_EQ(ErrorOf<std::runtime_error>([&] { Dialog.AddTunnel(Config); }),
            "Listen port 65535: its query port 65536 is not a port (1 to 65535) (AddPort=1)");
  EXPECT_EQ(Config.Count(), 1);
}

TEST_F(TTunnelDialog, AnAddressWithAColonIsRefusedBeforeAnythingIsStored) {
  TServer& tunnel = Stored();
  ConfirmWith("7778", "7779", "a:b");
  EXPECT_EQ(ErrorOf<std::runtime_error>([&] { Dialog.EditTunnel(Config, tunnel); }),
            "The server address 'a:b' must not contain a colon");
  ExpectUnchanged(tunnel);

  ConfirmWith("7778", "7779", "10.0.0.6:7779");
  EXPECT_EQ(ErrorOf<std::runtime_error>([this] { Dialog.AddTunnel(Config); }),
            "The server address '10.0.0.6:7779' must not contain a colon");
  ConfirmWith("7778", "7779", "239.0.0.1");
  EXPECT_EQ(ErrorOf<std::runtime_error>([this] { Dialog.AddTunnel(Config); }),
            "The server address '239.0.0.1' is a multicast address, no game server's");
  EXPECT_EQ(Config.Count(), 1);
}

TEST_F(TTunnelDialog, AnAddressTooLongForTheSettingsFileCannotBeEntered) {
  ConfirmWith("7778", "7779", QString(3000, 'h'));
  Dialog.AddTunnel(Config);
  ASSERT_EQ(Config.Count(), 1);
  EXPECT_EQ(Config.Items(0).ServerHost, std::string(TfmServer::kMaxServerAddress, 'h'));
  // Saved and loaded again, it is still the same tunnel.
  Config.Save();
  TConfig reloaded(Context, File());
  ASSERT_EQ(reloaded.Count(), 1);
  EXPECT_EQ(reloaded.Items(0).ServerHost, Config.Items(0).ServerHost);
}

TEST_F(TTunnelDialog, EscapeAndEnterDoNotCloseItButTheCloseButtonCancels) {
  TServer& tunnel = Stored();
  WhenModal([this](QWidget&) {
    Dialog.edLPort->setText("1");
    ExpectOnlyTheCloseButtonCloses(Dialog, *Dialog.edLPort);
  });
  Dialog.EditTunnel(Config, tunnel);
  ExpectUnchanged(tunnel);
}

struct TOptionsDialog : TDialogFixture {
  TfmConfig Dialog;
};

TEST_F(TOptionsDialog, ShowsTheStoreAndCancelDiscardsWhatWasTyped) {
  Config.AddPort = false;
  Config.Password = "secret";
  Config.Port = 1234;
  WhenModal([this](QWidget& modal) {
    EXPECT_EQ(&modal, &Dialog);
    EXPECT_FALSE(Dialog.cbAddPort->isChecked());
    EXPECT_TRUE(Dialog.cbStatic->isChecked());
    EXPECT_FALSE(Dialog.cbStatic->isEnabled());
    EXPECT_TRUE(Dialog.cbTemporary->isChecked());
    EXPECT_EQ(Dialog.edPassword->text(), "secret");
    EXPECT_EQ(Dialog.edPassword->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(Dialog.edPort->text(), "1234");
    EXPECT_EQ(Dialog.edFrom->text(), "8000");
    EXPECT_EQ(Dialog.edTo->text(), "9000");
    EXPECT_EQ(FocusWhenActive(Dialog), Dialog.cbAddPort);
    Dialog.edPort->setText("999");
    Dialog.cbTemporary->setChecked(false);
    Dialog.btCancel->click();
  });
  EXPECT_FALSE(Dialog.EditOptions(Config));
  EXPECT_EQ(Config.Port, 1234);
  EXPECT_TRUE(Config.Temporary);
  EXPECT_FALSE(std::filesystem::exists(File()));

  WhenModal([this](QWidget&) {
    EXPECT_EQ(Dialog.edPort->text(), "1234");
    EXPECT_TRUE(Dialog.cbTemporary->isChecked());
    Dialog.btCancel->click();
  });
  Dialog.EditOptions(Config);
}

TEST_F(TOptionsDialog, OkStoresEveryOptionAsTypedAndSaves) {
  Config.Static = false;
  WhenModal([this](QWidget&) {
    Dialog.cbAddPort->setChecked(false);
    Dialog.cbTemporary->setChecked(false);
    Dialog.edPassword->setText("");
    Dialog.edPort->setText("23818");
    Dialog.edFrom->setText("9000");
    Dialog.edTo->setText("8000");
    Dialog.btOk->click();
  });
  EXPECT_TRUE(Dialog.EditOptions(Config));

  EXPECT_FALSE(Config.AddPort);
  EXPECT_FALSE(Config.Static) << "the disabled box writes back what it was given";
  EXPECT_FALSE(Config.Temporary);
  EXPECT_EQ(Config.Password, "");
  EXPECT_EQ(Config.Port, 23818);
  EXPECT_EQ(Config.FromPort, 9000);
  EXPECT_EQ(Config.ToPort, 8000);
  for (const char* line : {"AddPort=0", "Static=0", "Temporary=0", "Password=", "Port=23818", "FromPort=9000",
                           "ToPort=8000"}) {
    EXPECT_TRUE(Saved(line)) << line;
  }
}

// Storing the options before the failing field would leave a password in use that the
// listener and the settings file do not know.
TEST_F(TOptionsDialog, ANumberThatDoesNotConvertChangesNoOptionAndSavesNothing) {
  const std::tuple<const char*, const char*, bool, std::string> cases[] = {
      {"1", "12ab", false, "'12ab' is not a valid integer value"},
      {"70000", "9000", false, "Port 70000 is not a port (1 to 65535)"},
      {"1", "0", false, "To 0 is not a port (1 to 65535)"},
  };
  for (const auto& [port, to, temporary, error] : cases) {
    WhenModal([&](QWidget&) {
      Dialog.cbAddPort->setChecked(false);
      Dialog.cbTemporary->setChecked(temporary);
      Dialog.edPassword->setText("new");
      Dialog.edPort->setText(port);
      Dialog.edTo->setText(to);
      Dialog.btOk->click();
    });
    EXPECT_EQ(ErrorOf<std::exception>([this] { Dialog.EditOptions(Config); }), error);
    EXPECT_TRUE(Config.AddPort);
    EXPECT_TRUE(Config.Temporary);
    EXPECT_EQ(Config.Password, "moonbeam");
    EXPECT_EQ(Config.Port, 23817);
    EXPECT_EQ(Config.ToPort, 9000);
    EXPECT_FALSE(std::filesystem::exists(File()));
  }
  // Turned on, a tunnel on the last port would have no query port. (One on its neighbour's
  // query port is told by the Reload that starts it.)
  Config.AddPort = false;
  for (const int listenPort : {7778, 65535}) {
    auto tunnel = Config.CreateTunnel();
    tunnel->ListenPort = listenPort;
    tunnel->ServerHost = "h";
    tunnel->ServerPort = 7777;
    Config.Add(std::move(tunnel));
  }
  WhenModal([&](QWidget&) {
    Dialog.cbAddPort->setChecked(true);
    Dialog.btOk->click();
  });
  EXPECT_EQ(ErrorOf<std::exception>([this] { Dialog.EditOptions(Config); }),
            "With the query port on, the tunnel on 65535 to h:7777 could not listen: its query port 65536 is not a port "
            "(1 to 65535) (AddPort=1)");
  EXPECT_FALSE(Config.AddPort);
  EXPECT_FALSE(std::filesystem::exists(File()));
}

TEST_F(TOptionsDialog, EscapeAndEnterDoNotCloseItButTheCloseButtonCancels) {
  WhenModal([this](QWidget&) {
    Dialog.edPort->setText("1");
    ExpectOnlyTheCloseButtonCloses(Dialog, *Dialog.edPort);
  });
  EXPECT_FALSE(Dialog.EditOptions(Config));
  EXPECT_EQ(Config.Port, 23817);
}

// Restores the desktop's link handler after a test that records the links instead.
struct TAboutBox : ::testing::Test {
  TAboutBox() {
    TfmAbout::OpenLink = [this](const QUrl& url) { Opened.push_back(url.toString()); };
  }
  ~TAboutBox() override { TfmAbout::OpenLink = Desktop; }

  const std::function<void(const QUrl&)> Desktop = TfmAbout::OpenLink;
  std::vector<QString> Opened;
  TfmAbout Box;
};

TEST_F(TAboutBox, LinksOpenTheMailAndWebAddressesAndEnterOnOkCloses) {
  WhenModal([this](QWidget&) {
    EXPECT_EQ(FocusWhenActive(Box), Box.btOk);
    Click(*Box.Label8);
    Click(*Box.Label11);
    EXPECT_TRUE(Box.isVisible());
    Press(*Box.btOk, Qt::Key_Return);
    if (Box.isVisible()) {
      ADD_FAILURE() << "Enter on the focused Ok button did not close the box";
      Box.close();
    }
  });
  Box.ShowModal();
  EXPECT_EQ(Opened, (std::vector<QString>{"mailto:gw@example.org", "https://gw.example"}));
}

TEST_F(TAboutBox, IsCentredAtEveryOpening) {
  for (int opening = 0; opening < 2; ++opening) {
    WhenModal([this](QWidget&) {
      const QPoint offCentre = Box.frameGeometry().center() - Box.screen()->availableGeometry().center();
      EXPECT_LE(offCentre.manhattanLength(), 2);
      Box.move(0, 0);
      Box.btOk->click();
    });
    Box.ShowModal();
  }
}

// Every caption under `container` is shown whole, inside its parent and clear of the controls
// beside it, a few pixels apart: the desktop's font is wider than the one the layout was
// drawn for.
void ExpectCleanLayout(const QWidget& container) {
  const auto children = container.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (const QWidget* child : children) {
    const QString name = child->metaObject()->className() + QString(" ") + child->property("text").toString();
    EXPECT_TRUE(container.rect().contains(child->geometry())) << name.toStdString();
    if (qobject_cast<const QLabel*>(child) || qobject_cast<const QCheckBox*>(child)) {
      EXPECT_GE(child->width(), child->sizeHint().width()) << name.toStdString() << " is cut off";
    }
    for (const QWidget* other : children) {
      EXPECT_TRUE(other == child || !child->geometry().adjusted(-4, 0, 4, 0).intersects(other->geometry()))
          << name.toStdString() << " is crowded";
    }
    ExpectCleanLayout(*child);
  }
}

TEST(TDialogLayout, EveryCaptionIsShownWholeAndClearOfItsNeighbours) {
  TfmServer tunnel;
  TfmConfig options;
  TfmAbout about;
  for (const QWidget* dialog : std::initializer_list<const QWidget*>{&tunnel, &options, &about})
    ExpectCleanLayout(*dialog);
}

} // namespace
} // namespace gw

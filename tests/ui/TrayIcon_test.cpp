#include "TrayIcon.h"

#include "programIcon.h"
#include "uiTestSupport.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QMenu>
#include <QPixmap>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using gw::TImageList;
using gw::TTrayIcon;

// Every call gives a picture of its own, told apart by its cache key.
QIcon Picture(Qt::GlobalColor colour) {
  QPixmap pixmap(16, 16);
  pixmap.fill(colour);
  return QIcon(pixmap);
}

// Waits for the icon to change and returns its key then; the old key if nothing changed.
qint64 NextFrame(const TTrayIcon& tray) {
  const qint64 shown = tray.Icon().cacheKey();
  QElapsedTimer waited;
  waited.start();
  while (tray.Icon().cacheKey() == shown && waited.elapsed() < 2000) gw::test::ProcessEvents();
  return tray.Icon().cacheKey();
}

class TrayIconTest : public ::testing::Test {
protected:
  QObject owner;
  TTrayIcon& tray = *new TTrayIcon(&owner);
  QIcon picture = Picture(Qt::black);
};

class TrayAnimationTest : public TrayIconTest {
protected:
  void SetUp() override {
    images.Icons = {Picture(Qt::red), Picture(Qt::green), Picture(Qt::blue)};
    tray.SetIcon(picture);
    tray.SetAnimateInterval(30);
    tray.SetImages(&images);
  }
  qint64 Frame(int index) const { return images.Icons.at(index).cacheKey(); }

  TImageList images;
};

TEST_F(TrayIconTest, ActiveShowsAndHidesTheIcon) {
  tray.SetIcon(picture);
  EXPECT_FALSE(tray.Active());
  EXPECT_FALSE(tray.Visible());

  tray.SetActive(true);
  tray.SetActive(true);
  EXPECT_TRUE(tray.Active());
  EXPECT_TRUE(tray.Visible());

  tray.SetActive(false);
  EXPECT_FALSE(tray.Visible());
  tray.SetActive(true);
  EXPECT_TRUE(tray.Visible());
}

TEST_F(TrayIconTest, PictureAndToolTipSetWhileInactiveShowAtActivation) {
  const QString seventy(70, QLatin1Char('x'));
  tray.SetIcon(picture);
  tray.SetToolTip(seventy);
  EXPECT_EQ(tray.ToolTip(), seventy.left(62));
  EXPECT_NE(tray.ShownIcon().cacheKey(), picture.cacheKey());
  EXPECT_TRUE(tray.ShownToolTip().isEmpty());

  tray.SetActive(true);
  EXPECT_EQ(tray.ShownIcon().cacheKey(), picture.cacheKey());
  EXPECT_EQ(tray.ShownToolTip(), seventy.left(62));

  const QIcon other = Picture(Qt::white);
  tray.SetIcon(other);
  tray.SetToolTip("Gatewarden");
  EXPECT_EQ(tray.ShownIcon().cacheKey(), other.cacheKey());
  EXPECT_EQ(tray.ShownToolTip(), "Gatewarden");

  const QString clef = QString::fromUtf8("\xF0\x9D\x84\x9E"); // one character, two halves
  tray.SetToolTip(QString(61, QLatin1Char('a')) + clef + "b");
  EXPECT_EQ(tray.ToolTip(), QString(61, QLatin1Char('a')));
  tray.SetToolTip(QString(60, QLatin1Char('a')) + clef + "b");
  EXPECT_EQ(tray.ToolTip(), QString(60, QLatin1Char('a')) + clef);
}

TEST_F(TrayIconTest, AnimateIntervalIgnoresZeroAndLess) {
  EXPECT_EQ(tray.AnimateInterval(), 100);
  tray.SetAnimateInterval(0);
  tray.SetAnimateInterval(-5);
  EXPECT_EQ(tray.AnimateInterval(), 100);
  tray.SetAnimateInterval(250);
  EXPECT_EQ(tray.AnimateInterval(), 250);
}

TEST_F(TrayAnimationTest, RefusedStartLeavesTheIconAlone) {
  TImageList empty;
  tray.SetImages(&empty);
  tray.SetActive(true);
  tray.SetAnimate(true);
  EXPECT_FALSE(tray.Animate());
  tray.SetImages(nullptr);
  tray.SetAnimate(true);
  EXPECT_FALSE(tray.Animate());

  tray.SetImages(&images);
  tray.SetActive(false);
  tray.SetAnimate(true);
  EXPECT_FALSE(tray.Animate());
  gw::test::ProcessEvents(100);
  EXPECT_EQ(tray.Icon().cacheKey(), picture.cacheKey());

  tray.SetActive(true);
  tray.SetAnimate(false); // nothing ran, so nothing to put back: the icon stays
  EXPECT_EQ(tray.ShownIcon().cacheKey(), picture.cacheKey());
}

TEST_F(TrayAnimationTest, FramesRunFromTheSecondImageAndStoppingRestoresTheIcon) {
  tray.SetActive(true);
  tray.SetAnimate(true);
  ASSERT_TRUE(tray.Animate());

  for (const int index : {1, 2, 0, 1, 2}) {
    EXPECT_EQ(NextFrame(tray), Frame(index));
    EXPECT_EQ(tray.ShownIcon().cacheKey(), Frame(index));
  }
  tray.SetAnimate(true); // already running: must not save a frame as the icon to go back to

  tray.SetAnimate(false);
  EXPECT_EQ(tray.Icon().cacheKey(), picture.cacheKey());
  EXPECT_EQ(tray.ShownIcon().cacheKey(), picture.cacheKey());
  gw::test::ProcessEvents(100);
  EXPECT_EQ(tray.Icon().cacheKey(), picture.cacheKey());
}

TEST_F(TrayIconTest, DestroyingTheImageListStopsTheAnimation) {
  auto frames = std::make_unique<TImageList>();
  frames->Icons = {Picture(Qt::red), Picture(Qt::green)};
  tray.SetIcon(picture);
  tray.SetAnimateInterval(30);
  tray.SetImages(frames.get());
  tray.SetActive(true);
  tray.SetAnimate(true);
  ASSERT_EQ(NextFrame(tray), frames->Icons.at(1).cacheKey());

  frames.reset();
  EXPECT_FALSE(tray.Animate());
  EXPECT_EQ(tray.Images(), nullptr);
  EXPECT_EQ(tray.Icon().cacheKey(), picture.cacheKey());
  gw::test::ProcessEvents(100);
  EXPECT_EQ(tray.Icon().cacheKey(), picture.cacheKey());
}

TEST_F(TrayAnimationTest, OnlyTheListInUseEndsTheAnimation) {
  auto dropped = std::make_unique<TImageList>();
  tray.SetImages(dropped.get());
  tray.SetImages(&images);
  tray.SetActive(true);
  tray.SetAnimate(true);
  dropped.reset();
  EXPECT_TRUE(tray.Animate());
  ASSERT_EQ(NextFrame(tray), Frame(1));

  images.Icons.clear(); // emptied under a running animation: it ends, the icon comes back
  EXPECT_EQ(NextFrame(tray), picture.cacheKey());
  EXPECT_FALSE(tray.Animate());
  EXPECT_EQ(tray.Images(), &images);
}

class TrayClickTest : public TrayIconTest {
protected:
  void SetUp() override {
    tray.OnClick = [this] { events.push_back("click"); };
    tray.OnDblClick = [this] { events.push_back("dblclick"); };
    tray.OnRightClick = [this](const QPoint& pos) {
      events.push_back("rightclick");
      rightClickAt = pos;
    };
    QCursor::setPos(40, 50);
  }

  std::vector<std::string> events;
  QPoint rightClickAt;
};

TEST_F(TrayClickTest, EachActivationFiresItsEvent) {
  tray.HandleActivation(QSystemTrayIcon::Trigger);
  tray.HandleActivation(QSystemTrayIcon::DoubleClick);
  tray.HandleActivation(QSystemTrayIcon::MiddleClick);
  tray.HandleActivation(QSystemTrayIcon::Context);
  EXPECT_EQ(events, (std::vector<std::string>{"click", "dblclick", "rightclick"}));
  EXPECT_EQ(rightClickAt, QPoint(40, 50));

  TTrayIcon bare(nullptr); // no events assigned
  bare.HandleActivation(QSystemTrayIcon::Trigger);
  bare.HandleActivation(QSystemTrayIcon::DoubleClick);
  bare.HandleActivation(QSystemTrayIcon::Context);
}

TEST_F(TrayClickTest, RightClickFiresAfterTheMenuAtThePointerClosed) {
  QMenu menu;
  menu.addAction("&Show");
  menu.addAction("&Quit");
  tray.SetPopupMenu(&menu);

  QPoint poppedAt;
  std::vector<std::string> eventsWhileOpen{"none"};
  QTimer closer; // goes with the test even if no menu ever ran it
  closer.setSingleShot(true);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    QWidget* popup = QApplication::activePopupWidget();
    EXPECT_EQ(popup, &menu);
    if (!popup) return;
    poppedAt = popup->pos();
    eventsWhileOpen = events;
    popup->close();
  });
  closer.start(50);
  tray.HandleActivation(QSystemTrayIcon::Context);

  EXPECT_EQ(poppedAt, QPoint(40, 50));
  EXPECT_TRUE(eventsWhileOpen.empty());
  EXPECT_EQ(events, std::vector<std::string>{"rightclick"});
  EXPECT_EQ(rightClickAt, QPoint(40, 50));
  EXPECT_FALSE(menu.isVisible());
}

TEST_F(TrayClickTest, OwnerDestroyedFromTheMenuEndsTheRightClick) {
  auto windowOwner = std::make_unique<QObject>();
  auto* owned = new TTrayIcon(windowOwner.get());
  owned->OnRightClick = [this](const QPoint&) { events.push_back("rightclick"); };
  QMenu menu;
  menu.addAction("&Quit");
  owned->SetPopupMenu(&menu);

  QTimer closer;
  closer.setSingleShot(true);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    EXPECT_EQ(QApplication::activePopupWidget(), &menu);
    windowOwner.reset();
    menu.close();
  });
  closer.start(50);
  owned->HandleActivation(QSystemTrayIcon::Context);
  EXPECT_TRUE(events.empty());
}

TEST(TrayIconLifetime, DestroyedWithItsOwnerTakingTheIconAway) {
  auto windowOwner = std::make_unique<QObject>();
  auto* tray = new TTrayIcon(windowOwner.get());
  tray->SetIcon(Picture(Qt::black));
  tray->SetActive(true);
  auto* systemIcon = tray->findChild<QSystemTrayIcon*>();
  ASSERT_NE(systemIcon, nullptr);
  ASSERT_TRUE(systemIcon->isVisible());

  // Children outlive this signal, so the system icon can still be asked.
  bool hiddenAtDestruction = false;
  QObject::connect(tray, &QObject::destroyed,
                   [&] { hiddenAtDestruction = !systemIcon->isVisible(); });
  const QPointer<TTrayIcon> watch(tray);
  windowOwner.reset();
  EXPECT_TRUE(watch.isNull());
  EXPECT_TRUE(hiddenAtDestruction);
}

// The icon comes from resources linked into the program itself: a resource file that the
// linker dropped shows as a blank tray icon, which must not pass unnoticed.
TEST(ProgramIcon, ComesAtEverySizeFromTheProgramAndAMissingOneRaises) {
  const QIcon icon = gw::ProgramIcon();
  EXPECT_EQ(icon.availableSizes().size(), 8);
  const QImage tray = icon.pixmap(24, 24).toImage();
  ASSERT_EQ(tray.size(), QSize(24, 24));
  EXPECT_NE(tray.pixelColor(12, 13), tray.pixelColor(12, 22)) << "the emblem stands out from the black";
  EXPECT_THROW(gw::IconFromFolder(":/nowhere"), std::runtime_error);
}

} // namespace

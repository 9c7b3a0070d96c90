#include "main.h"

#include "TrayIcon.h"
#include "about.h"
#include "cfgwin.h"
#include "core.h"
#include "details.h"
#include "presenter.h"
#include "programIcon.h"
#include "remotecontrol.h"
#include "svmap.h"
#include "uiStyle.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include <utility>

namespace gw {

namespace {

constexpr QSize kClientSize{366, 345};
// The log keeps its newest lines; a flood of connections must not eat the memory.
constexpr int kMaxLogLines = 10000;
constexpr std::chrono::milliseconds kShowDelay{50};

} // namespace

TfmMain::TfmMain(TCore& core) : core_(core), ssRemote(core.Loop()) {
  setWindowTitle("Gatewarden");
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(ProgramFont());
  resize(kClientSize);
  setMinimumSize(kClientSize);

  using A = TAnchors;
  lvServers = new QTreeWidget(this);
  lvServers->setColumnCount(4);
  lvServers->setHeaderLabels({"Listen port", "Server ip", "Server port", "Conns"});
  const int widths[] = {70, 130, 70, 54};
  for (int column = 0; column < 4; ++column) lvServers->setColumnWidth(column, widths[column]);
  lvServers->setRootIsDecorated(false);
  lvServers->setSelectionMode(QAbstractItemView::SingleSelection);
  lvServers->setSelectionBehavior(QAbstractItemView::SelectRows);
  // The selected row stays highlighted while the list has no focus.
  QPalette palette = lvServers->palette();
  palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Active, QPalette::Highlight));
  palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                   palette.color(QPalette::Active, QPalette::HighlightedText));
  lvServers->setPalette(palette);
  anchors_.Place(*lvServers, {8, 12, 349, 121}, A::Left | A::Top | A::Right | A::Bottom, kClientSize);
  connect(lvServers, &QTreeWidget::itemDoubleClicked, this, [this] { RunGuarded([this] { btEditClick(); }); });
  lvServers->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(lvServers, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { RunGuarded([this, at] { lvServersContextPopup(at); }); });
  pmServers.addAction("&Details", this, [this] { RunGuarded([this] { DetailsClick(); }); });

  btReload = MakeButton("&Reload", "Reload the current static tunnel configuration", {12, 140, 75, 25},
                        A::Left | A::Bottom, &TfmMain::btReloadClick);
  btAdd = MakeButton("&Add", "Add a new static tunnel (reload needed afterwards)", {112, 140, 75, 25},
                     A::Right | A::Bottom, &TfmMain::btAddClick);
  btEdit = MakeButton("&Edit", "Edit a static tunnel (reload needed afterwards)", {196, 140, 75, 25},
                      A::Right | A::Bottom, &TfmMain::btEditClick);
  btDelete = MakeButton("&Delete", "Delete a static tunnel", {280, 140, 75, 25}, A::Right | A::Bottom,
                        &TfmMain::btDeleteClick);

  meLog = new QPlainTextEdit(this);
  meLog->setReadOnly(true);
  meLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  meLog->setMaximumBlockCount(kMaxLogLines);
  meLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  anchors_.Place(*meLog, {8, 176, 349, 113}, A::Left | A::Right | A::Bottom, kClientSize);

  btConfig = MakeButton("&Options", "Configure remote administration and automatic query tunneling",
                        {12, 296, 75, 25}, A::Left | A::Bottom, &TfmMain::btConfigClick);
  btAbout = MakeButton("A&bout", "Display information about the program", {96, 296, 75, 25}, A::Left | A::Bottom,
                       &TfmMain::btAboutClick);
  btQuit = MakeButton("&Quit", "Terminate the program", {280, 296, 75, 25}, A::Right | A::Bottom,
                      &TfmMain::btQuitClick);
  setTabOrder(meLog, lvServers);
  setTabOrder(lvServers, btReload);
  setTabOrder(btReload, btAdd);
  setTabOrder(btAdd, btEdit);
  setTabOrder(btEdit, btDelete);
  setTabOrder(btDelete, btConfig);
  setTabOrder(btConfig, btQuit);
  setTabOrder(btQuit, btAbout);

  sbMain = new QStatusBar(this);
  sbMain->setSizeGripEnabled(false);
  temporaryPanel_ = new QLabel(sbMain);
  temporaryPanel_->setFixedWidth(170);
  staticPanel_ = new QLabel(sbMain);
  // Their own font, so that the hint's font, which may be smaller, never reaches them.
  for (QLabel* panel : {temporaryPanel_, staticPanel_}) panel->setFont(ProgramFont());
  sbMain->addWidget(temporaryPanel_);
  sbMain->addWidget(staticPanel_, 1);
  anchors_.Place(*sbMain, {0, kClientSize.height() - 19, kClientSize.width(), 19}, A::Left | A::Right | A::Bottom,
                 kClientSize);
  connect(&hints_, &THintTracker::HintChanged, this, [this] { sbMainHint(); });

  pmTray.addAction("&Show", this, [this] { RunGuarded([this] { ShowMainWindow(); }); });
  pmTray.addAction("&Quit", this, [this] { RunGuarded([this] { btQuitClick(); }); });
  TrayIcon = new TTrayIcon(this);
  TrayIcon->SetIcon(ProgramIcon());
  TrayIcon->OnClick = [this] { RunGuarded([this] { ShowMainWindow(); }); };
  TrayIcon->SetPopupMenu(&pmTray);
  TrayIcon->SetActive(true);

  showTimer_.setSingleShot(true);
  showTimer_.setInterval(kShowDelay);
  connect(&showTimer_, &QTimer::timeout, this, [this] { ShowPending(); });

  core_.Attach(*this);
  RunGuarded([this] { core_.StartUp(); });
  TellRemoteControlRisk();

  fmServer = std::make_unique<TfmServer>(this);
  fmConfig = std::make_unique<TfmConfig>(this);
  fmAbout = std::make_unique<TfmAbout>(this);
}

TfmMain::~TfmMain() { core_.Detach(); }

QPushButton* TfmMain::MakeButton(const QString& caption, const QString& hint, const QRect& geometry, int anchors,
                                 void (TfmMain::*handler)()) {
  auto* button = new QPushButton(caption, this);
  SetHint(*button, hint);
  button->setAutoDefault(false);
  anchors_.Place(*button, geometry, anchors, kClientSize);
  connect(button, &QPushButton::clicked, this, [this, handler] { RunGuarded([this, handler] { (this->*handler)(); }); });
  return button;
}

// The manager asks for a refresh after every log line, and a flood of datagrams can bring a
// log line each: rebuilding the list, adding to the text area and painting both for every
// one of them made the players of every tunnel wait. Lines and refreshes are gathered and
// shown together a moment later, sooner than an eye follows, at most once per kShowDelay.
void TfmMain::AppendLog(const std::string& line) {
  // Lines the log would drop at once are not kept meanwhile either.
  if (pendingLog_.size() == kMaxLogLines) pendingLog_.removeFirst();
  pendingLog_.append(QString::fromStdString(line));
  ShowSoon();
}

void TfmMain::RefreshTunnelList() {
  // The rows are rebuilt with the next showing; the selection goes now, so that a row that a
  // refresh was asked for can no longer be edited or deleted.
  lvServers->clearSelection();
  listStale_ = true;
  ShowSoon();
  if (fmDetails) fmDetails->TunnelsChanged();
}

void TfmMain::ShowSoon() {
  if (!showTimer_.isActive()) showTimer_.start();
}

void TfmMain::ShowPending() {
  if (!pendingLog_.isEmpty()) {
    meLog->appendPlainText(pendingLog_.join('\n'));
    pendingLog_.clear();
    // Each new line is brought into view, and a selection of the user's goes with it.
    meLog->moveCursor(QTextCursor::End);
    meLog->ensureCursorVisible();
  }
  if (listStale_) {
    listStale_ = false;
    FillTunnelList();
  }
}

void TfmMain::FillTunnelList() {
  lvServers->clear();
  int sum = 0;
  TConfig& config = core_.Config();
  for (int i = 0; i < config.Count(); ++i) {
    const TServer& tunnel = config.Items(i);
    new QTreeWidgetItem(lvServers, {QString::number(tunnel.ListenPort), QString::fromStdString(tunnel.ServerHost),
                                    QString::number(tunnel.ServerPort), QString::number(tunnel.ClientCount())});
    sum += tunnel.ClientCount();
  }
  StaticConnCount = sum;
  sbMainHint();
}

void TfmMain::SetCaption(const std::string& caption) { setWindowTitle(QString::fromStdString(caption)); }

void TfmMain::sbMainHint() {
  if (!hints_.Hint().isEmpty()) {
    const QString text = " " + hints_.Hint();
    // Every hint is read whole, though some are wider than the bar in the desktop's font. Qt
    // draws the message between 6 px from the bar's left edge and 12 px from its right one.
    sbMain->setFont(FontToFit(text, sbMain->width() - 18));
    sbMain->showMessage(text);
    return;
  }
  sbMain->clearMessage();
  temporaryPanel_->setText(" Temporary tunnels in use: " + QString::number(core_.Manager().TemporaryCount()));
  staticPanel_->setText(" Static tunnels in use: " + QString::number(StaticConnCount));
}

void TfmMain::ShowMainWindow() {
  show();
  if (isMinimized()) showNormal();
  if (fmDetails) fmDetails->ShowWithProgram();
  QWidget* front = QApplication::activeModalWidget() ? QApplication::activeModalWidget() : this;
  front->raise();
  front->activateWindow();
}

int TfmMain::SelectedRow() const {
  const auto selected = lvServers->selectedItems();
  return selected.isEmpty() ? -1 : lvServers->indexOfTopLevelItem(selected.front());
}

void TfmMain::btReloadClick() { core_.Manager().Reload(); }

void TfmMain::btAddClick() {
  fmServer->AddTunnel(core_.Config());
  RefreshTunnelList();
  core_.Config().Save();
}

void TfmMain::btEditClick() {
  const int row = SelectedRow();
  if (row < 0) return;
  fmServer->EditTunnel(core_.Config(), core_.Config().Items(row));
  RefreshTunnelList();
  core_.Config().Save();
}

void TfmMain::btDeleteClick() {
  const int row = SelectedRow();
  if (row < 0) return;
  core_.Config().Delete(row);
  RefreshTunnelList();
  core_.Config().Save();
}

void TfmMain::btConfigClick() {
  fmConfig->EditOptions(core_.Config());
  ApplyListenerSettings(ssRemote, core_.Config());
  TellRemoteControlRisk();
}

std::string TfmMain::GuessablePassword() const {
  const char* guessable = core_.Config().GuessablePassword();
  if (!ssRemote.Active() || guessable == nullptr) return {};
  return std::string_view(guessable) == "empty" ? "an empty password" : "the default password";
}

void TfmMain::TellRemoteControlRisk() {
  const std::string password = GuessablePassword();
  TrayIcon->SetToolTip(password.empty() ? QString() : QString::fromStdString("Remote control is open with " + password));
  if (std::exchange(toldRisk_, password) == password || password.empty()) return;
  core_.AddLog("Remote control listens on TCP port " + std::to_string(ssRemote.LocalPort()) +
               " of every address with " + password + ": set a password of your own under Options, " +
               "or clear \"Allow temporary tunnels\" there");
}

void TfmMain::btAboutClick() { fmAbout->ShowModal(); }

void TfmMain::btQuitClick() { QApplication::quit(); }

void TfmMain::lvServersContextPopup(const QPoint& at) {
  QTreeWidgetItem* row = lvServers->itemAt(at);
  if (!row) return;
  popupTunnel_ = &core_.Config().Items(lvServers->indexOfTopLevelItem(row));
  pmServers.popup(lvServers->viewport()->mapToGlobal(at));
}

void TfmMain::DetailsClick() {
  if (!fmDetails) fmDetails = std::make_unique<TfmDetails>(core_, this);
  fmDetails->ShowTunnel(popupTunnel_);
}

void TfmMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  anchors_.Apply(size());
  // The log's lines wrap anew at its new width; the line of the cursor, the newest unless
  // the user put it elsewhere, stays whole in view.
  meLog->ensureCursorVisible();
}

void TfmMain::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) sbMainHint();
  // Minimized, the program leaves the screen entirely; only the tray icon stays.
  if (event->type() == QEvent::WindowStateChange && isMinimized())
    QTimer::singleShot(0, this, [this] {
      hide();
      if (fmDetails) fmDetails->HideWithProgram();
    });
}

void TfmMain::closeEvent(QCloseEvent* event) {
  event->accept();
  QApplication::quit();
}

} // namespace gw

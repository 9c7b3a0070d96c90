#include "about.h"

#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

namespace gw {

namespace {

const QString kMail = "gw@example.org";
const QString kWeb = "https://gw.example";

void MakeHeading(QLabel& label) {
  QFont font = label.font();
  font.setBold(true);
  label.setFont(font);
  label.adjustSize();
}

// Underlined in the colour of an active title bar, under a hand-shaped pointer.
void StyleAsLink(QLabel& label) {
  QFont font = label.font();
  font.setUnderline(true);
  label.setFont(font);
  QPalette palette = label.palette();
  palette.setColor(QPalette::WindowText, palette.color(QPalette::Active, QPalette::Highlight));
  label.setPalette(palette);
  label.setCursor(Qt::PointingHandCursor);
  label.adjustSize();
}

} // namespace

std::function<void(const QUrl&)> TfmAbout::OpenLink = [](const QUrl& url) { QDesktopServices::openUrl(url); };

// The names, the address and the web link are short enough to stand beside each other in the
// desktop's sans-serif font, which is wider than the one the box was drawn for.
TfmAbout::TfmAbout(QWidget* parent) : TFixedDialog(242, 217, parent) {
  setWindowTitle("About Gatewarden");
  btOk = AddButton("btOk", "&Ok", 80, 184, &QDialog::accept);

  auto* bevel = new QFrame(this);
  bevel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  bevel->setGeometry(8, 8, 225, 165);
  // Positions inside the bevel, whose corner is at 8, 8 of the box.
  MakeHeading(*AddLabel(*bevel, "General info", 12, 12));
  AddLabel(*bevel, "Version", 20, 32);
  AddLabel(*bevel, "3.0", 108, 32);
  AddLabel(*bevel, "Compiled", 20, 52);
  AddLabel(*bevel, "2001-10-12", 108, 52);
  MakeHeading(*AddLabel(*bevel, "Author", 12, 76));
  AddLabel(*bevel, "Its authors", 20, 96);
  Label8 = AddLabel(*bevel, kMail, 108, 96);
  MakeHeading(*AddLabel(*bevel, "Links", 12, 120));
  AddLabel(*bevel, "Home page", 20, 140);
  Label11 = AddLabel(*bevel, kWeb, 108, 140);
  Label8->setObjectName("Label8");
  Label11->setObjectName("Label11");
  for (QLabel* link : {Label8, Label11}) {
    StyleAsLink(*link);
    link->installEventFilter(this);
  }
}

void TfmAbout::ShowModal() { RunModal(); }

void TfmAbout::Label8Click() { OpenLink(QUrl("mailto:" + kMail)); }

void TfmAbout::Label11Click() { OpenLink(QUrl(kWeb)); }

void TfmAbout::FormActivate() { btOk->setFocus(); }

bool TfmAbout::eventFilter(QObject* watched, QEvent* event) {
  // A click is a left-button release over the link that was pressed.
  if (event->type() == QEvent::MouseButtonRelease && (watched == Label8 || watched == Label11)) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const auto* link = static_cast<QLabel*>(watched);
    if (mouse->button() == Qt::LeftButton && link->rect().contains(mouse->position().toPoint()))
      link == Label8 ? Label8Click() : Label11Click();
  }
  return TFixedDialog::eventFilter(watched, event);
}

} // namespace gw

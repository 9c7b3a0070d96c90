#include "cfgwin.h"

#include "config.h"
#include "hints.h"
#include "server.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace gw {

namespace {

// As wide as its caption needs, and never narrower than `width`.
QCheckBox* AddCheckBox(QWidget& parent, const QString& name, const QString& caption, int left, int top, int width) {
  auto* box = new QCheckBox(caption, &parent);
  box->setObjectName(name);
  box->setGeometry(left, top, std::max(width, box->sizeHint().width()), 17);
  return box;
}

} // namespace

TfmConfig::TfmConfig(QWidget* parent) : TFixedDialog(264, 297, parent) {
  setWindowTitle("Gatewarden Configuration");

  // Created in tab order: the buttons first, then the groups.
  btOk = AddButton("btOk", "&Ok", 52, 264, &QDialog::accept);
  btCancel = AddButton("btCancel", "&Cancel", 136, 264, &QDialog::reject);

  auto* general = new QGroupBox("General", this);
  general->setGeometry(8, 12, 249, 53);
  cbAddPort = AddCheckBox(*general, "cbAddPort", "T&unnel port+1 automatically", 16, 24, 157);
  SetHint(*cbAddPort, "If selected, a static tunnel can be added to favorites list in UT");

  auto* remote = new QGroupBox("Remote administration", this);
  remote->setGeometry(8, 76, 249, 177);
  // Only shown: nothing in the program lets the user change it.
  cbStatic = AddCheckBox(*remote, "cbStatic", "A&llow adding of static tunnels", 16, 24, 221);
  cbStatic->setEnabled(false);
  cbTemporary = AddCheckBox(*remote, "cbTemporary", "&Allow temporary tunnels", 16, 44, 213);
  SetHint(*cbTemporary, "If selected, clients can create temporary tunnels from within UT");
  // "Password" in the desktop's wider font reaches the field column of 68 that the box was
  // drawn with, so the fields start at 80 and the "To" label keeps its distance from the
  // "From" field by moving with it. The fields keep their right edges at 237: the password
  // field is 12 narrower rather than touching the group's frame.
  edPassword = AddEdit(*remote, "edPassword", {80, 68, 157, 21}, "The password needed to use remote administration");
  edPort = AddEdit(*remote, "edPort", {80, 92, 57, 21}, "The port that the remote administration listens on");
  const QString range = "Temporary tunnels will use a local port to listen for connections on";
  edFrom = AddEdit(*remote, "edFrom", {80, 140, 57, 21}, range);
  edTo = AddEdit(*remote, "edTo", {180, 140, 57, 21}, range);
  AddLabel(*remote, "&Password", 16, 72, edPassword);
  AddLabel(*remote, "Po&rt", 16, 96, edPort);
  AddLabel(*remote, "Local portrange for temporary tunnels", 12, 120);
  AddLabel(*remote, "&From", 16, 144, edFrom);
  AddLabel(*remote, "&To", 152, 144, edTo);
}

bool TfmConfig::EditOptions(TConfig& config) {
  // Refilled at every opening, so what a cancelled opening left in the fields is gone.
  cbAddPort->setChecked(config.AddPort);
  cbStatic->setChecked(config.Static);
  cbTemporary->setChecked(config.Temporary);
  edPassword->setText(QString::fromStdString(config.Password));
  edPort->setText(QString::number(config.Port));
  edFrom->setText(QString::number(config.FromPort));
  edTo->setText(QString::number(config.ToPort));
  if (!RunModal()) return false;

  // Every number is converted before any option is stored: a field that does not convert
  // leaves all options as they were, so the password in use never differs from the one the
  // listener and the settings file know.
  const int port = PortOf(*edPort, "Port");
  const int fromPort = PortOf(*edFrom, "From");
  const int toPort = PortOf(*edTo, "To");
  // A query port for every tunnel: one on 65535 would have none. (PortProblem asks the
  // store's AddPort; it raises nothing.) Two tunnels a port apart are told by the next Reload.
  if (cbAddPort->isChecked() && !config.AddPort) {
    config.AddPort = true;
    std::string problem;
    int index = 0;
    for (; index < config.Count() && problem.empty(); ++index)
      problem = config.PortProblem(config.Items(index).ListenPort);
    config.AddPort = false;
    if (!problem.empty())
      throw std::invalid_argument("With the query port on, the tunnel on " + config.Items(index - 1).Describe() +
                                  " could not listen: " + problem);
  }
  config.AddPort = cbAddPort->isChecked();
  config.Static = cbStatic->isChecked();
  config.Temporary = cbTemporary->isChecked();
  config.Password = edPassword->text().toStdString();
  config.Port = port;
  config.FromPort = fromPort;
  config.ToPort = toPort;
  config.Save();
  return true;
}

void TfmConfig::FormActivate() { cbAddPort->setFocus(); }

} // namespace gw

#include "svmap.h"

#include "config.h"
#include "server.h"
#include "settingsCheck.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <stdexcept>

namespace gw {

TfmServer::TfmServer(QWidget* parent) : TFixedDialog(224, 155, parent) {
  // Created in tab order: the buttons first, then the fields of the group.
  btOk = AddButton("btOk", "&Ok", 32, 120, &QDialog::accept);
  btCancel = AddButton("btCancel", "&Cancel", 116, 120, &QDialog::reject);
  auto* group = new QGroupBox("Server data", this);
  group->setGeometry(8, 8, 209, 101);
  edLPort = AddEdit(*group, "edLPort", {80, 20, 57, 21}, "The port that the tunnel listens for connections on");
  edSPort = AddEdit(*group, "edSPort", {80, 44, 57, 21}, "The port of the server to tunnel to");
  edSIP = AddEdit(*group, "edSIP", {80, 68, 117, 21}, "The address of the server to tunnel to");
  // Longer than any host name; a longer text would make a settings entry that the program
  // reads back cut, and then refuses at its next start.
  edSIP->setMaxLength(kMaxServerAddress);
  AddLabel(*group, "&Listen port", 8, 24, edLPort);
  AddLabel(*group, "Server &port", 8, 48, edSPort);
  AddLabel(*group, "Server &IP", 8, 72, edSIP);
}

void TfmServer::AddTunnel(TConfig& config) {
  setWindowTitle("Add server");
  edLPort->clear();
  edSPort->clear();
  edSIP->clear();
  if (!RunModal()) return;
  auto tunnel = config.CreateTunnel();
  ReadFields(config, *tunnel);
  config.Add(std::move(tunnel));
}

void TfmServer::EditTunnel(const TConfig& config, TServer& tunnel) {
  setWindowTitle("Edit server");
  FillFields(tunnel);
  if (RunModal()) ReadFields(config, tunnel);
}

void TfmServer::FormActivate() { edLPort->setFocus(); }

void TfmServer::FillFields(const TServer& tunnel) {
  edLPort->setText(QString::number(tunnel.ListenPort));
  edSPort->setText(QString::number(tunnel.ServerPort));
  edSIP->setText(QString::fromStdString(tunnel.ServerHost));
}

void TfmServer::ReadFields(const TConfig& config, TServer& tunnel) const {
  const std::string host = edSIP->text().toStdString();
  // The tunnel line ends the host at its first ':', so such a host would be saved as an entry
  // that stops the program at its next start. Refused before any field is stored.
  if (host.find(':') != std::string::npos)
    throw std::runtime_error("The server address '" + host + "' must not contain a colon");
  if (const char* unservable = UnservableHost(host))
    throw std::runtime_error("The server address '" + host + "' is " + unservable + ", no game server's");
  const int listenPort = PortOf(*edLPort, "Listen port");
  // Such a tunnel could never serve its query port.
  if (const std::string problem = config.PortProblem(listenPort); !problem.empty())
    throw std::runtime_error("Listen port " + std::to_string(listenPort) + ": " + problem);
  tunnel.ListenPort = listenPort;
  tunnel.ServerPort = PortOf(*edSPort, "Server port");
  tunnel.ServerHost = host;
}

} // namespace gw

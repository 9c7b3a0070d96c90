#include "config.h"

#include "descriptorLimit.h"
#include "iniText.h"
#include "intConv.h"
#include "mastersSection.h"
#include "textUtil.h"
#include "tunnelLine.h"
#include "udpSocket.h"

#include <arpa/inet.h>

#include <unordered_map>

namespace gw {

namespace {

constexpr std::string_view kGeneral = "General";
constexpr std::string_view kRemoteAdmin = "RemoteAdmin";
constexpr std::string_view kTunnels = "Tunnels";
constexpr std::string_view kMetrics = "Metrics";

// A missing key, an empty value and a text that is no integer all give the default.
int ReadInteger(const TIniText& text, std::string_view section, std::string_view key, int fallback) {
  int32_t value = 0;
  const std::optional<std::string> found = text.Value(section, key);
  return found && TryStrToInt(*found, value) ? value : fallback;
}

bool ReadBool(const TIniText& text, std::string_view section, std::string_view key, bool fallback) {
  return ReadInteger(text, section, key, fallback ? 1 : 0) != 0;
}

const char* BoolText(bool value) { return value ? "1" : "0"; }

// Stricter than the other options: an endpoint that silently stayed off, or opened on
// another address than the one written, would go unnoticed until the graphs were needed.
// The address is a numeric IPv4 address and nothing else, since it is handed on to the HTTP
// server, which would read a list of ports and options in it.
TMetricsSettings ReadMetrics(const TIniText& text, const std::filesystem::path& path) {
  TMetricsSettings metrics;
  // The first entry that does not read is told.
  const auto problem = [&](std::string_view key, const std::string& value, const char* expected) {
    if (metrics.Problem.empty())
      metrics.Problem = path.string() + ", section [Metrics], entry " + std::string(key) + "=" + EchoField(value) +
                        ": " + expected;
  };
  const std::optional<std::string> port = text.Value(kMetrics, "Port");
  int32_t number = 0;
  if (port && !port->empty()) {
    if (TryStrToInt(*port, number) && number >= 0 && number <= 65535)
      metrics.Port = number;
    else
      problem("Port", *port, "not a TCP port (1 to 65535, or 0 for no metrics)");
  }
  const std::optional<std::string> address = text.Value(kMetrics, "Address");
  in_addr numeric{};
  if (address && !address->empty()) {
    if (::inet_pton(AF_INET, address->c_str(), &numeric) == 1)
      metrics.Address = *address;
    else
      problem("Address", *address, "not a numeric IPv4 address such as 127.0.0.1");
  }
  return metrics;
}

} // namespace

TConfig::TConfig(TEngineContext& engine, const std::filesystem::path& path, TIfMissing ifMissing)
    : engine_(engine), file_(path) {
  Load(ifMissing);
}

void TConfig::Load(TIfMissing ifMissing) {
  const TIniText text = file_.Read(ifMissing);

  // Every key loads one tunnel, in file order, whatever its name; a name that occurs twice
  // reads the first entry's value both times.
  for (const auto& [key, value] : text.Entries(kTunnels)) {
    auto tunnel = CreateTunnel();
    try {
      ParseTunnelLine(*tunnel, value);
    } catch (const TConversionError& e) {
      throw TSettingsError(Path().string() + ", section [Tunnels], entry " + key + "=" + value + ": " + e.what());
    }
    Tunnels.push_back(std::move(tunnel));
  }

  AddPort = ReadBool(text, kGeneral, "AddPort", true);
  FastPath = ReadBool(text, kGeneral, "FastPath", false);
  Temporary = ReadBool(text, kRemoteAdmin, "Temporary", true);
  Static = ReadBool(text, kRemoteAdmin, "Static", true);
  Password = text.Value(kRemoteAdmin, "Password").value_or(kDefaultPassword);
  Port = ReadInteger(text, kRemoteAdmin, "Port", 23817);
  FromPort = ReadInteger(text, kRemoteAdmin, "FromPort", 8000);
  ToPort = ReadInteger(text, kRemoteAdmin, "ToPort", 9000);
  Metrics = ReadMetrics(text, Path());
  Masters = ReadMasters(text, Path());
  CheckDescriptors();
}

void TConfig::CheckDescriptors() const {
  const int64_t limit = DescriptorLimit();
  constexpr int kKept = kProcessDescriptors + TudpSocket::kDescriptorReserve;
  if (int64_t{StaticSockets()} + kKept <= limit) return;
  throw TSettingsError(Path().string() + ": " + std::to_string(Count()) + " tunnels need " +
                       std::to_string(StaticSockets()) + " sockets, more than the descriptor limit of " +
                       std::to_string(limit) + " can serve (" + std::to_string(kKept) +
                       " descriptors stay for the program and its players)");
}

const char* TConfig::GuessablePassword() const {
  // Compared as the remote control compares what it is given.
  const std::string password(TrimControl(LowerAZ(Password)));
  if (password.empty()) return "empty";
  if (password == kDefaultPassword) return "the default one";
  return nullptr;
}

void TConfig::Save() {
  // The options go first so that a new file reads General, RemoteAdmin, Tunnels.
  file_.Update([this](TIniText& text) {
    text.Set(kGeneral, "AddPort", BoolText(AddPort));
    text.Set(kRemoteAdmin, "Temporary", BoolText(Temporary));
    text.Set(kRemoteAdmin, "Static", BoolText(Static));
    text.Set(kRemoteAdmin, "Password", Password);
    text.Set(kRemoteAdmin, "Port", std::to_string(Port));
    text.Set(kRemoteAdmin, "FromPort", std::to_string(FromPort));
    text.Set(kRemoteAdmin, "ToPort", std::to_string(ToPort));
    text.EraseSection(kTunnels);
    for (int i = 0; i < Count(); ++i) text.Set(kTunnels, "Server" + std::to_string(i), TunnelLine(*Tunnels[i]));
  });
}

TReloaded TConfig::Reload() {
  TConfig read(engine_, Path(), TIfMissing::Fail);
  if (!read.Metrics.Problem.empty()) throw TSettingsError(read.Metrics.Problem);
  const bool addPortChanged = AddPort != read.AddPort;
  AddPort = read.AddPort;
  Static = read.Static;
  Temporary = read.Temporary;
  Password = read.Password;
  Port = read.Port;
  FromPort = read.FromPort;
  ToPort = read.ToPort;
  Metrics = read.Metrics;
  Masters = read.Masters;

  // Matched by their lines through one table, so that a file of many thousand tunnels
  // reloads in a moment.
  std::unordered_multimap<std::string, std::unique_ptr<TServer>*> running;
  running.reserve(Tunnels.size());
  for (std::unique_ptr<TServer>& old : Tunnels) running.emplace(TunnelLine(*old), &old);
  TReloaded reloaded;
  std::vector<std::unique_ptr<TServer>> tunnels;
  tunnels.reserve(read.Tunnels.size());
  for (std::unique_ptr<TServer>& fresh : read.Tunnels) {
    const auto same = running.find(TunnelLine(*fresh));
    if (same == running.end()) {
      tunnels.push_back(std::move(fresh));
      continue;
    }
    tunnels.push_back(std::move(*same->second));
    running.erase(same);
    if (!addPortChanged) reloaded.Serving.insert(tunnels.back().get());
  }
  for (std::unique_ptr<TServer>& old : Tunnels)
    if (old) reloaded.Departed.push_back(std::move(old));
  Tunnels = std::move(tunnels);
  return reloaded;
}

void TConfig::CheckIndex(int index) const {
  if (index < 0 || index >= Count())
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
}

TServer& TConfig::Items(int index) {
  CheckIndex(index);
  return *Tunnels[index];
}

int TConfig::Add(std::unique_ptr<TServer> tunnel) {
  Tunnels.push_back(std::move(tunnel));
  return Count() - 1;
}

void TConfig::Delete(int index) {
  CheckIndex(index);
  Tunnels.erase(Tunnels.begin() + index);
}

} // namespace gw

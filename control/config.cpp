#include "config.h"

#include "descriptorLimit.h"
#include "iniText.h"
#include "intConv.h"
#include "mastersSection.h"
#include "remoteLimits.h"
#include "settingsCheck.h"
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

// Reads the options of one file, gathering what keeps it from being served (problems) and
// what it holds that reads otherwise than it seems to (warnings).
class TReader {
public:
  TReader(const TIniText& text, const std::filesystem::path& path) : text_(text), path_(path) {}

  std::string Where(std::string_view section, std::string_view key, std::string_view value) const {
    return path_.string() + ", section [" + std::string(section) + "], entry " + std::string(key) + "=" +
           EchoField(value);
  }

  // A missing key and an empty value give the default. So does a text that is no integer,
  // where the file's format has always read it so (`defaultKept`): a start serves it, told,
  // and a check or a reload refuses it, since "Temporary=0 ; off for now" would turn on what
  // it means to turn off. Elsewhere such a text keeps the file from being served.
  int Integer(std::string_view section, std::string_view key, int fallback, std::string_view meaning,
              bool defaultKept = true) {
    int32_t value = 0;
    const std::optional<std::string> found = text_.Value(section, key);
    if (!found || found->empty()) return fallback;
    if (TryStrToInt(*found, value)) return value;
    const std::string where = Where(section, key, *found) + ": not a number";
    if (!defaultKept) {
      Problems.push_back(where + std::string(meaning));
      return fallback;
    }
    Unreadable.push_back(where + ", so a start reads the default " + std::to_string(fallback) + std::string(meaning));
    return fallback;
  }

  bool Bool(std::string_view section, std::string_view key, bool fallback, bool defaultKept = true) {
    return Integer(section, key, fallback ? 1 : 0, " (0 is off, any other number on)", defaultKept) != 0;
  }

  int Port(std::string_view section, std::string_view key, int fallback) {
    const int port = Integer(section, key, fallback, "");
    if (!IsPort(port)) Problems.push_back(Where(section, key, *text_.Value(section, key)) + ": " + kNotAPort);
    return port;
  }

  std::vector<std::string> Problems;
  std::vector<std::string> Warnings;
  std::vector<std::string> Unreadable;

private:
  const TIniText& text_;
  const std::filesystem::path& path_;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
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
  TReader read(text, Path());

  // Every key loads one tunnel, in file order, whatever its name; a name that occurs twice
  // reads the first entry's value both times. Every entry that does not read is told, so that
  // one look at the file finds them all.
  std::vector<std::string> keys;
  for (const auto& [key, value] : text.Entries(kTunnels)) {
    auto tunnel = CreateTunnel();
    try {
      ParseTunnelLine(*tunnel, value);
    } catch (const TConversionError& e) {
      read.Problems.push_back(read.Where(kTunnels, key, value) + ": " + e.what());
      continue;
    }
    for (const auto& [number, what] : {std::pair{tunnel->ListenPort, "listen port "}, {tunnel->ServerPort, "server port "}})
      if (!IsPort(number)) read.Problems.push_back(read.Where(kTunnels, key, value) + ": " + what + std::to_string(number) + " is " + kNotAPort);
    if (const char* unservable = UnservableHost(tunnel->ServerHost))
      read.Problems.push_back(read.Where(kTunnels, key, value) + ": " + tunnel->ServerHost + " is " + unservable +
                              ", no game server's");
    Tunnels.push_back(std::move(tunnel));
    keys.push_back(key);
  }

  AddPort = read.Bool(kGeneral, "AddPort", true);
  // Not a key of the original program's files: one that does not read is no default.
  FastPath = read.Bool(kGeneral, "FastPath", false, false);
  FileFastPath = FastPath;
  Temporary = read.Bool(kRemoteAdmin, "Temporary", true);
  Static = read.Bool(kRemoteAdmin, "Static", true);
  Password = text.Value(kRemoteAdmin, "Password").value_or(kDefaultPassword);
  Port = read.Port(kRemoteAdmin, "Port", kDefaultPort);
  FromPort = read.Port(kRemoteAdmin, "FromPort", kDefaultFromPort);
  ToPort = read.Port(kRemoteAdmin, "ToPort", kDefaultToPort);
  Metrics = ReadMetrics(text, Path());
  Masters = ReadMasters(text, Path());
  CheckPorts(keys, Clashes, read.Warnings);
  if (Temporary && Metrics.Port != 0 && Metrics.Port == Port)
    read.Problems.push_back(Path().string() + ": [Metrics] Port=" + std::to_string(Metrics.Port) +
                            " is the remote control's TCP port too ([RemoteAdmin] Port)");
  if (!read.Problems.empty()) throw TSettingsError(Joined(read.Problems));
  Unreadable = std::move(read.Unreadable);
  Warnings = UnreadParts(text, Path());
  Warnings.insert(Warnings.end(), Unreadable.begin(), Unreadable.end());
  Warnings.insert(Warnings.end(), read.Warnings.begin(), read.Warnings.end());
  Warnings.insert(Warnings.end(), Clashes.begin(), Clashes.end());
  CheckDescriptors();
}

void TConfig::CheckPorts(const std::vector<std::string>& keys, std::vector<std::string>& clashes,
                         std::vector<std::string>& warnings) const {
  const std::string where = Path().string() + ", section [Tunnels], entry ";
  // Who holds each UDP port: two sockets cannot share one, and the second tunnel would
  // serve nothing.
  std::unordered_map<int, std::string> holders;
  std::vector<int> inRange;
  for (int i = 0; i < Count(); ++i) {
    const TServer& tunnel = *Tunnels[i];
    // A listen port that is none is told already.
    if (!IsPort(tunnel.ListenPort)) continue;
    const std::string entry = where + keys[i] + "=" + EchoField(TunnelLine(tunnel)) + ": ";
    for (const bool query : {false, true}) {
      if (query && !AddPort) break;
      const int64_t port = int64_t{tunnel.ListenPort} + (query ? 1 : 0);
      const std::string own = query ? "its query port " + std::to_string(port) : "its port " + std::to_string(port);
      if (!IsPort(port)) {
        clashes.push_back(entry + own + " is " + kNotAPort + " (AddPort=1)");
        break;
      }
      const auto [holder, added] =
          holders.try_emplace(static_cast<int>(port), (query ? "the query port (AddPort=1) of entry " : "the port of entry ") + keys[i]);
      if (!added) {
        clashes.push_back(entry + own + " is already " + holder->second);
        break;
      }
      if (Temporary && port >= FromPort && port <= ToPort) inRange.push_back(static_cast<int>(port));
    }
  }
  if (!Temporary) return;
  const std::string range = Path().string() + ", section [RemoteAdmin]: the temporary tunnels' range FromPort=" +
                            std::to_string(FromPort) + " to ToPort=" + std::to_string(ToPort);
  if (IsPort(FromPort) && IsPort(ToPort) && FromPort > ToPort)
    clashes.push_back(range + " is empty: every temporary tunnel takes FromPort");
  if (!inRange.empty()) {
    // The first few name the clash; the count tells the rest.
    constexpr std::size_t kPortsNamed = 5;
    std::string ports;
    for (std::size_t i = 0; i < inRange.size() && i < kPortsNamed; ++i)
      ports += (i ? ", " : "") + std::to_string(inRange[i]);
    if (inRange.size() > kPortsNamed) ports += ", ...";
    warnings.push_back(range + " holds " + std::to_string(inRange.size()) + " static tunnel ports (" + ports +
                       "): temporary tunnels pass them over");
  }
}

void TConfig::RefuseClashes() const {
  std::vector<std::string> reasons = Unreadable;
  reasons.insert(reasons.end(), Clashes.begin(), Clashes.end());
  if (!reasons.empty()) throw TSettingsError(Joined(reasons));
}

namespace {
// The process's own descriptors and the players' reserve, kept whatever the clients.
constexpr int kKept = TConfig::kProcessDescriptors + TudpSocket::kDescriptorReserve;
// The three standard streams, the remote control's listener and every connection it takes.
static_assert(TConfig::kProcessDescriptors > 3 + 1 + int{TRemoteLimits::kMaxConnections});
} // namespace

int64_t TConfig::RoomForClients(int besides) const {
  return int64_t{DescriptorLimit()} - StaticSockets() - besides - kKept;
}

void TConfig::CheckDescriptors() const {
  const int64_t limit = DescriptorLimit();
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
  // A running relay keeps what it serves rather than take a file that cannot be served whole.
  read.RefuseClashes();
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
  // The kernel's program is loaded once, at start (see FileFastPath).
  FileFastPath = read.FastPath;
  Warnings = read.Warnings;
  Unreadable = read.Unreadable;
  Clashes = read.Clashes;

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

std::string TConfig::PortProblem(int listenPort) const {
  if (AddPort && !IsPort(int64_t{listenPort} + 1))
    return "its query port " + std::to_string(int64_t{listenPort} + 1) + " is " + kNotAPort + " (AddPort=1)";
  return {};
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

#include "config.h"

#include "iniText.h"
#include "intConv.h"
#include "tunnelLine.h"

#include <algorithm>

namespace gw {

namespace {

constexpr std::string_view kGeneral = "General";
constexpr std::string_view kRemoteAdmin = "RemoteAdmin";
constexpr std::string_view kTunnels = "Tunnels";

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

} // namespace

TConfig::TConfig(TEngineContext& engine, const std::filesystem::path& path) : engine_(engine), file_(path) {
  Load();
}

void TConfig::Load() {
  const TIniText text = file_.Read();

  // Every key loads one tunnel, in file order, whatever its name; a name that occurs twice
  // reads the first entry's value both times.
  for (const std::string& key : text.Keys(kTunnels)) {
    const std::string value = text.Value(kTunnels, key).value_or(std::string());
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
  Password = text.Value(kRemoteAdmin, "Password").value_or("moonbeam");
  Port = ReadInteger(text, kRemoteAdmin, "Port", 23817);
  FromPort = ReadInteger(text, kRemoteAdmin, "FromPort", 8000);
  ToPort = ReadInteger(text, kRemoteAdmin, "ToPort", 9000);
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

void TConfig::Reload() {
  TConfig read(engine_, Path());
  AddPort = read.AddPort;
  Static = read.Static;
  Temporary = read.Temporary;
  Password = read.Password;
  Port = read.Port;
  FromPort = read.FromPort;
  ToPort = read.ToPort;

  std::vector<std::unique_ptr<TServer>> tunnels;
  for (std::unique_ptr<TServer>& fresh : read.Tunnels) {
    const std::string line = TunnelLine(*fresh);
    const auto same = std::ranges::find_if(Tunnels, [&](const auto& old) { return old && TunnelLine(*old) == line; });
    tunnels.push_back(same != Tunnels.end() ? std::move(*same) : std::move(fresh));
  }
  Tunnels = std::move(tunnels);
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

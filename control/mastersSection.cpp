#include "mastersSection.h"

#include "config.h"
#include "intConv.h"
#include "textUtil.h"

#include <algorithm>

namespace gw {

namespace {

constexpr std::string_view kMasters = "Masters";
using L = TMasterLimits;

// A host name or a dotted address: no blank, control byte, ":" (the port's mark) or "\"
// (a heartbeat's separator), and not empty.
bool IsHost(std::string_view host) {
  if (host.empty()) return false;
  for (const char c : host)
    if (static_cast<unsigned char>(c) <= ' ' || c == 127 || c == ':' || c == '\\') return false;
  return true;
}

// What is wrong with a master's entry, or nothing.
std::string ReadServer(std::string_view value, TMastersSettings::TServer& server) {
  const std::size_t colon = value.find(':');
  server.Host = std::string(value.substr(0, colon));
  if (!IsHost(server.Host)) return "not a host name or address, HOST or HOST:PORT";
  if (colon == std::string_view::npos) return {};
  int32_t port = 0;
  if (!TryStrToInt(value.substr(colon + 1), port) || port < 1 || port > 65535)
    return "not a UDP port (1 to 65535) after the host";
  server.Port = port;
  return {};
}

bool IsGameName(std::string_view name) {
  if (name.empty() || name.size() > L::kMaxGameNameLength) return false;
  for (const char c : name)
    if (c <= ' ' || c > '~' || c == '\\') return false;
  return true;
}

} // namespace

TMastersSettings ReadMasters(const TIniText& text, const std::filesystem::path& path) {
  TMastersSettings masters;
  const auto refuse = [&](const std::string& key, const std::string& value, const std::string& why) {
    throw TSettingsError(path.string() + ", section [Masters], entry " + key + "=" + EchoField(value) + ": " + why);
  };
  for (const auto& [key, value] : text.Entries(kMasters)) {
    const std::string name = LowerAZ(key);
    if (name == "interval") {
      int32_t seconds = 0;
      if (!TryStrToInt(value, seconds) || seconds < L::kMinInterval.count() || seconds > L::kMaxInterval.count())
        refuse(key, value,
               "not a number of seconds from " + std::to_string(L::kMinInterval.count()) + " to " +
                   std::to_string(L::kMaxInterval.count()));
      masters.Interval = std::chrono::seconds(seconds);
    } else if (name == "gamename") {
      if (!IsGameName(value))
        refuse(key, value,
               "not a game name (1 to " + std::to_string(L::kMaxGameNameLength) +
                   " printable characters, no blank or backslash)");
      masters.GameName = value;
    } else if (name.starts_with("server")) {
      TMastersSettings::TServer server;
      if (const std::string why = ReadServer(TrimControl(value), server); !why.empty()) refuse(key, value, why);
      if (std::find(masters.Servers.begin(), masters.Servers.end(), server) != masters.Servers.end())
        refuse(key, value, "the same master as an entry before it");
      if (masters.Servers.size() == L::kMaxMasters)
        refuse(key, value, "more than " + std::to_string(L::kMaxMasters) + " masters");
      masters.Servers.push_back(std::move(server));
    }
  }
  return masters;
}

std::string DescribeMasters(const TMastersSettings& masters) {
  if (masters.Servers.empty()) return "no masters";
  std::string text = "heartbeats every " + std::to_string(masters.Interval.count()) + " s as " + masters.GameName + " to ";
  for (std::size_t i = 0; i < masters.Servers.size(); ++i)
    text += (i ? ", " : "") + masters.Servers[i].Host + ":" + std::to_string(masters.Servers[i].Port);
  return text;
}

} // namespace gw

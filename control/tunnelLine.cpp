#include "tunnelLine.h"

#include "controlLimits.h"
#include "iniText.h"
#include "intConv.h"
#include "textUtil.h"

namespace gw {

namespace {
constexpr std::size_t kMaxPartLength = TControlLimits::kMaxTunnelLinePart;
static_assert(kMaxPartLength > TIniText::kMaxValueLength, "a line the settings file holds is never cut");
}

void ParseTunnelLine(TServer& tunnel, std::string_view text) {
  const std::string_view s = TrimControl(text);
  // Blanks and tabs, as many as an administrator lines the entries up with, separate the
  // port from the server; a host has none of either.
  constexpr std::string_view kSeparators = " \t";
  const std::size_t blank = s.find_first_of(kSeparators);
  tunnel.ListenPort = StrToInt(blank == std::string_view::npos ? std::string_view{} : s.substr(0, blank));

  const std::size_t server = blank == std::string_view::npos ? blank : s.find_first_not_of(kSeparators, blank);
  const std::string_view rest = server == std::string_view::npos ? std::string_view{} : s.substr(server, kMaxPartLength);
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) {
    tunnel.ServerHost.clear();
    tunnel.ServerPort = StrToInt(rest);
    return;
  }
  tunnel.ServerHost = rest.substr(0, colon);
  tunnel.ServerPort = StrToInt(rest.substr(colon + 1, kMaxPartLength));
}

std::string TunnelLine(const TServer& tunnel) {
  return std::to_string(tunnel.ListenPort) + " " + tunnel.ServerHost + ":" + std::to_string(tunnel.ServerPort);
}

} // namespace gw

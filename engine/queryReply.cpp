#include "queryReply.h"

#include <charconv>
#include <cstring>

namespace gw {

namespace {

struct TValueSpan {
  std::size_t Start = std::string_view::npos;
  std::size_t Length = 0;
  bool Found() const { return Start != std::string_view::npos; }
};

TValueSpan FindQueryValue(std::string_view text, std::string_view key) {
  for (std::size_t at = text.find('\\'); at != std::string_view::npos; at = text.find('\\', at + 1)) {
    const std::size_t keyStart = at + 1;
    const std::size_t keyEnd = keyStart + key.size();
    if (keyEnd < text.size() && text[keyEnd] == '\\' && text.compare(keyStart, key.size(), key) == 0) {
      const std::size_t valueStart = keyEnd + 1;
      const std::size_t valueEnd = std::min(text.find('\\', valueStart), text.size());
      return {valueStart, valueEnd - valueStart};
    }
  }
  return {};
}

constexpr std::size_t kMaxDecimalInt = 11; // "-2147483648"

} // namespace

std::string_view GetQueryValue(std::string_view text, std::string_view key) {
  const TValueSpan value = FindQueryValue(text, key);
  return value.Found() ? text.substr(value.Start, value.Length) : std::string_view{};
}

void SetQueryValue(std::string& text, std::string_view key, std::string_view value) {
  const TValueSpan old = FindQueryValue(text, key);
  if (old.Found()) text.replace(old.Start, old.Length, value);
}

void RewriteQueryReply(std::string& reply, std::string_view serverHost, int listenPort) {
  reply.resize(::strnlen(reply.data(), reply.size()));

  const TValueSpan name = FindQueryValue(reply, "hostname");
  if (name.Found()) reply.insert(name.Start, kHostNamePrefix);

  SetQueryValue(reply, "hostip", serverHost);

  char port[kMaxDecimalInt];
  const auto written = std::to_chars(port, port + sizeof port, listenPort);
  SetQueryValue(reply, "hostport", std::string_view(port, written.ptr - port));
}

std::size_t QueryReplyGrowth(std::string_view serverHost) {
  return kHostNamePrefix.size() + serverHost.size() + kMaxDecimalInt;
}

bool LooksLikeQueryReply(std::string_view datagram) {
  return datagram.find("\\final\\") != std::string_view::npos || datagram.find("\\queryid\\") != std::string_view::npos;
}

} // namespace gw

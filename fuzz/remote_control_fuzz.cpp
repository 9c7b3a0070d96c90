// Input: one message as a remote-control peer sends it, e.g. "create|moonbeam|10.0.0.5:7778".
#include "fuzzInput.h"
#include "fuzzTargets.h"
#include "intConv.h"
#include "remoteLimits.h"
#include "remotecontrol.h"

#include <algorithm>
#include <string>

namespace gw::fuzz {

namespace {

// The parts of a message and of a create argument that the reader takes whole; inputs are
// far shorter, but the round trips below only hold within them.
constexpr std::size_t kWholeMessageLimit = TRemoteLimits::kMaxRestLength;
constexpr std::size_t kWholeArgumentLimit = TRemoteLimits::kMaxArgumentPart;

bool IsControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view TrimControlEnds(std::string_view s) {
  while (!s.empty() && IsControl(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsControl(s.back())) s.remove_suffix(1);
  return s;
}

bool HasUpperAZ(std::string_view s) {
  return std::ranges::any_of(s, [](char c) { return c >= 'A' && c <= 'Z'; });
}

void CheckMessage(std::string_view message) {
  const TRemoteRequest request = ParseRemoteMessage(message);
  for (const std::string* field : {&request.Command, &request.Password, &request.Argument}) {
    Require(field->find('|') == std::string::npos, "a message field holds '|'");
    Require(!HasUpperAZ(*field), "a message field holds an upper-case letter");
  }
  if (message.size() > kWholeMessageLimit) return;

  // Lower-casing A to Z keeps every other byte, so the fields are the trimmed message's
  // parts between its bars.
  const std::string_view trimmed = TrimControlEnds(message);
  const std::size_t bars = static_cast<std::size_t>(std::ranges::count(trimmed, '|'));
  std::string joined = request.Command;
  if (bars >= 1) joined += "|" + request.Password;
  if (bars >= 2) joined += "|" + request.Argument;
  std::string lowered(trimmed);
  std::ranges::transform(lowered, lowered.begin(),
                         [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
  Require(lowered.starts_with(joined), "the fields are not the message's leading parts");
  Require(bars >= 3 ? lowered.size() > joined.size() && lowered[joined.size()] == '|' : lowered == joined,
          "a message part went missing");
}

void CheckCreateArgument(std::string_view argument) {
  TCreateTarget target;
  try {
    target = ParseCreateArgument(argument);
  } catch (const TConversionError&) {
    return;
  }
  Require(target.Host.find(':') == std::string::npos, "a created tunnel's host holds ':'");

  // The same target written plainly as host:port reads back the same, unless the host begins
  // with what the reader trims off.
  if (!target.Host.empty() && IsControl(target.Host.front())) return;
  const std::string plain = target.Host + ":" + std::to_string(target.Port);
  if (plain.size() > kWholeArgumentLimit) return;
  const TCreateTarget reread = ParseCreateArgument(plain);
  Require(reread.Host == target.Host && reread.Port == target.Port, "host:port does not read back the same");
}

} // namespace

void RemoteControl(const uint8_t* data, std::size_t size) {
  const std::string_view message = AsText(data, size);
  CheckMessage(message);
  CheckCreateArgument(message);
  CheckCreateArgument(ParseRemoteMessage(message).Argument);
}

} // namespace gw::fuzz

// Input: server host, listen port, a key, a value (one line each), then the reply's bytes.
#include "fuzzInput.h"
#include "fuzzTargets.h"
#include "queryReply.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

namespace gw::fuzz {

namespace {

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

int PortFrom(std::string_view text) {
  int port = 0; // a field that is no number leaves 0
  std::from_chars(text.data(), text.data() + text.size(), port);
  return port;
}

std::vector<std::string> SplitAtBackslashes(std::string_view text) {
  std::vector<std::string> tokens;
  std::size_t begin = 0;
  for (std::size_t bar = text.find('\\'); bar != std::string_view::npos; bar = text.find('\\', begin)) {
    tokens.emplace_back(text.substr(begin, bar - begin));
    begin = bar + 1;
  }
  tokens.emplace_back(text.substr(begin));
  return tokens;
}

std::string JoinWithBackslashes(const std::vector<std::string>& tokens) {
  std::string text;
  for (std::size_t i = 0; i < tokens.size(); ++i) text += (i == 0 ? "" : "\\") + tokens[i];
  return text;
}

// The rewrite seen field by field: cut at the backslashes, a key is a token with a
// backslash on both sides and its value is the token after it. Each of the three edits
// changes the value after the first such key, one after the other. The model holds for a
// host without backslashes, which would otherwise add tokens of their own.
std::string ModelRewrite(std::string_view cut, std::string_view host, int port) {
  std::vector<std::string> tokens = SplitAtBackslashes(cut);
  const auto edit = [&tokens](std::string_view key, auto change) {
    for (std::size_t i = 1; i + 1 < tokens.size(); ++i) {
      if (tokens[i] == key) {
        tokens[i + 1] = change(tokens[i + 1]);
        return;
      }
    }
  };
  edit("hostname", [](const std::string& name) { return std::string(kHostNamePrefix) + name; });
  edit("hostip", [host](const std::string&) { return std::string(host); });
  edit("hostport", [port](const std::string&) { return std::to_string(port); });
  return JoinWithBackslashes(tokens);
}

void CheckRewrite(std::string_view original, std::string_view host, int port) {
  std::string reply(original);
  reply.reserve(original.size() + QueryReplyGrowth(host));
  RewriteQueryReply(reply, host, port);

  const std::string_view cut = original.substr(0, original.find('\0'));
  Require(reply.size() <= cut.size() + QueryReplyGrowth(host), "the rewrite grew past QueryReplyGrowth");
  if (!Contains(host, std::string_view("\0", 1)))
    Require(!Contains(reply, std::string_view("\0", 1)), "a zero byte is left in the rewritten reply");
  if (!Contains(cut, "\\hostname\\") && !Contains(cut, "\\hostip\\") && !Contains(cut, "\\hostport\\"))
    Require(reply == cut, "a reply without the edited keys changed beyond its cut at the zero byte");
  if (!Contains(host, "\\")) Require(reply == ModelRewrite(cut, host, port), "the rewrite differs from the field model");
}

void CheckGetSet(std::string_view original, std::string_view key, std::string_view value) {
  const std::string text(original);
  // Appended, not concatenated: GCC 12 at -O3 reports a false -Wrestrict overlap in the
  // inlined `"\\" + std::string` (its bug 105329).
  std::string marked = "\\";
  marked.append(key).append("\\");
  const std::size_t at = text.find(marked);
  const std::string_view got = GetQueryValue(text, key);

  std::string edited = text;
  SetQueryValue(edited, key, value);
  if (at == std::string::npos) {
    Require(got.empty(), "GetQueryValue found a key that is not there");
    Require(edited == text, "SetQueryValue changed a text without the key");
    return;
  }
  const std::size_t valueStart = at + marked.size();
  const std::size_t valueEnd = std::min(text.find('\\', valueStart), text.size());
  Require(got == std::string_view(text).substr(valueStart, valueEnd - valueStart),
          "GetQueryValue read other than the first key's value");
  Require(edited == text.substr(0, valueStart) + std::string(value) + text.substr(valueEnd),
          "SetQueryValue changed more than the first key's value");
  if (!Contains(value, "\\")) Require(GetQueryValue(edited, key) == value, "a value set does not read back");
}

} // namespace

void QueryReply(const uint8_t* data, std::size_t size) {
  TFields fields(data, size);
  const std::string_view host = fields.Next();
  const int port = PortFrom(fields.Next());
  const std::string_view key = fields.Next();
  const std::string_view value = fields.Next();
  const std::string_view reply = fields.Rest();

  CheckRewrite(reply, host, port);
  CheckGetSet(reply, key, value);
}

} // namespace gw::fuzz

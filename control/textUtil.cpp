#include "textUtil.h"

namespace gw {

std::string EchoField(std::string_view field, std::size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::string_view shown = field.substr(0, limit);
  std::string echoed;
  echoed.reserve(shown.size() + 16);
  for (const char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) {
      echoed += "\\x";
      echoed += kHex[byte >> 4];
      echoed += kHex[byte & 15];
    } else {
      echoed += c;
    }
  }
  if (field.size() > limit) echoed += "... (" + std::to_string(field.size()) + " bytes)";
  return echoed;
}

} // namespace gw

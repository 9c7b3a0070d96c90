#pragma once

#include "controlLimits.h"

#include <cstddef>
#include <algorithm>
#include <string>
#include <string_view>

namespace gw {

// Without the characters of code 32 or less at both ends (blanks and control characters).
inline std::string_view TrimControl(std::string_view text) {
  const auto isControl = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && isControl(text.front())) text.remove_prefix(1);
  while (!text.empty() && isControl(text.back())) text.remove_suffix(1);
  return text;
}

// Only the letters A to Z are lowered; other bytes stay as they are.
inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string LowerAZ(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = AsciiLower(c);
  return lowered;
}

// A field from outside, fit to be written into a log line: control bytes (below 32, and
// 127) shown as \xNN, so that no line or terminal escape can be forged through it, and
// anything past `limit` bytes left out with a mark that gives the whole length.
// Calls `each` with every line of `text`, split at "\n": a reason of several lines is told
// line by line where each line is read on its own (the journal, a log).
template <class TEach> void ForEachLine(std::string_view text, TEach&& each) {
  for (std::size_t begin = 0; begin <= text.size();) {
    const std::size_t end = std::min(text.find('\n', begin), text.size());
    each(text.substr(begin, end - begin));
    begin = end + 1;
  }
}

std::string EchoField(std::string_view field, std::size_t limit = TControlLimits::kEchoedFieldBytes);

} // namespace gw

#include "intConv.h"

#include <string>

namespace gw {

namespace {

constexpr int64_t kMinInt32 = INT32_MIN;
constexpr int64_t kMaxInt32 = INT32_MAX;

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view digits, int32_t& value) {
  if (digits.empty()) return false;
  uint32_t result = 0;
  int significant = 0;
  for (const char c : digits) {
    const int digit = HexDigitValue(c);
    if (digit < 0) return false;
    // Leading zeros do not count towards the eight digits, so "$000000001" is 1.
    if (significant > 0 || digit != 0) ++significant;
    if (significant > 8) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  value = static_cast<int32_t>(result);
  return true;
}

bool ParseDecimal(std::string_view digits, bool negative, int32_t& value) {
  if (digits.empty()) return false;
  // The magnitude is capped one past the widest limit, so any number of digits stays within
  // int64_t and an overflow is still seen.
  const int64_t limit = negative ? -kMinInt32 : kMaxInt32;
  int64_t magnitude = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return false;
  }
  value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return true;
}

} // namespace

bool TryStrToInt(std::string_view text, int32_t& value) {
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return false;
  const std::string_view s = text.substr(start);

  if (s.front() == '+' || s.front() == '-') return ParseDecimal(s.substr(1), s.front() == '-', value);
  if (s.front() == '$' || s.front() == 'x' || s.front() == 'X') return ParseHex(s.substr(1), value);
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) return ParseHex(s.substr(2), value);
  return ParseDecimal(s, false, value);
}

int32_t StrToInt(std::string_view text) {
  int32_t value = 0;
  if (!TryStrToInt(text, value)) {
    throw TConversionError("'" + std::string(text) + "' is not a valid integer value");
  }
  return value;
}

} // namespace gw

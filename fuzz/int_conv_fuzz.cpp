// Input: the text to convert, as it is.
#include "fuzzInput.h"
#include "fuzzTargets.h"
#include "intConv.h"

#include <bit>
#include <charconv>
#include <optional>
#include <string>

namespace gw::fuzz {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<int32_t> ReferenceHex(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string_view::npos) return 0;
  const std::string_view significant = digits.substr(first);
  if (significant.size() > 8) return std::nullopt;
  uint32_t value = 0;
  const auto end = significant.data() + significant.size();
  const auto [ptr, ec] = std::from_chars(significant.data(), end, value, 16);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return std::bit_cast<int32_t>(value);
}

std::optional<int32_t> ReferenceDecimal(std::string_view digits, bool negative) {
  if (digits.empty() || !IsDigit(digits.front())) return std::nullopt;
  uint64_t magnitude = 0;
  const auto end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, magnitude);
  if (ptr != end || ec != std::errc()) return std::nullopt;
  if (magnitude > (uint64_t{1} << 32)) return std::nullopt;
  const int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

// What the conversion promises, told with the standard library's own number parsing.
std::optional<int32_t> ReferenceValue(std::string_view text) {
  const std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return std::nullopt;
  const std::string_view s = text.substr(start);
  if (s.starts_with("0x") || s.starts_with("0X")) return ReferenceHex(s.substr(2));
  if (s.starts_with('$') || s.starts_with('x') || s.starts_with('X')) return ReferenceHex(s.substr(1));
  if (s.starts_with('+') || s.starts_with('-')) return ReferenceDecimal(s.substr(1), s.front() == '-');
  return ReferenceDecimal(s, false);
}

// The form std::to_string writes: no blanks, no "+", no leading zeros, no "-0".
bool IsCanonicalDecimal(std::string_view text) {
  const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return false;
  return digits == "0" ? text == "0" : digits.front() != '0';
}

} // namespace

void IntConv(const uint8_t* data, std::size_t size) {
  const std::string_view text = AsText(data, size);
  int32_t tried = 0;
  const bool accepted = TryStrToInt(text, tried);

  std::optional<int32_t> converted;
  try {
    converted = StrToInt(text);
  } catch (const TConversionError& e) {
    // what() is a C string: a text with a zero byte is quoted up to that byte.
    const std::string message = "'" + std::string(text) + "' is not a valid integer value";
    Require(std::string_view(e.what()) == message.c_str(), "the conversion error does not quote the text");
  }
  Require(converted.has_value() == accepted, "StrToInt and TryStrToInt disagree on acceptance");
  if (accepted) Require(*converted == tried, "StrToInt and TryStrToInt read different values");

  const std::optional<int32_t> expected = ReferenceValue(text);
  Require(expected.has_value() == accepted, "acceptance differs from the reference reading");
  if (accepted) Require(tried == *expected, "the value differs from the reference reading");
  if (accepted && IsCanonicalDecimal(text)) Require(std::to_string(tried) == text, "a plain decimal does not round-trip");
}

} // namespace gw::fuzz

#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace gw {

// Raised for a text that is not an integer; the message quotes the whole text.
class TConversionError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The program's one integer conversion, shared by the settings file, the tunnel line, the
// remote "create" argument and the dialogs' number fields. Accepted: leading blanks (code 32
// only), then a signed decimal within int32_t, or an unsigned hexadecimal of at most eight
// significant digits introduced by "$", "x", "X", "0x" or "0X" and read as a 32-bit two's
// complement value ("$FFFFFFFF" is -1). Nothing may follow.
bool TryStrToInt(std::string_view text, int32_t& value);

// As TryStrToInt, raising TConversionError "'<text>' is not a valid integer value".
int32_t StrToInt(std::string_view text);

} // namespace gw

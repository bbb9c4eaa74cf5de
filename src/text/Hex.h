#pragma once

#include <string>

namespace orvanel {

// The one hex table: lower-case digits, and the upper-case ones some formats want.
inline constexpr char kLowerHexDigits[] = "0123456789abcdef";
inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";

// Appends `byte` as two hex digits.
inline void AppendHexByte(std::string& out, unsigned char byte, bool upper = false) {
  const char* digits = upper ? kUpperHexDigits : kLowerHexDigits;
  out += digits[byte >> 4];
  out += digits[byte & 15];
}

}  // namespace orvanel

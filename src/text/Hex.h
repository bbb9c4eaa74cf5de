#pragma once

#include <string>

namespace orvanel {

inline constexpr char kLowerHexDigits[] = "0123456789abcdef";

// Appends `byte` as two lower-case hex digits.
inline void AppendHexByte(std::string& out, unsigned char byte) {
  out += kLowerHexDigits[byte >> 4];
  out += kLowerHexDigits[byte & 15];
}

}  // namespace orvanel

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvanel {

// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, char32_t code_point);

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view s);

// The length of the longest prefix of `bytes` that is valid UTF-8.
std::size_t ValidUtf8Prefix(std::string_view bytes);

// Makes any bytes valid UTF-8: valid sequences stay, every invalid byte becomes U+FFFD.
std::string SanitiseUtf8(std::string_view bytes);

// Plain windows-1252 to UTF-8 (the five unassigned bytes become U+FFFD).
std::string DecodeWindows1252(std::string_view bytes);

// Text read from a file: valid UTF-8 stays as it is, anything else is read as windows-1252.
std::string ToUtf8Text(std::string_view bytes);

// Number of characters of UTF-8 text (each invalid byte counts as one).
std::size_t CodePointCount(std::string_view text);

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

}  // namespace orvanel

#pragma once

#include <string>
#include <string_view>

namespace orvanel {

// Decodes `bytes` from the named charset with the system's iconv into valid UTF-8: an
// invalid or cut sequence gives one replacement character and decoding goes on after its
// first byte; the output stops after its first NUL. A charset iconv does not know is read
// as windows-1252.
std::string DecodeWithIconv(std::string_view bytes, const std::string& charset);

// True when the system's iconv decodes the named charset.
bool IconvKnows(const std::string& charset);

}  // namespace orvanel

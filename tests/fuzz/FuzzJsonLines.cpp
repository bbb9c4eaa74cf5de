// The JSON lines writer: any bytes make one valid JSON string (checked by a strict reader).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/JsonLines.h"
#include "text/Utf8.h"

namespace {
bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool ValidJsonString(const std::string& s) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return false;
  if (orvanel::ValidUtf8Prefix(s) != s.size()) return false;
  for (std::size_t i = 1; i + 1 < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == '"') return false;
    if (c == '\\') {
      const char e = s[++i];
      if (i + 1 >= s.size()) return false;
      if (e == 'u') {
        if (i + 4 >= s.size() || !IsHex(s[i + 1]) || !IsHex(s[i + 2]) || !IsHex(s[i + 3]) ||
            !IsHex(s[i + 4]))
          return false;
        i += 4;
      } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
        return false;
      }
    }
  }
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string out;
  orvanel::AppendJsonString(out, std::string_view(reinterpret_cast<const char*>(data), size));
  if (!ValidJsonString(out)) std::abort();
  return 0;
}

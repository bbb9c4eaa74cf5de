// Charset detection and decoding: any bytes and any Content-Type give valid UTF-8 without
// a NUL, and the plain UTF-8 helpers agree with each other.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/Charset.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::size_t type_length = std::min<std::size_t>(data[0] % 48, size - 1);
  const std::string type(reinterpret_cast<const char*>(data + 1), type_length);
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1 + type_length),
                               size - 1 - type_length);
  const auto doc = orvanel::DecodeDocument(bytes, type);
  if (orvanel::ValidUtf8Prefix(doc.text) != doc.text.size()) std::abort();
  if (doc.text.find('\0') != std::string::npos) std::abort();
  (void)orvanel::IsDecodingSettled(bytes, type, data[0] & 1);
  const std::string clean = orvanel::SanitiseUtf8(bytes);
  if (orvanel::ValidUtf8Prefix(clean) != clean.size()) std::abort();
  if (orvanel::CodePointCount(clean) < orvanel::CodePointCount(bytes)) std::abort();
  return 0;
}

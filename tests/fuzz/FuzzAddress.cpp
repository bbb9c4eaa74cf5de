// Address normalisation: the result is never empty and a file URL carries only characters
// a URL may carry.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/Address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string address(reinterpret_cast<const char*>(data), size);
  const auto normalised = orvanel::NormaliseAddress(address);
  if (normalised.url.empty()) std::abort();
  const std::string url = orvanel::FileUrl("/" + address);
  for (unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7F || c == '#' || c == '?' || c == '"' || c == '<' || c == '>')
      std::abort();
  }
  (void)orvanel::FileNameFromPath(address);
  return 0;
}

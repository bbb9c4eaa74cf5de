// Retry-After values from a server: any bytes give no wait or a wait within a day, and
// never undefined behaviour (the sanitizers watch the arithmetic).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fetch/FetchPolicy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  for (const long long now : {0LL, 1'445'412'480LL, 4'102'444'800LL}) {
    const auto wait = orvanel::ParseRetryAfter(value, now);
    if (wait && (*wait < 0 || *wait > 86'400'000)) std::abort();
  }
  return 0;
}

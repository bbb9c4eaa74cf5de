#pragma once

#include <atomic>

namespace orvanel {

namespace processor_detail {
inline std::atomic<bool> avx2_allowed{true};
}  // namespace processor_detail

// True when this processor and its system run AVX2 code: the text scans then take 32
// bytes a step instead of 16.
inline bool HaveAvx2() {
#if defined(__x86_64__)
  static const bool have = __builtin_cpu_supports("avx2");
  return have && processor_detail::avx2_allowed.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

// Turns the AVX2 paths off (or back on), so that tests also check the paths that other
// processors take.
inline void AllowAvx2(bool allowed) {
  processor_detail::avx2_allowed.store(allowed, std::memory_order_relaxed);
}

}  // namespace orvanel

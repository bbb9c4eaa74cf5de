#include "text/Utf8Wide.h"

#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orvanel::utf8_wide {

#if defined(__x86_64__)
namespace {

// The lookup method of Keiser and Lemire ("Validating UTF-8 in less than one instruction
// per byte", 2020): three table lookups on the nibbles of each byte and the byte before it
// flag every fault of a two-byte window; the bytes that must be third or fourth of a
// sequence are found from the bytes two and three back.
constexpr char kTooShort = 1 << 0;   // a lead not followed by a continuation
constexpr char kTooLong = 1 << 1;    // a continuation after an ASCII byte
constexpr char kOverlong3 = 1 << 2;  // E0 80..9F
constexpr char kTooLarge = 1 << 3;   // past U+10FFFF
constexpr char kSurrogate = 1 << 4;  // ED A0..BF
constexpr char kOverlong2 = 1 << 5;  // C0, C1
constexpr char kTooLarge1000 = 1 << 6;
constexpr char kOverlong4 = 1 << 6;  // F0 80..8F
constexpr char kTwoConts = static_cast<char>(1 << 7);
constexpr char kCarry = kTooShort | kTooLong | kTwoConts;

// Both 128-bit lanes hold the same 16-entry table: the shuffle looks up within a lane.
#define ORVANEL_TABLE(...) _mm256_setr_epi8(__VA_ARGS__, __VA_ARGS__)

template <int N>
__attribute__((target("avx2"))) inline __m256i Back(__m256i input, __m256i previous) {
  return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - N);
}

__attribute__((target("avx2"))) inline __m256i HighNibbles(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// Nonzero bytes wherever a block breaks the rules, read with the block before it.
__attribute__((target("avx2"))) inline __m256i Faults(__m256i input, __m256i previous) {
  constexpr char kLarge = kCarry | kTooLarge | kTooLarge1000;
  const __m256i prev1 = Back<1>(input, previous);
  const __m256i byte1_high = _mm256_shuffle_epi8(
      ORVANEL_TABLE(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                    kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                    kTooShort | kOverlong3 | kSurrogate,
                    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
      HighNibbles(prev1));
  const __m256i byte1_low = _mm256_shuffle_epi8(
      ORVANEL_TABLE(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry,
                    kCarry, kCarry | kTooLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge,
                    kLarge, kLarge, kLarge | kSurrogate, kLarge, kLarge),
      _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)));
  constexpr char kCont = kTooLong | kOverlong2 | kTwoConts;
  const __m256i byte2_high = _mm256_shuffle_epi8(
      ORVANEL_TABLE(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                    kTooShort, kCont | kOverlong3 | kTooLarge1000 | kOverlong4,
                    kCont | kOverlong3 | kTooLarge, kCont | kSurrogate | kTooLarge,
                    kCont | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort, kTooShort),
      HighNibbles(input));
  const __m256i special = _mm256_and_si256(_mm256_and_si256(byte1_high, byte1_low), byte2_high);
  // Bytes two after a lead of three or more, or three after a lead of four, must continue.
  const __m256i third = _mm256_subs_epu8(Back<2>(input, previous), _mm256_set1_epi8(0xE0 - 0x80));
  const __m256i fourth = _mm256_subs_epu8(Back<3>(input, previous), _mm256_set1_epi8(0xF0 - 0x80));
  const __m256i must =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(kTwoConts));
  return _mm256_xor_si256(must, special);
}

#undef ORVANEL_TABLE

}  // namespace

__attribute__((target("avx2"))) std::size_t CheckedBlocks(const unsigned char* p, std::size_t n) {
  // Before the text, as if ASCII: a continuation first is a fault.
  __m256i previous = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i input = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    // ASCII after ASCII breaks no rule: every fault needs a byte of 0x80 or more, in this
    // block or in the three bytes before it. Most of a page's markup goes this way.
    if (_mm256_movemask_epi8(_mm256_or_si256(input, previous)) == 0) {
      previous = input;
      continue;
    }
    const __m256i faults = Faults(input, previous);
    if (!_mm256_testz_si256(faults, faults)) break;
    previous = input;
  }
  return i;
}

#else

std::size_t CheckedBlocks(const unsigned char*, std::size_t) { return 0; }

#endif

}  // namespace orvanel::utf8_wide

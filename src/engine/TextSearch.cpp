#include "engine/TextSearch.h"

#include <cstdint>
#include <cstring>

#include "base/Processor.h"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvanel {
namespace {

inline bool IsAsciiLetter(unsigned char c) { return ((c | 0x20) >= 'a') && ((c | 0x20) <= 'z'); }

// A byte of the needle as a (mask, value) pair: (b | mask) == value matches both cases of
// a letter and exactly the byte itself otherwise.
struct Probe {
  unsigned char mask;
  unsigned char value;
};

inline Probe MakeProbe(unsigned char c) {
  if (IsAsciiLetter(c)) return {0x20, static_cast<unsigned char>(c | 0x20)};
  return {0x00, c};
}

inline bool Matches(Probe p, unsigned char c) { return (c | p.mask) == p.value; }

bool EqualNoCase(const unsigned char* text, const unsigned char* needle, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char a = text[i];
    unsigned char b = needle[i];
    if (a == b) continue;
    if (!IsAsciiLetter(b) || (a | 0x20) != (b | 0x20)) return false;
  }
  return true;
}

#if defined(__x86_64__)
// The filter of FindNoCase below, 32 candidate starts a step: from `i` while a whole step
// fits before `end`. The first match, or kNotFound with `i` where the step stopped.
__attribute__((target("avx2"))) std::size_t FindWide(const unsigned char* text,
                                                     const unsigned char* pat, std::size_t n,
                                                     std::size_t mid_offset, Probe first, Probe mid,
                                                     Probe last, std::size_t& i, std::size_t end) {
  const __m256i first_mask = _mm256_set1_epi8(static_cast<char>(first.mask));
  const __m256i first_value = _mm256_set1_epi8(static_cast<char>(first.value));
  const __m256i mid_mask = _mm256_set1_epi8(static_cast<char>(mid.mask));
  const __m256i mid_value = _mm256_set1_epi8(static_cast<char>(mid.value));
  const __m256i last_mask = _mm256_set1_epi8(static_cast<char>(last.mask));
  const __m256i last_value = _mm256_set1_epi8(static_cast<char>(last.value));
  for (; i + 32 <= end; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + mid_offset));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + n - 1));
    const __m256i ea = _mm256_cmpeq_epi8(_mm256_or_si256(a, first_mask), first_value);
    const __m256i eb = _mm256_cmpeq_epi8(_mm256_or_si256(b, mid_mask), mid_value);
    const __m256i ec = _mm256_cmpeq_epi8(_mm256_or_si256(c, last_mask), last_value);
    auto bits =
        static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(_mm256_and_si256(ea, eb), ec)));
    while (bits != 0) {
      const auto bit = static_cast<unsigned>(__builtin_ctz(bits));
      if (EqualNoCase(text + i + bit, pat, n)) return i + bit;
      bits &= bits - 1;
    }
  }
  return kNotFound;
}
#endif

}  // namespace

std::size_t FindNoCase(std::string_view haystack, std::string_view needle, std::size_t from) {
  const std::size_t n = needle.size();
  const std::size_t size = haystack.size();
  if (from > size) return kNotFound;
  if (n == 0) return from;
  if (n > size - from) return kNotFound;

  const auto* text = reinterpret_cast<const unsigned char*>(haystack.data());
  const auto* pat = reinterpret_cast<const unsigned char*>(needle.data());
  const Probe first = MakeProbe(pat[0]);
  const std::size_t mid_offset = n > 2 ? 1 : 0;
  const Probe mid = MakeProbe(pat[mid_offset]);
  const Probe last = MakeProbe(pat[n - 1]);
  const std::size_t end = size - n + 1;  // candidate starts are < end
  std::size_t i = from;

#if defined(__x86_64__)
  if (HaveAvx2()) {
    const std::size_t at = FindWide(text, pat, n, mid_offset, first, mid, last, i, end);
    if (at != kNotFound) return at;
  }
#endif
#if defined(__SSE2__)
  const __m128i first_mask = _mm_set1_epi8(static_cast<char>(first.mask));
  const __m128i first_value = _mm_set1_epi8(static_cast<char>(first.value));
  const __m128i mid_mask = _mm_set1_epi8(static_cast<char>(mid.mask));
  const __m128i mid_value = _mm_set1_epi8(static_cast<char>(mid.value));
  const __m128i last_mask = _mm_set1_epi8(static_cast<char>(last.mask));
  const __m128i last_value = _mm_set1_epi8(static_cast<char>(last.value));
  // Each block tests 16 candidate starts; the loads at i + n - 1 + 15 stay inside.
  while (i + 16 <= end) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + mid_offset));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + n - 1));
    const __m128i ea = _mm_cmpeq_epi8(_mm_or_si128(a, first_mask), first_value);
    const __m128i eb = _mm_cmpeq_epi8(_mm_or_si128(b, mid_mask), mid_value);
    const __m128i ec = _mm_cmpeq_epi8(_mm_or_si128(c, last_mask), last_value);
    unsigned bits =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_and_si128(ea, eb), ec)));
    while (bits != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctz(bits));
      if (EqualNoCase(text + i + bit, pat, n)) return i + bit;
      bits &= bits - 1;
    }
    i += 16;
  }
#endif
  for (; i < end; ++i) {
    if (Matches(first, text[i]) && Matches(last, text[i + n - 1]) &&
        EqualNoCase(text + i, pat, n)) {
      return i;
    }
  }
  return kNotFound;
}

}  // namespace orvanel

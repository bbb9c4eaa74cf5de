#include "text/Utf8.h"

#include "base/Processor.h"
#include "text/Utf8Wide.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cstring>

namespace orvanel {
namespace {

// Code points of bytes 0x80..0x9F in windows-1252; 0 where the byte is unassigned.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when it is not one.
namespace {

// Length of the valid UTF-8 sequence at `p` (`n` bytes left, n > 0), or 0.
inline std::size_t SequenceAt(const unsigned char* p, std::size_t n) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  auto cont = [&](std::size_t i) { return i < n && (p[i] & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && p[1] < 0xA0) return 0;  // overlong
    if (c == 0xED && p[1] > 0x9F) return 0;  // surrogates
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && p[1] < 0x90) return 0;
    if (c == 0xF4 && p[1] > 0x8F) return 0;
    return 4;
  }
  return 0;
}

}  // namespace

std::size_t Utf8SequenceLength(std::string_view s) {
  if (s.empty()) return 0;
  return SequenceAt(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

std::string DecodeWindows1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0xA0) {
      const char16_t cp = kCp1252High[c - 0x80];
      if (cp == 0) {
        out += kReplacementCharacter;
      } else {
        AppendUtf8(out, cp);
      }
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

namespace {

std::size_t ValidPrefixByteByByte(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII are the common case: sixteen bytes at a time.
#if defined(__SSE2__)
    while (i + 16 <= n) {
      const int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
      if (high != 0) {
        i += static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(high)));
        break;
      }
      i += 16;
    }
#endif
    if (i >= n) break;
    const std::size_t length = SequenceAt(p + i, n - i);
    if (length == 0) return i;
    i += length;
  }
  return n;
}

}  // namespace

std::size_t ValidUtf8Prefix(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t start = 0;
  // Text that mixes ASCII and other letters breaks the byte-by-byte loop's run of ASCII at
  // every letter; the wide check goes through it without a branch per letter.
  if (n >= 64 && HaveAvx2()) {
    const std::size_t checked = utf8_wide::CheckedBlocks(p, n);
    if (checked > 0) {
      // Back to the start of a sequence whose pair with the byte before it was checked:
      // everything before it is whole sequences.
      std::size_t at = checked - 1;
      while (at > 0 && at + 4 > checked && (p[at] & 0xC0) == 0x80) --at;
      if ((p[at] & 0xC0) != 0x80) start = at;
    }
  }
  return start + ValidPrefixByteByByte(p + start, n - start);
}

std::string SanitiseUtf8(std::string_view bytes) {
  std::size_t valid = ValidUtf8Prefix(bytes);
  if (valid == bytes.size()) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 16);
  while (!bytes.empty()) {
    out.append(bytes.substr(0, valid));
    bytes.remove_prefix(valid);
    if (bytes.empty()) break;
    out += kReplacementCharacter;
    bytes.remove_prefix(1);
    valid = ValidUtf8Prefix(bytes);
  }
  return out;
}

std::string ToUtf8Text(std::string_view bytes) {
  if (ValidUtf8Prefix(bytes) == bytes.size()) return std::string(bytes);
  return DecodeWindows1252(bytes);
}

std::size_t CodePointCount(std::string_view text) {
  std::size_t count = 0;
  while (!text.empty()) {
    const std::size_t n = Utf8SequenceLength(text);
    text.remove_prefix(n == 0 ? 1 : n);
    ++count;
  }
  return count;
}

}  // namespace orvanel

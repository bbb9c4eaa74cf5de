#include <gtest/gtest.h>

#include <random>

#include "text/Utf8.h"

namespace orvanel {
namespace {

// A byte at a time, by the table of well-formed sequences (Unicode 15, table 3-7).
std::size_t ReferencePrefix(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned c = p[i];
    std::size_t len = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (c < 0x80)
      len = 1;
    else if (c >= 0xC2 && c <= 0xDF)
      len = 2;
    else if (c == 0xE0)
      len = 3, lo = 0xA0;
    else if (c >= 0xE1 && c <= 0xEC)
      len = 3;
    else if (c == 0xED)
      len = 3, hi = 0x9F;
    else if (c >= 0xEE && c <= 0xEF)
      len = 3;
    else if (c == 0xF0)
      len = 4, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3)
      len = 4;
    else if (c == 0xF4)
      len = 4, hi = 0x8F;
    else
      return i;
    if (i + len > s.size()) return i;
    for (std::size_t k = 1; k < len; ++k) {
      const unsigned b = p[i + k];
      const unsigned l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
      if (b < l || b > h) return i;
    }
    i += len;
  }
  return s.size();
}

TEST(Utf8, TheValidPrefixIsTheStandardsWhereverTheBytesFall) {
  std::mt19937 rng(7);
  const std::vector<std::string> pieces = {"a",
                                           "text of a page ",
                                           "\xC3\xA9",
                                           "\xE2\x82\xAC",
                                           "\xF0\x9F\x98\x80",
                                           "\xED\x9F\xBF",
                                           "\xED\xA0\x80",
                                           "\xE0\x9F\x80",
                                           "\xC0\xAF",
                                           "\xF4\x90\x80\x80",
                                           "\x80",
                                           "\xFF",
                                           std::string(40, 'x')};
  for (int round = 0; round < 5000; ++round) {
    std::string s;
    const int count = static_cast<int>(rng() % 12);
    for (int i = 0; i < count; ++i) s += pieces[rng() % pieces.size()];
    if (!s.empty() && rng() % 4 == 0) s.resize(rng() % s.size());  // a sequence cut short
    ASSERT_EQ(ValidUtf8Prefix(s), ReferencePrefix(s)) << "round " << round;
  }
}

TEST(Utf8, SanitisedTextIsValidAndKeepsWhatWasValid) {
  EXPECT_EQ(SanitiseUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(SanitiseUtf8("a\xFF"
                         "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(SanitiseUtf8("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(DecodeWindows1252("\x80\x81"), "\xE2\x82\xAC\xEF\xBF\xBD");
}

}  // namespace
}  // namespace orvanel

#include <gtest/gtest.h>
#include <iconv.h>

#include <random>
#include <vector>

#include "ScanPaths.h"
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

// Through a buffer of exactly the text's size, so that the sanitizers see a read past it.
std::size_t PrefixOfExactCopy(const std::string& s) {
  const std::vector<char> exact(s.begin(), s.end());
  return ValidUtf8Prefix(std::string_view(exact.data(), exact.size()));
}

// Each check runs with the AVX2 path, where the processor has it, and without it.
class Utf8Paths : public testing::ScanPaths {};
INSTANTIATE_TEST_SUITE_P(Wide, Utf8Paths, ::testing::Values(true));
INSTANTIATE_TEST_SUITE_P(Narrow, Utf8Paths, ::testing::Values(false));

TEST_P(Utf8Paths, TheValidPrefixIsTheStandardsWhereverTheBytesFall) {
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
    ASSERT_EQ(PrefixOfExactCopy(s), ReferencePrefix(s)) << "round " << round;
  }
}

// Pages are long and mostly valid: the fault, or the cut, can fall anywhere in a block of
// the wide check or across two blocks, after any number of valid ones.
TEST_P(Utf8Paths, LongTextsAreCheckedToTheFirstFaultWhereverItFalls) {
  std::mt19937 rng(19);
  const std::vector<std::string> valid = {
      "<p>",          "text of a page ", "\xC3\xA9",         "\xE2\x82\xAC",     "\xF0\x9F\x98\x80",
      "\xED\x9F\xBF", "\xE0\xA0\x80",    "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF"};
  const std::vector<std::string> faults = {"\xED\xA0\x80",
                                           "\xE0\x9F\x80",
                                           "\xC0\xAF",
                                           "\xC1\xBF",
                                           "\xF4\x90\x80\x80",
                                           "\xF5\x80\x80\x80",
                                           "\x80",
                                           "\xFF",
                                           "\xC2",
                                           "\xE1\x80",
                                           "\xF1\x80\x80",
                                           "\xC3\xA9\xA9",
                                           "\xF0\x8F\xBF\xBF"};
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    const int count = static_cast<int>(rng() % 80);
    for (int i = 0; i < count; ++i) s += valid[rng() % valid.size()];
    const int faulty = static_cast<int>(rng() % 3);
    for (int i = 0; i < faulty && !s.empty(); ++i)
      s.insert(rng() % s.size(), faults[rng() % faults.size()]);
    if (!s.empty() && rng() % 4 == 0) s.resize(rng() % s.size());
    ASSERT_EQ(PrefixOfExactCopy(s), ReferencePrefix(s)) << "round " << round;
  }
  // A fault just past a valid stretch of every length the blocks can leave.
  for (std::size_t before = 0; before < 100; ++before) {
    for (const std::string& fault : faults) {
      const std::string s = std::string(before, 'a') + fault + std::string(70, 'b');
      ASSERT_EQ(PrefixOfExactCopy(s), ReferencePrefix(s)) << before << " " << fault.size();
      const std::string lead =
          std::string(before, 'a') + "\xE2\x82\xAC" + fault + std::string(70, 'b');
      ASSERT_EQ(PrefixOfExactCopy(lead), ReferencePrefix(lead)) << before;
    }
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

// Every byte as the C library's converter reads it; the five it has no character for
// become U+FFFD.
TEST(Utf8, Windows1252IsDecodedAsTheCLibraryDecodesIt) {
  const iconv_t cd = iconv_open("UTF-8", "WINDOWS-1252");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  int unassigned = 0;
  for (int byte = 0; byte < 256; ++byte) {
    char in = static_cast<char>(byte);
    char out[8];
    char* in_at = &in;
    char* out_at = out;
    std::size_t in_left = 1, out_left = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const bool known = iconv(cd, &in_at, &in_left, &out_at, &out_left) != static_cast<size_t>(-1);
    unassigned += !known;
    const std::string expected =
        known ? std::string(out, out_at) : std::string(kReplacementCharacter);
    EXPECT_EQ(DecodeWindows1252(std::string(1, in)), expected) << byte;
  }
  iconv_close(cd);
  EXPECT_EQ(unassigned, 5);
}

TEST(Utf8, EachLengthOfSequenceUpToItsLastCodePoint) {
  const std::pair<char32_t, std::string> cases[] = {{0x7F, "\x7F"},
                                                    {0x80, "\xC2\x80"},
                                                    {0x7FF, "\xDF\xBF"},
                                                    {0x800, "\xE0\xA0\x80"},
                                                    {0xFFFF, "\xEF\xBF\xBF"},
                                                    {0x10000, "\xF0\x90\x80\x80"},
                                                    {0x10FFFF, "\xF4\x8F\xBF\xBF"}};
  for (const auto& [cp, bytes] : cases) {
    std::string out;
    AppendUtf8(out, cp);
    EXPECT_EQ(out, bytes) << static_cast<unsigned>(cp);
  }
}

// Text is UTF-8 only when all of it is: a last byte that begins no whole sequence makes
// the whole text windows-1252.
TEST(Utf8, TextIsUtf8OnlyToItsLastByte) {
  EXPECT_EQ(ToUtf8Text("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(ToUtf8Text("caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(ToUtf8Text("\xC3\xA9t\xC3"), "\xC3\x83\xC2\xA9t\xC3\x83");
}

}  // namespace
}  // namespace orvanel

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ScanPaths.h"
#include "engine/TextSearch.h"

namespace orvanel {
namespace {

std::size_t NaiveFind(const std::string& text, const std::string& needle, std::size_t from) {
  auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
  for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
    bool same = true;
    for (std::size_t k = 0; k < needle.size() && same; ++k) {
      same = fold(static_cast<unsigned char>(text[i + k])) ==
             fold(static_cast<unsigned char>(needle[k]));
    }
    if (same) return i;
  }
  return kNotFound;
}

// Each search runs with the AVX2 filter, where the processor has it, and without it.
class FindNoCasePaths : public testing::ScanPaths {};
INSTANTIATE_TEST_SUITE_P(Wide, FindNoCasePaths, ::testing::Values(true));
INSTANTIATE_TEST_SUITE_P(Narrow, FindNoCasePaths, ::testing::Values(false));

TEST_P(FindNoCasePaths, AgreesWithASimpleSearchOnRandomText) {
  // A small alphabet with letters in both cases, markup and the bytes that OR 0x20 confuses.
  const std::string alphabet = "<>/tTiIlLeE\"@`[{ \x80\xc3";
  std::mt19937 rng(7);
  for (int round = 0; round < 6000; ++round) {
    // Short texts, and pages long enough for several steps of the wide filter with needles
    // as long as the meta pattern.
    const bool page = round % 2 == 1;
    std::string text(rng() % (page ? 400 : 120), ' ');
    for (auto& c : text) c = alphabet[rng() % alphabet.size()];
    std::string needle(1 + rng() % (page ? 40 : 6), ' ');
    for (auto& c : needle) c = alphabet[rng() % alphabet.size()];
    const std::size_t from = text.empty() ? 0 : rng() % (text.size() + 2);
    // In a buffer of exactly its size, so that the sanitizers see a read past its end.
    const std::vector<char> exact(text.begin(), text.end());
    ASSERT_EQ(FindNoCase(std::string_view(exact.data(), exact.size()), needle, from),
              NaiveFind(text, needle, from))
        << "text=" << text << " needle=" << needle << " from=" << from;
  }
}

TEST(FindNoCase, LettersFoldButOtherBytesDoNot) {
  EXPECT_EQ(FindNoCase("xx<TiTlE>", "<title>"), 2u);
  EXPECT_EQ(FindNoCase("@", "`"), kNotFound);                // 0x40 vs 0x60
  EXPECT_EQ(FindNoCase("[", "{"), kNotFound);                // 0x5B vs 0x7B
  EXPECT_EQ(FindNoCase("\xc3\x89", "\xc3\xa9"), kNotFound);  // É is not é
  // The same inside a needle, where no probe of the filters looks.
  EXPECT_EQ(FindNoCase("xab`cd", "ab@cd"), kNotFound);
  EXPECT_EQ(FindNoCase("<a\xc3\x89z>", "<a\xc3\xa9z>"), kNotFound);
  EXPECT_EQ(FindNoCase("<A\xc3\xa9Z>", "<a\xc3\xa9z>"), 0u);
  EXPECT_EQ(FindNoCase("abc", ""), 0u);
  EXPECT_EQ(FindNoCase("abc", "", 3), 3u);
  EXPECT_EQ(FindNoCase("abc", "c", 4), kNotFound);
  EXPECT_EQ(FindNoCase("ab", "abc"), kNotFound);
}

TEST_P(FindNoCasePaths, FindsMatchesAtEveryAlignmentNearTheEnd) {
  for (std::size_t size = 7; size < 80; ++size) {
    std::string text(size, 'x');
    text.replace(size - 7, 7, "<TITLE>");
    EXPECT_EQ(FindNoCase(text, "<title>"), size - 7) << size;
  }
}

// Near misses (first, second and last bytes alike, the rest not) before the match, in
// the same step of the filters: each is let go, and the match after them is found.
TEST_P(FindNoCasePaths, FindsAMatchAfterNearMissesInTheSameStep) {
  const std::string needle = "<meta name=";
  for (std::size_t lead = 0; lead < 40; ++lead) {
    for (const std::string misses : {"<mexa name=", "<mexa name=<MEta nXme="}) {
      const std::string text =
          std::string(lead, 'x') + misses + "<META NAME=" + std::string(40, 'x');
      EXPECT_EQ(FindNoCase(text, needle), lead + misses.size()) << lead << " " << misses;
    }
  }
}

}  // namespace
}  // namespace orvanel

#include "engine/TextSearch.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace orvanel {
namespace {

std::size_t NaiveFind(const std::string& text, const std::string& needle, std::size_t from) {
  auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
  for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
    bool same = true;
    for (std::size_t k = 0; k < needle.size() && same; ++k) {
      same = fold(static_cast<unsigned char>(text[i + k])) == fold(static_cast<unsigned char>(needle[k]));
    }
    if (same) return i;
  }
  return kNotFound;
}

TEST(FindNoCase, AgreesWithASimpleSearchOnRandomText) {
  // A small alphabet with letters in both cases, markup and the bytes that OR 0x20 confuses.
  const std::string alphabet = "<>/tTiIlLeE\"@`[{ \x80\xc3";
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 120, ' ');
    for (auto& c : text) c = alphabet[rng() % alphabet.size()];
    std::string needle(1 + rng() % 6, ' ');
    for (auto& c : needle) c = alphabet[rng() % alphabet.size()];
    const std::size_t from = text.empty() ? 0 : rng() % (text.size() + 2);
    ASSERT_EQ(FindNoCase(text, needle, from), NaiveFind(text, needle, from))
        << "text=" << text << " needle=" << needle << " from=" << from;
  }
}

TEST(FindNoCase, LettersFoldButOtherBytesDoNot) {
  EXPECT_EQ(FindNoCase("xx<TiTlE>", "<title>"), 2u);
  EXPECT_EQ(FindNoCase("@", "`"), kNotFound);   // 0x40 vs 0x60
  EXPECT_EQ(FindNoCase("[", "{"), kNotFound);   // 0x5B vs 0x7B
  EXPECT_EQ(FindNoCase("\xc3\x89", "\xc3\xa9"), kNotFound);  // É is not é
  EXPECT_EQ(FindNoCase("abc", ""), 0u);
  EXPECT_EQ(FindNoCase("abc", "", 3), 3u);
  EXPECT_EQ(FindNoCase("abc", "c", 4), kNotFound);
  EXPECT_EQ(FindNoCase("ab", "abc"), kNotFound);
}

TEST(FindNoCase, FindsMatchesAtEveryAlignmentNearTheEnd) {
  for (std::size_t size = 7; size < 80; ++size) {
    std::string text(size, 'x');
    text.replace(size - 7, 7, "<TITLE>");
    EXPECT_EQ(FindNoCase(text, "<title>"), size - 7) << size;
  }
}

}  // namespace
}  // namespace orvanel

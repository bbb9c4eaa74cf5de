// A workbook cell holds 32,767 UTF-16 code units: a character of one to three UTF-8 bytes
// is one unit, one of four bytes (outside the Basic Multilingual Plane) is two.
#include <gtest/gtest.h>

#include "shell/Workbook.h"

namespace orvanel {
namespace {

std::string Repeat(const std::string& character, std::size_t times) {
  std::string text;
  text.reserve(character.size() * times);
  for (std::size_t i = 0; i < times; ++i) text += character;
  return text;
}

TEST(CutToCellLength, CountsCharactersOfEveryLengthAsTheSpreadsheetDoes) {
  const struct {
    const char* what;
    std::string character;
    std::size_t fit;  // characters a cell holds
  } cases[] = {
      {"one byte", "w", kMaxCellCharacters},
      {"two bytes", "\xC3\xA9", kMaxCellCharacters},
      {"three bytes", "\xE6\x97\xA5", kMaxCellCharacters},
      {"four bytes", "\xF0\x9F\x98\x80", kMaxCellCharacters / 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bool cut = true;
    const std::string whole = Repeat(c.character, c.fit);
    EXPECT_EQ(CutToCellLength(whole, cut), whole);
    EXPECT_FALSE(cut);
    EXPECT_EQ(CutToCellLength(whole + c.character + "tail", cut), whole);
    EXPECT_TRUE(cut);
  }
}

TEST(CutToCellLength, NeverSplitsACharacter) {
  bool cut = false;
  // A four-byte character that would take the last unit and one more stays out whole.
  const std::string text = std::string(kMaxCellCharacters - 1, 'z') + "\xF0\x9F\x98\x80";
  EXPECT_EQ(CutToCellLength(text, cut), std::string(kMaxCellCharacters - 1, 'z'));
  EXPECT_TRUE(cut);
  EXPECT_EQ(CutToCellLength("short", cut), "short");
  EXPECT_FALSE(cut);
  EXPECT_EQ(CutToCellLength("", cut), "");
  EXPECT_FALSE(cut);
}

}  // namespace
}  // namespace orvanel

#include <gtest/gtest.h>

#include "engine/Rules.h"

namespace orvanel {
namespace {

using Cells = std::vector<std::optional<std::string>>;
const std::vector<std::string> kNoTags;

TEST(EntireHeadTag, FindsWithoutCaseAndKeepsTheText) {
  const auto rows = ExtractRows(Mode::kEntireHeadTag, "x<HEAD><title>T</title></Head>y", kNoTags);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].checked);
  EXPECT_EQ(rows[0].cells, Cells{"<HEAD><title>T</title></Head>"});
}

TEST(EntireHeadTag, GivesNoRowWhenTheHeadCannotBeFound) {
  // An attribute on the opening tag, a closing tag before the opening one, no closing tag.
  for (const char* page : {"<head lang=\"en\"><title>T</title></head>", "</head><head>x",
                           "<head><title>T</title>", ""}) {
    EXPECT_TRUE(ExtractRows(Mode::kEntireHeadTag, page, kNoTags).empty()) << page;
  }
}

TEST(EntireHeadTag, TakesTheFirstHeadOnly) {
  const auto rows = ExtractRows(Mode::kEntireHeadTag, "<head>1</head><head>2</head>", kNoTags);
  EXPECT_EQ(rows[0].cells, Cells{"<head>1</head>"});
}

TEST(TitleAndMetaTags, EveryAddressGetsOneRowCheckedOnlyWithATitle) {
  const std::string page =
      "<meta name=\"keywords\" content=\"a,b\"><meta name=\"description\" content=\"\">";
  const auto rows = ExtractRows(Mode::kTitleAndMetaTags, page, kNoTags);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].checked);
  // Not found, found, and found but empty stay distinguishable.
  EXPECT_EQ(rows[0].cells, (Cells{std::nullopt, "a,b", ""}));

  const auto none = ExtractRows(Mode::kTitleAndMetaTags, "", kNoTags);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(none[0].cells, (Cells{std::nullopt, std::nullopt, std::nullopt}));
}

TEST(TitleAndMetaTags, EmptyTitleStillChecksTheRow) {
  const auto rows = ExtractRows(Mode::kTitleAndMetaTags, "<TITLE></title>", kNoTags);
  EXPECT_TRUE(rows[0].checked);
  EXPECT_EQ(rows[0].cells[0], "");
}

TEST(TitleAndMetaTags, MetaPatternIsExactApartFromLetterCase) {
  struct Case {
    const char* page;
    std::optional<std::string> description;
  } cases[] = {
      {"<META NAME=\"Description\" CONTENT=\"Hello\">", "Hello"},
      {"<meta content=\"Hello\" name=\"description\">", std::nullopt},
      {"<meta name='description' content='Hello'>", std::nullopt},
      {"<meta name=\"description\"  content=\"Hello\">", std::nullopt},
      {"<meta name=\"description\" content=\"never closed", std::nullopt},
      {"<meta name=\"description\" content=\"two\nlines\">", "two\nlines"},
  };
  for (const auto& c : cases) {
    const auto rows = ExtractRows(Mode::kTitleAndMetaTags, c.page, kNoTags);
    EXPECT_EQ(rows[0].cells[2], c.description) << c.page;
  }
}

TEST(TitleAndMetaTags, SearchesAreIndependentAndNotLimitedToTheHead) {
  const std::string page =
      "<body><meta name=\"keywords\" content=\"k\"></body><title>late</title>"
      "<meta name=\"keywords\" content=\"second\">";
  const auto rows = ExtractRows(Mode::kTitleAndMetaTags, page, kNoTags);
  EXPECT_EQ(rows[0].cells, (Cells{"late", "k", std::nullopt}));
}

TEST(TitleAndMetaTags, ClosingTitleIsSearchedAfterTheOpeningOne) {
  const auto rows = ExtractRows(Mode::kTitleAndMetaTags, "</title><title>A</title>", kNoTags);
  EXPECT_EQ(rows[0].cells[0], "A");
}

TEST(OnlyListedTags, OneCheckedRowPerEntryInListOrder) {
  const std::vector<std::string> tags = {
      "<title></title>", "keywords",       "<h1></h1>",      "<br>",
      "title",           "<a><b></b></a>", "<title></title>"};
  const std::string page =
      "<Title>T</Title><H1>Big</H1><meta name=\"keywords\" content=\"k\"><a>in a<b>bold</b>";
  const auto rows = ExtractRows(Mode::kOnlyListedTags, page, tags);
  ASSERT_EQ(rows.size(), tags.size());
  const std::vector<std::optional<std::string>> expected = {
      "T", "k", "Big", std::nullopt, std::nullopt, "in a", "T"};
  for (std::size_t j = 0; j < tags.size(); ++j) {
    EXPECT_TRUE(rows[j].checked);
    EXPECT_EQ(rows[j].cells[0], tags[j]);
    EXPECT_EQ(rows[j].cells[1], expected[j]) << tags[j];
  }
}

TEST(OnlyListedTags, EmptyTagListGivesNoRows) {
  EXPECT_TRUE(ExtractRows(Mode::kOnlyListedTags, "<title>x</title>", {}).empty());
}

TEST(OnlyListedTags, EntriesAreSplitAtTheFirstTwoPieces) {
  auto pair = SplitElementPair("<a><b></b></a>");
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->open, "<a>");
  EXPECT_EQ(pair->close, "<b");
  pair = SplitElementPair("<title></title>");
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->open, "<title>");
  EXPECT_EQ(pair->close, "</title>");
  pair = SplitElementPair("><");
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->open, ">");
  EXPECT_EQ(pair->close, "<");
  EXPECT_FALSE(SplitElementPair("<br>"));
  EXPECT_FALSE(IsElementPairEntry("title"));
  EXPECT_FALSE(IsElementPairEntry("a<b"));
  EXPECT_EQ(MetaPattern("keywords").size(), 31u);
  EXPECT_EQ(MetaPattern("description").size(), 34u);
}

TEST(Rules, AnyBytesAreSafe) {
  std::string page("<title>\xff\xfe\0\x80</title><head>", 25);
  page += std::string(1 << 20, '"');
  page += "<meta name=\"keywords\" content=\"";  // pattern cut at the very end
  for (Mode mode : {Mode::kEntireHeadTag, Mode::kTitleAndMetaTags, Mode::kOnlyListedTags}) {
    const auto rows = ExtractRows(mode, page, {"<title></title>", "keywords", "", "<", "><"});
    if (mode == Mode::kTitleAndMetaTags) {
      EXPECT_EQ(rows[0].cells[0], std::string("\xff\xfe\0\x80", 4));
      EXPECT_EQ(rows[0].cells[1], std::nullopt);
    }
  }
}

}  // namespace
}  // namespace orvanel

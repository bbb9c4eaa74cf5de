// Stopping a transfer once the rows are decided must never change a row: compare the rows
// of every decided prefix with those of the whole document, over generated pages.
#include <gtest/gtest.h>

#include <random>

#include "engine/Retrieval.h"

namespace orvanel {
namespace {

std::string RandomPage(std::mt19937& rng) {
  static const std::vector<std::string> pieces = {"<head>",
                                                  "</head>",
                                                  "<HEAD>",
                                                  "<title>",
                                                  "</title>",
                                                  "<TITLE>",
                                                  "</Title>",
                                                  "<meta name=\"keywords\" content=\"",
                                                  "<meta name=\"description\" content=\"",
                                                  "<META NAME=\"KEYWORDS\" CONTENT=\"",
                                                  "\"",
                                                  "\"",
                                                  "<h1>",
                                                  "</h1>",
                                                  "<p>",
                                                  "text ",
                                                  "\xC3\xA9",
                                                  "\xE9",
                                                  "\x93",
                                                  "\xE2\x82\xAC",
                                                  "<meta charset=\"windows-1252\">",
                                                  "<meta charset=\"utf-8\">",
                                                  "<a>",
                                                  "<b>",
                                                  std::string(300, 'x'),
                                                  "\n"};
  std::string page;
  const int count = 1 + static_cast<int>(rng() % 40);
  for (int i = 0; i < count; ++i) page += pieces[rng() % pieces.size()];
  if (rng() % 20 == 0) page.insert(rng() % (page.size() + 1), 1, '\0');
  return page;
}

TEST(EarlyStop, DecidedPrefixesGiveTheRowsOfTheWholeDocument) {
  std::mt19937 rng(2024);
  const std::vector<std::string> content_types = {"", "text/html; charset=utf-8",
                                                  "text/html; charset=iso-8859-1",
                                                  "text/html; charset=shift_jis"};
  const std::vector<std::vector<std::string>> tag_lists = {{"<title></title>", "keywords"},
                                                           {"<h1></h1>", "<br>", "description"},
                                                           {"<t\xC3\xA9></t\xC3\xA9>"}};
  int decided_early = 0;
  for (int round = 0; round < 400; ++round) {
    const std::string page = RandomPage(rng);
    const std::string& type = content_types[rng() % content_types.size()];
    for (Mode mode : {Mode::kEntireHeadTag, Mode::kTitleAndMetaTags, Mode::kOnlyListedTags}) {
      const auto& tags = tag_lists[rng() % tag_lists.size()];
      const auto request = MakeFetchRequest({"http://x/", false}, mode, tags, true);
      const auto whole = ExtractRows(mode, DecodeDocument(page, type).text, tags);
      // Chunks of every size end at every position, so try each prefix.
      for (std::size_t k = 0; k < page.size(); ++k) {
        const std::string_view prefix(page.data(), k);
        if (!request.decided(prefix, type)) continue;
        ++decided_early;
        const auto rows = ExtractRows(mode, DecodeDocument(prefix, type).text, tags);
        ASSERT_EQ(rows.size(), whole.size()) << "page=" << page << " k=" << k;
        for (std::size_t r = 0; r < rows.size(); ++r) {
          ASSERT_EQ(rows[r].cells, whole[r].cells) << "page=" << page << " k=" << k;
          ASSERT_EQ(rows[r].checked, whole[r].checked);
        }
        break;
      }
    }
  }
  EXPECT_GT(decided_early, 100);  // the test would prove nothing if nothing stopped early
}

std::string Utf16(const std::string& ascii, bool big_endian) {
  std::string out;
  for (const char c : ascii) {
    out += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
  }
  return out;
}

// A UTF-16 page without a byte-order mark, its charset given by the header: its NUL bytes
// end nothing, and no prefix of it decides rows that the whole page would not give.
TEST(EarlyStop, AUtf16PageWithoutAByteOrderMarkIsNotCutAtItsFirstBytes) {
  const std::string text =
      "<html><head><title>Seite</title><meta name=\"keywords\" content=\"k\">"
      "<meta name=\"description\" content=\"d\"></head><body>" +
      std::string(3000, 'x') + "<h1>H</h1></body></html>";
  const std::vector<std::string> tags = {"<title></title>", "<h1></h1>", "keywords"};
  for (const bool big : {false, true}) {
    const std::string page = Utf16(text, big);
    for (const std::string& type :
         {std::string("text/html; charset=utf-16"),
          std::string("text/html; charset=") + (big ? "utf-16be" : "utf-16le")}) {
      if (big && type.find("16be") == std::string::npos) continue;  // "utf-16" reads as LE
      SCOPED_TRACE(type);
      for (Mode mode : {Mode::kEntireHeadTag, Mode::kTitleAndMetaTags, Mode::kOnlyListedTags}) {
        const auto whole = ExtractRows(mode, DecodeDocument(page, type).text, tags);
        ASSERT_FALSE(whole.empty());
        ASSERT_TRUE(whole[0].cells[0].has_value());
        const auto request = MakeFetchRequest({"http://x/", false}, mode, tags, true);
        for (std::size_t k = 1; k < page.size(); k += k < 512 ? 1 : 61) {
          const std::string_view prefix(page.data(), k);
          if (!request.decided(prefix, type)) continue;
          const auto rows = ExtractRows(mode, DecodeDocument(prefix, type).text, tags);
          ASSERT_EQ(rows.size(), whole.size()) << "decided at byte " << k;
          for (std::size_t r = 0; r < rows.size(); ++r) {
            ASSERT_EQ(rows[r].cells, whole[r].cells) << "decided at byte " << k;
          }
          break;
        }
      }
    }
  }
}

TEST(EarlyStop, TypicalHeadStopsRightAfterItsEnd) {
  const std::string head =
      "<html><head><meta charset=\"utf-8\"><title>T</title>"
      "<meta name=\"keywords\" content=\"k\"><meta name=\"description\" content=\"d\"></head>";
  const std::string page = head + std::string(2000, 'b');
  const auto request = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, true);
  EXPECT_FALSE(request.decided(std::string_view(page).substr(0, head.size() - 20), ""));
  EXPECT_TRUE(request.decided(std::string_view(page).substr(0, head.size()), ""));
  // Without a declaration, the first kilobyte must be in before the charset is known.
  const std::string bare = head.substr(0, 12) + head.substr(34) + std::string(2000, 'b');
  EXPECT_FALSE(request.decided(std::string_view(bare).substr(0, head.size()), ""));
  EXPECT_TRUE(request.decided(std::string_view(bare).substr(0, 1024), ""));
  const auto no_stop = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, false);
  EXPECT_FALSE(no_stop.decided);
}

}  // namespace
}  // namespace orvanel

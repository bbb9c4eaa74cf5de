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

const std::vector<std::string> kContentTypes = {"", "text/html; charset=utf-8",
                                                "text/html; charset=iso-8859-1",
                                                "text/html; charset=shift_jis"};
const std::vector<std::vector<std::string>> kTagLists = {{"<title></title>", "keywords"},
                                                         {"<h1></h1>", "<br>", "description"},
                                                         {"<t\xC3\xA9></t\xC3\xA9>"}};

void ExpectSameRows(const std::vector<RuleRow>& rows, const std::vector<RuleRow>& whole,
                    const std::string& page, std::size_t n) {
  ASSERT_EQ(rows.size(), whole.size()) << "page=" << page << " n=" << n;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    ASSERT_EQ(rows[r].cells, whole[r].cells) << "page=" << page << " n=" << n;
    ASSERT_EQ(rows[r].checked, whole[r].checked);
  }
}

// The length a test gives for a page that arrives in pieces cut at `cuts` (then whole); 0
// when even the whole page does not decide.
std::size_t DecidedLength(const FetchRequest& request, const std::string& page,
                          const std::string& type, std::vector<std::size_t> cuts) {
  auto decided = request.decided;  // a fresh copy, as for each attempt
  cuts.push_back(page.size());
  for (const std::size_t cut : cuts) {
    if (const std::size_t n = decided(std::string_view(page).substr(0, cut), type)) {
      EXPECT_LE(n, cut);
      return n;
    }
  }
  return 0;
}

// Stopping a transfer once the rows are decided must never change a row, and where it
// stops must not depend on how the page arrived: the same answer gives the same bytes.
TEST(EarlyStop, TheDecidedBeginningGivesTheRowsOfTheWholeDocumentHoweverItArrives) {
  std::mt19937 rng(2024);
  int decided_early = 0;
  for (int round = 0; round < 400; ++round) {
    const std::string page = RandomPage(rng);
    const std::string& type = kContentTypes[rng() % kContentTypes.size()];
    for (Mode mode : {Mode::kEntireHeadTag, Mode::kTitleAndMetaTags, Mode::kOnlyListedTags}) {
      const auto& tags = kTagLists[rng() % kTagLists.size()];
      const auto request = MakeFetchRequest({"http://x/", false}, mode, tags, true);
      const auto whole = ExtractRows(mode, DecodeDocument(page, type).text, tags);
      // Byte by byte, in random pieces, and all at once.
      std::vector<std::size_t> every(page.size()), pieces;
      for (std::size_t k = 0; k < page.size(); ++k) every[k] = k;
      for (std::size_t k = rng() % 700; k < page.size(); k += 1 + rng() % 700) pieces.push_back(k);
      const std::size_t n = DecidedLength(request, page, type, every);
      ASSERT_EQ(DecidedLength(request, page, type, pieces), n) << "page=" << page;
      ASSERT_EQ(DecidedLength(request, page, type, {}), n) << "page=" << page;
      if (n == 0) continue;
      decided_early += n < page.size();
      const std::string prefix = page.substr(0, n);
      ExpectSameRows(ExtractRows(mode, DecodeDocument(prefix, type).text, tags), whole, page, n);
      // The reference test agrees that the rows are fixed there.
      EXPECT_TRUE(IsDecided(mode, prefix, tags)) << "page=" << page << " n=" << n;
    }
  }
  EXPECT_GT(decided_early, 100);  // the test would prove nothing if nothing stopped early
}

TEST(EarlyStop, TypicalHeadStopsRightAfterItsEnd) {
  const std::string head =
      "<html><head><meta charset=\"utf-8\"><title>T</title>"
      "<meta name=\"keywords\" content=\"k\"><meta name=\"description\" content=\"d\"></head>";
  const std::string page = head + std::string(2000, 'b');
  const std::size_t rows_end = head.find("d\">") + 2;  // the description's closing quote
  auto decided = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, true).decided;
  EXPECT_EQ(decided(std::string_view(page).substr(0, rows_end - 1), ""), 0u);
  EXPECT_EQ(decided(std::string_view(page).substr(0, head.size()), ""), rows_end);
  // Without a declaration, the first kilobyte must be in (and ASCII) before the charset is
  // known: the page is held to there.
  const std::string bare = head.substr(0, 12) + head.substr(34) + std::string(2000, 'b');
  decided = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, true).decided;
  EXPECT_EQ(decided(std::string_view(bare).substr(0, head.size()), ""), 0u);
  EXPECT_EQ(decided(std::string_view(bare).substr(0, 1500), ""), 1024u);
  // A later byte past ASCII changes nothing once the kilobyte was in, and a page that
  // starts over (a second attempt) is decided afresh.
  std::string late = bare;
  late[1100] = '\xE9';
  decided = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, true).decided;
  EXPECT_EQ(decided(std::string_view(late).substr(0, 1200), ""), 1024u);
  EXPECT_EQ(decided(std::string_view(late).substr(0, 10), ""), 0u);
  EXPECT_EQ(decided(std::string_view(late), ""), 1024u);
  const auto no_stop = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, false);
  EXPECT_FALSE(no_stop.decided);
}

}  // namespace
}  // namespace orvanel

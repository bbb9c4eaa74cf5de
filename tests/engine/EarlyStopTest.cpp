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
                                                  "<t\xE9>",
                                                  "</t\xE9>",
                                                  "<t\xC3\xA9>",
                                                  "</t\xC3\xA9>",
                                                  "<a>",
                                                  "<b>",
                                                  std::string(300, 'x'),
                                                  "\n"};
  std::string page;
  const int count = 1 + static_cast<int>(rng() % 40);
  for (int i = 0; i < count; ++i) page += pieces[rng() % pieces.size()];
  if (rng() % 20 == 0) page.insert(rng() % (page.size() + 1), 1, '\0');
  static const std::vector<std::string> marks = {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
  if (rng() % 10 == 0) page.insert(0, marks[rng() % marks.size()]);
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

// What a test gives for a page that arrives in pieces cut at `cuts` (then whole): the
// length it decided at (0 when even the whole page did not decide), else what it judged
// of the whole page once the page ended.
struct Judged {
  std::size_t decided = 0;
  std::size_t enough = 0;
  bool operator==(const Judged&) const = default;
};

Judged DecidedLength(const FetchRequest& request, const std::string& page, const std::string& type,
                     std::vector<std::size_t> cuts) {
  auto decided = request.decided;  // a fresh copy, as for each attempt
  cuts.push_back(page.size());
  for (const std::size_t cut : cuts) {
    if (const std::size_t n = decided(std::string_view(page).substr(0, cut), type, false)) {
      EXPECT_LE(n, cut);
      return {n, 0};
    }
  }
  if (page.empty()) return {};
  return {0, decided(page, type, true)};
}

// Stopping a transfer once the rows are decided must never change a row, and where it
// stops must not depend on how the page arrived: the same answer gives the same bytes.
// A page read whole is judged at its end: the beginning it names gives the whole page's
// rows, charset and charset source.
TEST(EarlyStop, TheDecidedBeginningGivesTheRowsOfTheWholeDocumentHoweverItArrives) {
  std::mt19937 rng(2024);
  int decided_early = 0;
  int judged_short = 0;
  int held_decided = 0;
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
      // The test a page cut for other criteria is held against: a beginning it calls
      // decided gives the rows of the whole page.
      for (int k = 0; k < 4; ++k) {
        const std::size_t cut = rng() % (page.size() + 1);
        const std::string prefix = page.substr(0, cut);
        if (!RowsAreDecided(mode, tags, TagsAreAscii(mode, tags), prefix, type)) continue;
        ++held_decided;
        ExpectSameRows(ExtractRows(mode, DecodeDocument(prefix, type).text, tags), whole, page,
                       cut);
      }
      const Judged judged = DecidedLength(request, page, type, every);
      ASSERT_TRUE(DecidedLength(request, page, type, pieces) == judged) << "page=" << page;
      ASSERT_TRUE(DecidedLength(request, page, type, {}) == judged) << "page=" << page;
      if (judged.decided == 0) {
        if (page.empty()) continue;
        const std::size_t n = judged.enough;
        ASSERT_GE(n, 1u) << "page=" << page;
        ASSERT_LE(n, page.size()) << "page=" << page;
        judged_short += n < page.size();
        const DecodedDocument all = DecodeDocument(page, type);
        const DecodedDocument part = DecodeDocument(page.substr(0, n), type);
        ExpectSameRows(ExtractRows(mode, part.text, tags), whole, page, n);
        ASSERT_EQ(part.charset, all.charset) << "page=" << page << " n=" << n;
        ASSERT_EQ(part.source, all.source) << "page=" << page << " n=" << n;
        continue;
      }
      const std::size_t n = judged.decided;
      decided_early += n < page.size();
      const std::string prefix = page.substr(0, n);
      ExpectSameRows(ExtractRows(mode, DecodeDocument(prefix, type).text, tags), whole, page, n);
      // The reference test agrees that the rows are fixed there.
      EXPECT_TRUE(IsDecided(mode, prefix, tags)) << "page=" << page << " n=" << n;
    }
  }
  EXPECT_GT(decided_early, 100);  // the test would prove nothing if nothing stopped early
  EXPECT_GT(judged_short, 100);   // nor if no page read whole was judged short
  EXPECT_GT(held_decided, 100);   // nor if no beginning held was called decided
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
          if (!request.decided(prefix, type, false)) continue;
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
  const std::size_t rows_end = head.find("d\">") + 2;  // the description's closing quote
  auto decided = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, true).decided;
  EXPECT_EQ(decided(std::string_view(page).substr(0, rows_end - 1), "", false), 0u);
  EXPECT_EQ(decided(std::string_view(page).substr(0, head.size()), "", false), rows_end);
  // Another answer to the same request (a retry) is decided by its own rows.
  const std::string other = head.substr(12, head.find("<meta name=\"description\"") - 12) +
                            "<meta name=\"description\" content=\"e\">";
  EXPECT_EQ(decided(other, "", false), other.size() - 1);
  // Without a declaration, the first kilobyte must be in (and ASCII) before the charset is
  // known: the page is held to there.
  const std::string bare = head.substr(0, 12) + head.substr(34) + std::string(2000, 'b');
  decided = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, true).decided;
  EXPECT_EQ(decided(std::string_view(bare).substr(0, head.size()), "", false), 0u);
  EXPECT_EQ(decided(std::string_view(bare).substr(0, 1500), "", false), 1024u);
  // A later byte past ASCII changes nothing once the kilobyte was in, and a page that
  // starts over (a second attempt) is decided afresh.
  std::string late = bare;
  late[1100] = '\xE9';
  decided = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, true).decided;
  EXPECT_EQ(decided(std::string_view(late).substr(0, 1200), "", false), 1024u);
  EXPECT_EQ(decided(std::string_view(late).substr(0, 10), "", false), 0u);
  EXPECT_EQ(decided(std::string_view(late), "", false), 1024u);
  // ...even when the new attempt's first kilobyte is not what the first one's was.
  std::string unlike = bare;
  unlike[500] = '\xE9';
  EXPECT_EQ(decided(std::string_view(unlike).substr(0, 10), "", false), 0u);
  EXPECT_EQ(decided(std::string_view(unlike).substr(0, 1200), "", false), 0u);
  // A charset from the header that reads ASCII as ASCII stops there too, whatever a meta
  // tag of the page says.
  for (const std::string charset : {"iso-8859-2", "windows-1251", "koi8-r", "euc-jp"}) {
    decided = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, true).decided;
    EXPECT_EQ(decided(std::string_view(page).substr(0, head.size()),
                      "text/html; charset=" + charset, false),
              rows_end)
        << charset;
  }
  std::string conflicting = head;
  conflicting.replace(conflicting.find("utf-8"), 5, "shift_jis");
  decided = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, true).decided;
  EXPECT_EQ(decided(conflicting, "text/html; charset=utf-8", false), conflicting.find("d\">") + 2);
  const auto no_stop = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, false);
  EXPECT_FALSE(no_stop.decided);
}

// A page cut for criteria that were changed meanwhile is kept only when its beginning
// fixes the rows of the criteria selected now, its charset included.
TEST(EarlyStop, ABeginningHeldIsDecidedOnlyWhereItsCharsetIsSettled) {
  const std::string head =
      "<head><title>T</title><meta name=\"keywords\" content=\"k\">"
      "<meta name=\"description\" content=\"d\"></head>";
  const std::vector<std::string> accented = {"<t\xC3\xA9></t\xC3\xA9>"};
  const std::string tagged = "<head><t\xC3\xA9>caf\xC3\xA9</t\xC3\xA9></head>";
  const struct {
    const char* what;
    std::string bytes;
    std::string type;
    Mode mode;
    std::vector<std::string> tags;
    bool decided;
  } cases[] = {
      {"declared", head, "text/html; charset=utf-8", Mode::kTitleAndMetaTags, {}, true},
      {"a charset may still be declared", head, "", Mode::kTitleAndMetaTags, {}, false},
      {"byte-order mark", "\xEF\xBB\xBF" + head, "", Mode::kTitleAndMetaTags, {}, true},
      {"ends at a NUL", head + '\0' + "\xE9", "", Mode::kTitleAndMetaTags, {}, true},
      {"UTF-8 before a NUL", tagged + '\0', "", Mode::kOnlyListedTags, accented, true},
      {"accented tags in windows-1252", tagged, "text/html; charset=windows-1252",
       Mode::kOnlyListedTags, accented, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RowsAreDecided(c.mode, c.tags, TagsAreAscii(c.mode, c.tags), c.bytes, c.type),
              c.decided)
        << c.what;
  }
}

// A page without keywords is read whole; judged at its end, only its beginning through the
// last row found is decoded, unless its charset is detected from all of its bytes.
TEST(EarlyStop, APageReadWholeIsJudgedShortOnlyWhenItsCharsetIsDeclared) {
  const std::string top =
      "<html><head><title>T</title><meta name=\"description\" content=\"d\"></head><body>";
  const std::string rest = std::string(2000, 'b') + "caf\xE9</body></html>";
  const std::size_t rows_end = top.find("d\">") + 2;
  auto judge = [](const std::string& page, const std::string& type) {
    auto decided =
        MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, true).decided;
    EXPECT_EQ(decided(page, type, false), 0u);
    return decided(page, type, true);
  };
  // Declared by the header, or by a meta tag: the rows' end, or the declaration's.
  EXPECT_EQ(judge(top + rest, "text/html; charset=windows-1252"), rows_end);
  const std::string declared = "<meta charset=\"windows-1252\">" + top + rest;
  EXPECT_EQ(judge(declared, ""), declared.find("<html>") + rows_end);
  const std::string late = top + "<meta charset=\"windows-1252\">" + rest;
  EXPECT_EQ(judge(late, ""), late.find("\">b") + 2);
  // Nothing found: a declared page's rows are those of its first byte.
  EXPECT_EQ(judge(rest, "text/html; charset=windows-1252"), 1u);
  // Detected: the byte past ASCII far behind the rows makes the whole page windows-1252.
  EXPECT_EQ(judge(top + rest, ""), top.size() + rest.size());
  EXPECT_EQ(DecodeDocument(top + rest, "").charset, "windows-1252");
}

// Undeclared, a text that ends at a NUL byte has its charset detected from every byte
// before the NUL: a beginning cut before the last of them could read as another charset.
TEST(EarlyStop, AnUndeclaredTextEndingAtANulIsReadThroughTheNul) {
  const std::string page =
      "<title>caf\xC3\xA9</title><meta name=\"keywords\" content=\"k\">"
      "<meta name=\"description\" content=\"d\">\xE9" +
      std::string(1, '\0') + "after";
  const auto request = MakeFetchRequest({"http://x/", false}, Mode::kTitleAndMetaTags, {}, true);
  const Judged judged = DecidedLength(request, page, "", {});
  ASSERT_EQ(judged.decided, page.find('\0') + 1);
  ExpectSameRows(ExtractRows(Mode::kTitleAndMetaTags,
                             DecodeDocument(page.substr(0, judged.decided), "").text, {}),
                 ExtractRows(Mode::kTitleAndMetaTags, DecodeDocument(page, "").text, {}), page,
                 judged.decided);
}

}  // namespace
}  // namespace orvanel

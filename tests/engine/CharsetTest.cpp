#include <gtest/gtest.h>

#include "engine/Charset.h"

namespace orvanel {
namespace {

TEST(DecodeDocument, ChoosesTheCharsetInOrderOfAuthority) {
  struct Case {
    std::string bytes;
    std::string content_type;
    std::string text;
    std::string charset;
    CharsetSource source;
  } cases[] = {
      {"\xEF\xBB\xBFh\xC3\xA9", "text/html; charset=iso-8859-1", "h\xC3\xA9", "utf-8",
       CharsetSource::kByteOrderMark},
      {std::string("\xFF\xFEh\0\xE9\0", 6), "", "h\xC3\xA9", "utf-16le",
       CharsetSource::kByteOrderMark},
      {std::string("\xFE\xFF\0h\0\xE9", 6), "", "h\xC3\xA9", "utf-16be",
       CharsetSource::kByteOrderMark},
      {"caf\xE9", "text/html; charset=\"ISO-8859-1\"", "caf\xC3\xA9", "windows-1252",
       CharsetSource::kHeader},
      {"<meta charset=\"windows-1252\">\x93q\x94", "text/html",
       "<meta charset=\"windows-1252\">\xE2\x80\x9Cq\xE2\x80\x9D", "windows-1252",
       CharsetSource::kMeta},
      {"<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=utf-8\">\xC3\xA9", "",
       "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=utf-8\">\xC3\xA9", "utf-8",
       CharsetSource::kMeta},
      {"plain \xC3\xA9", "", "plain \xC3\xA9", "utf-8", CharsetSource::kDetected},
      {"latin \xE9", "", "latin \xC3\xA9", "windows-1252", CharsetSource::kFallback},
      {"koi8 \xF0", "text/html; charset=koi8-r", "koi8 \xD0\x9F", "koi8-r", CharsetSource::kHeader},
      {"<meta charset=utf-16>x", "", "<meta charset=utf-16>x", "utf-8", CharsetSource::kMeta},
      {"x\xE9", "text/html; charset=no-such-charset", "x\xC3\xA9", "windows-1252",
       CharsetSource::kFallback},
      // Declarations in single quotes, as many pages write them.
      {"<meta charset='koi8-r'>\xF0", "", "<meta charset='koi8-r'>\xD0\x9F", "koi8-r",
       CharsetSource::kMeta},
      {"<meta http-equiv='Content-Type' content='text/html; charset=koi8-r'>\xF0", "",
       "<meta http-equiv='Content-Type' content='text/html; charset=koi8-r'>\xD0\x9F", "koi8-r",
       CharsetSource::kMeta},
      {"<META CHARSET = 'KOI8-R' >\xF0", "", "<META CHARSET = 'KOI8-R' >\xD0\x9F", "koi8-r",
       CharsetSource::kMeta},
      {"caf\xE9", "text/html; charset='iso-8859-1'", "caf\xC3\xA9", "windows-1252",
       CharsetSource::kHeader},
      // A registered name with a colon in it; a "charset" that is only part of a word.
      {"caf\xE9", "text/html; charset=ISO_8859-1:1987", "caf\xC3\xA9", "iso_8859-1:1987",
       CharsetSource::kHeader},
      {"<meta name=charset-note content='text/html; charset=koi8-r'>\xF0", "",
       "<meta name=charset-note content='text/html; charset=koi8-r'>\xD0\x9F", "koi8-r",
       CharsetSource::kMeta},
      // UTF-7, which would make tags of text, is not a charset a page may have.
      {"+ADw-title+AD4-\xE9", "text/html; charset=UTF-7", "+ADw-title+AD4-\xC3\xA9", "windows-1252",
       CharsetSource::kFallback},
      {"<meta charset=utf7>+ADw-", "", "<meta charset=utf7>+ADw-", "utf-8",
       CharsetSource::kDetected},
  };
  for (const auto& c : cases) {
    const auto doc = DecodeDocument(c.bytes, c.content_type);
    EXPECT_EQ(doc.text, c.text) << c.bytes;
    EXPECT_EQ(doc.charset, c.charset) << c.bytes;
    EXPECT_EQ(doc.source, c.source) << c.bytes;
    const auto owned = DecodeOwnedDocument(std::string(c.bytes), c.content_type);
    EXPECT_EQ(owned.text, c.text) << c.bytes;
    EXPECT_EQ(owned.charset, c.charset) << c.bytes;
  }
}

// A document given up becomes the text where it can, but never with more room than a copy
// of the text would hold (a page cut early in a large buffer may wait to be written),
// unless the caller says it drops the text at once.
TEST(DecodeDocument, AnOwnedDocumentIsTheTextAsTheViewedOneIsAndHoldsNoMoreThanIt) {
  std::string whole(64 * 1024, 'x');
  const char* buffer = whole.data();
  auto doc = DecodeOwnedDocument(std::move(whole), "text/html; charset=utf-8");
  EXPECT_EQ(doc.text, std::string(64 * 1024, 'x'));
  EXPECT_EQ(doc.text.data(), buffer);  // taken over, not copied

  std::string cut(64 * 1024, 'y');
  cut.resize(1000);
  doc = DecodeOwnedDocument(std::move(cut), "");
  EXPECT_EQ(doc.text, std::string(1000, 'y'));
  EXPECT_LE(doc.text.capacity(), 1000u + 1000u / 8 + 64);
  // A text read at once and dropped keeps the whole buffer rather than be copied.
  std::string brief(64 * 1024, 'z');
  brief.resize(1000);
  buffer = brief.data();
  doc = DecodeOwnedDocument(std::move(brief), "", /*brief=*/true);
  EXPECT_EQ(doc.text, std::string(1000, 'z'));
  EXPECT_EQ(doc.text.data(), buffer);
  // ... but only a text that is the document's bytes as they are.
  doc = DecodeOwnedDocument(std::string("ok \xC3(\xFF"), "text/html; charset=utf-8", true);
  EXPECT_EQ(doc.text, "ok \xEF\xBF\xBD(\xEF\xBF\xBD");

  doc = DecodeOwnedDocument(std::string("ab\0cd", 5), "");
  EXPECT_EQ(doc.text, "ab");
  doc = DecodeOwnedDocument(std::string("ok \xC3(\xFF"), "text/html; charset=utf-8");
  EXPECT_EQ(doc.text, "ok \xEF\xBF\xBD(\xEF\xBF\xBD");
}

TEST(DecodeDocument, TextEndsAtTheFirstNulAndIsAlwaysValidUtf8) {
  EXPECT_EQ(DecodeDocument(std::string("ab\0\xE9", 4), "").text, "ab");
  EXPECT_EQ(DecodeDocument(std::string("\xFF\xFEh\0\0\0x\0", 8), "").text, "h");
  EXPECT_EQ(DecodeDocument(std::string("\xEF\xBB\xBF"
                                       "ab\0cd",
                                       8),
                           "")
                .text,
            "ab");
  const auto declared = DecodeDocument("\xC3(\xFF", "text/html; charset=utf-8");
  EXPECT_EQ(declared.text, "\xEF\xBF\xBD(\xEF\xBF\xBD");
  // In a multi-byte charset too, once it is decoded.
  EXPECT_EQ(DecodeDocument(std::string("a\x82\xA0\0cd", 6), "text/html; charset=shift_jis").text,
            "a\xE3\x81\x82");
  const auto sjis = DecodeDocument("\x82\xA0\x82", "text/html; charset=shift_jis");
  EXPECT_EQ(ValidUtf8Prefix(sjis.text), sjis.text.size());
}

// Charsets of the C library's converters: a long text comes whole, and a page cut while
// it was in a shift state (its end not read) does not leave that state to the start of
// the text.
TEST(DecodeDocument, OtherCharsetsComeWholeAndFromTheirStartingState) {
  std::string cyrillic, expected;
  for (int i = 0; i < 20'000; ++i) {
    cyrillic += '\xF0';
    expected += "\xD0\x9F";
  }
  auto doc = DecodeDocument(cyrillic, "text/html; charset=koi8-r");
  EXPECT_EQ(doc.charset, "koi8-r");
  EXPECT_TRUE(doc.text == expected) << doc.text.size() << " bytes";
  // "<title>" and two kanji, the page cut before it shifts back to ASCII.
  doc = DecodeDocument("<title>\x1B$BF|K\\", "text/html; charset=iso-2022-jp");
  EXPECT_EQ(doc.charset, "iso-2022-jp");
  EXPECT_EQ(doc.text, "<title>\xE6\x97\xA5\xE6\x9C\xAC");
}

// A byte that starts no character of the page's charset, or a character cut off at the
// page's end, gives one replacement character; what follows is read as before.
TEST(DecodeDocument, InvalidBytesOfOtherCharsetsGiveReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    std::string bytes;
    const char* type;
    std::string text;
  } cases[] = {
      {"a\xFF b\x82\xA0"
       "c",
       "text/html; charset=shift_jis",
       "a" + fffd +
           " b\xE3\x81\x82"
           "c"},
      {"<title>\x88", "text/html; charset=shift_jis", "<title>" + fffd},
      {"a\x8E b", "text/html; charset=euc-jp", "a" + fffd + " b"},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeDocument(c.bytes, c.type).text, c.text) << c.bytes;
}

TEST(DecodeDocument, MetaOutsideTheFirstKilobyteIsNotUsed) {
  const std::string bytes = std::string(1100, ' ') + "<meta charset=\"utf-8\">\xE9";
  EXPECT_EQ(DecodeDocument(bytes, "").source, CharsetSource::kFallback);
}

// A declaration inside a comment declares nothing, as browsers read it.
TEST(DecodeDocument, MetaInsideACommentIsNotUsed) {
  const struct {
    std::string bytes;
    std::string charset;
  } cases[] = {
      {"<!-- <meta charset=\"koi8-r\"> -->caf\xC3\xA9", "utf-8"},
      {"<!-- old --><meta charset=koi8-r>\xF0", "koi8-r"},
      {"<!--><meta charset=koi8-r>\xF0", "koi8-r"},
      {"<!-- a -- b <meta charset=koi8-r> --><meta charset=utf-8>\xC3\xA9", "utf-8"},
      {"<!-- never closed <meta charset=koi8-r>\xF0", "windows-1252"},
      {"<!-- never closed <meta charset=koi8-r> <meta charset=utf-8>\xF0", "windows-1252"},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeDocument(c.bytes, "").charset, c.charset) << c.bytes;
}

TEST(Utf8, CountsCharactersNotBytes) {
  EXPECT_EQ(CodePointCount("h\xC3\xA9llo"), 5u);
  EXPECT_EQ(CodePointCount("\xFF\xFE"), 2u);
  EXPECT_EQ(SanitiseUtf8("a\xED\xA0\x80"),
            "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // no surrogates
  EXPECT_EQ(ToUtf8Text("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(ToUtf8Text("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");
}

}  // namespace
}  // namespace orvanel

// The INI text itself: what is read from it, what counts as damage, what a change writes.
#include <gtest/gtest.h>

#include "storage/IniDocument.h"

namespace orvanel {
namespace {

std::string Value(const IniDocument& doc, const char* key) {
  const std::string* value = doc.Find("Orvanel", key);
  return value ? *value : "<absent>";
}

TEST(IniValues, ReadTheFormsQSettingsWrites) {
  EXPECT_EQ(UnescapeIniValue("\"a,b\"  ; comment"), "a,b");
  EXPECT_EQ(UnescapeIniValue(" \" lead\""), " lead");
  EXPECT_EQ(UnescapeIniValue("\"trail \" ; comment"), "trail ");  // quoted blanks stay
  EXPECT_EQ(UnescapeIniValue("a\\x1\\x31"), std::string("a\x01") + "1");
  EXPECT_EQ(UnescapeIniValue("\\xe9\\x65e5"), "\xC3\xA9\xE6\x97\xA5");
  EXPECT_EQ(UnescapeIniValue("\\xd83d\\xde00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(UnescapeIniValue("\\xd83d"), "\xEF\xBF\xBD");
  EXPECT_EQ(UnescapeIniValue("\\a\\b\\f\\n\\r\\t\\v\\\"\\\\\\101"), "\a\b\f\n\r\t\v\"\\A");
  EXPECT_EQ(UnescapeIniValue("@@at"), "@at");
  EXPECT_EQ(UnescapeIniValue("@String(text)"), "text");
  EXPECT_EQ(UnescapeIniValue("@ByteArray(bytes)"), "bytes");
  EXPECT_EQ(UnescapeIniValue("@String(open"), "@String(open");  // no type without its ")"
  EXPECT_EQ(UnescapeIniValue("a\\xg"), "axg");                  // "\x" without a digit
  EXPECT_EQ(EscapeIniValue(std::string("a\x01") + "1"), "a\\x1\\x31");
  EXPECT_EQ(EscapeIniValue(std::string("\0"
                                       "7",
                                       2)),
            "\\0\\x37");
  EXPECT_EQ(EscapeIniValue("\a\b\f\n\r\t\v\"\\"), "\\a\\b\\f\\n\\r\\t\\v\\\"\\\\");
  EXPECT_EQ(EscapeIniValue("a=b"), "\"a=b\"");
  EXPECT_EQ(EscapeIniValue("a,b"), "\"a,b\"");  // unquoted, QSettings reads a list
  EXPECT_EQ(EscapeIniValue("a;b"), "\"a;b\"");
  EXPECT_EQ(EscapeIniValue("\x1fz"), "\\x1fz");
  EXPECT_EQ(EscapeIniValue("x "), "\"x \"");
}

TEST(IniDocument, CrLfLineEndsAreLineEndsNotPartOfTheValues) {
  const IniDocument doc =
      IniDocument::Parse("[Orvanel]\r\nOption=2\r\nTags=a|Dravikton|\r\nQuoted=\" x \"\r\n");
  EXPECT_FALSE(doc.damaged());
  EXPECT_EQ(Value(doc, "Option"), "2");
  EXPECT_EQ(Value(doc, "Tags"), "a|Dravikton|");
  EXPECT_EQ(Value(doc, "Quoted"), " x ");
  // Written back with LF line ends, nothing else changed.
  EXPECT_EQ(doc.Serialise(), "[Orvanel]\nOption=2\nTags=a|Dravikton|\nQuoted=\" x \"\n");
}

TEST(IniDocument, WhatCannotBeWrittenBackMarksTheFileDamaged) {
  const std::pair<const char*, std::string> damages[] = {
      {"text after a section's ]", "[Orvanel] and more\nOption=2\n"},
      {"text after a section's ] with CR LF", "[Orvanel]x\r\nOption=2\r\n"},
      {"unclosed section", "[Orvanel\nOption=2\n"},
      {"line without equals", "[Orvanel]\nOption=2\nno equals here\n"},
      {"key without a name", "[Orvanel]\n =2\n"},
      {"NUL byte", std::string("[Orvanel]\nOption=2\0\n", 20)},
      {"bytes that are not UTF-8", "[Orvanel]\nOption=\xFF\n"},
      {"byte-order mark", "\xEF\xBB\xBF[Orvanel]\nOption=2\n"},
  };
  for (const auto& [what, text] : damages) {
    EXPECT_TRUE(IniDocument::Parse(text).damaged()) << what;
  }
  for (const char* sound : {"[Orvanel]  \nOption=2\n", "; note\n# note\n\n[Orvanel]\nA=\n", ""}) {
    EXPECT_FALSE(IniDocument::Parse(sound).damaged()) << sound;
  }
  // What could be read is read; a line with bytes that are not UTF-8 is dropped whole.
  EXPECT_EQ(Value(IniDocument::Parse("[Orvanel] and more\nOption=2\n"), "Option"), "2");
  const auto mixed = IniDocument::Parse("[Orvanel]\nOption=2\nTags=a|Dravikton|\xFF\n");
  EXPECT_EQ(Value(mixed, "Option"), "2");
  EXPECT_EQ(Value(mixed, "Tags"), "<absent>");
}

TEST(IniDocument, ARepeatedKeyReadsItsLastValueAndEveryCopyIsChanged) {
  IniDocument doc = IniDocument::Parse("[Orvanel]\nOption=1\nTags=t\nOption=2\n");
  EXPECT_EQ(Value(doc, "Option"), "2");
  doc.Set("Orvanel", "Option", "3");
  EXPECT_EQ(Value(doc, "Option"), "3");
  EXPECT_EQ(doc.Serialise(), "[Orvanel]\nOption=3\nTags=t\nOption=3\n");
  // A section given twice: its keys are read from both, and changed in both.
  doc = IniDocument::Parse("[Orvanel]\nOption=1\n[Other]\nOption=9\n[Orvanel]\nOption=2\n");
  EXPECT_EQ(Value(doc, "Option"), "2");
  doc.Set("Orvanel", "Option", "3");
  EXPECT_EQ(doc.Serialise(), "[Orvanel]\nOption=3\n\n[Other]\nOption=9\n\n[Orvanel]\nOption=3\n");
  // A new key goes into the first copy.
  doc.Set("Orvanel", "New", "n");
  EXPECT_EQ(doc.Serialise(),
            "[Orvanel]\nNew=n\nOption=3\n\n[Other]\nOption=9\n\n[Orvanel]\nOption=3\n");
}

TEST(IniDocument, NewKeysAndSectionsGoWhereQSettingsPutsThem) {
  IniDocument doc = IniDocument::Parse("[General]\nx=1\n; kept\n\n[Orvanel]\nB=b\nD=d\n");
  doc.Set("Orvanel", "C", "c");
  doc.Set("Orvanel", "A", "a");
  doc.Set("Orvanel", "E", "e");
  doc.Set("General", "y", "2");  // after the last key, before the comment below it
  doc.Set("New Section", "K", "v");
  doc.Set("New Section", "K.1_a-b", "w");  // letters, digits and "._-" are written as they are
  EXPECT_EQ(doc.Serialise(),
            "[General]\nx=1\ny=2\n; kept\n\n[Orvanel]\nA=a\nB=b\nC=c\nD=d\nE=e\n\n"
            "[New%20Section]\nK=v\nK.1_a-b=w\n");
  EXPECT_EQ(*IniDocument::Parse(doc.Serialise()).Find("New Section", "K"), "v");
  // A byte written "%XX" at the very end of a name.
  const IniDocument percent = IniDocument::Parse("[S%41]\nK%41=v\n");
  const std::string* end = percent.Find("SA", "KA");
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(*end, "v");
}

}  // namespace
}  // namespace orvanel

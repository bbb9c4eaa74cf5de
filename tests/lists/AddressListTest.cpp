#include <gtest/gtest.h>

#include "Fakes.h"
#include "TempDir.h"
#include "lists/AddressList.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

std::vector<std::string> Items(const ListView& list) {
  std::vector<std::string> items;
  for (std::size_t i = 1; i <= list.Count(); ++i) items.push_back(list.Text(i));
  return items;
}

std::vector<std::string> Cut(const std::string& bytes, std::size_t chunk,
                             FinalLineEnd final_line_end = FinalLineEnd::kGivesAnEmptyItem) {
  std::vector<std::string> items;
  AddressLineReader reader([&](std::string_view item) { items.emplace_back(item); },
                           static_cast<std::size_t>(-1), false, final_line_end);
  for (std::size_t i = 0; i < bytes.size(); i += chunk) reader.Feed(bytes.substr(i, chunk));
  reader.Finish();
  return items;
}

TEST(AddressLineReader, CutsLinesAsTheLoaderDoesWhateverTheChunks) {
  using V = std::vector<std::string>;
  struct Case {
    std::string bytes;
    V items;
  } cases[] = {
      {"", {}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\nb", {"a", "b"}},
      {"a\nb\n", {"a", "b", ""}},
      {"a\r\n\r\nb", {"a", "", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"\n", {"", ""}},
      {"\r\n", {""}},
      {"a\r\r\nb", {"a", "", "b"}},
      {" x \n\ty\r\n", {" x ", "\ty"}},
      {"a\nb\r\nc", {"a", "b", "c"}},
      {"a\rb\nc", {"a", "b", "c"}},  // a CR, then a line ended by an LF
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {1u, 2u, 3u, 1000u}) {
      EXPECT_EQ(Cut(c.bytes, chunk), c.items) << "chunk " << chunk << " bytes " << c.bytes;
    }
  }
}

// The last line end of a file ends its last line and gives no item of its own, whichever
// it is; a blank line inside the file still gives its empty item.
TEST(AddressLineReader, TheLastLineEndGivesNoItemOfItsOwn) {
  using V = std::vector<std::string>;
  struct Case {
    std::string bytes;
    V items;
  } cases[] = {
      {"a\nb\n", {"a", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"a\nb", {"a", "b"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"a\n\n", {"a", ""}},
      {"\n", {""}},
      {"\r\n", {""}},
      {"", {}},
      {"a\nb\r\nc\n", {"a", "b", "c"}},
      {" x \n\ty\n", {" x ", "\ty"}},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {1u, 2u, 3u, 1000u}) {
      EXPECT_EQ(Cut(c.bytes, chunk, FinalLineEnd::kEndsTheLastLine), c.items)
          << "chunk " << chunk << " bytes " << c.bytes;
    }
  }
}

class AddressListTest : public ::testing::Test {
 protected:
  AddressListTest() { list_.AddColumn(" Website(s)"); }
  ListView list_;
  FakeBoxes boxes_;
  FakePump pump_;
  FakeFileDialog dialog_;
  TempDir dir_;
};

TEST_F(AddressListTest, LoadAppendsTheLinesOfTheChosenFile) {
  list_.Add("already here");
  dialog_.answers.push_back(dir_.File("list.txt", "a.com\r\n\r\nb.com\ncaf\xe9.fr"));
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  EXPECT_EQ(Items(list_),
            (std::vector<std::string>{"already here", "a.com", "", "b.com", "caf\xc3\xa9.fr"}));
  ASSERT_EQ(dialog_.calls.size(), 1u);
  EXPECT_EQ(dialog_.calls[0].title, "Add File(s) - Use Ctrl & Shift to select multiple files");
  EXPECT_EQ(dialog_.calls[0].filter, "Text Files (*.txt);;All Files (*)");
  EXPECT_TRUE(boxes_.shown.empty());
}

// A list saved by any Linux editor ends with a line feed: it gives its addresses and no
// empty one (which a run would report as "URL http:// cannot be extracted.").
TEST_F(AddressListTest, AFileWithUnixLineEndsGivesItsLinesAndNoEmptyItem) {
  dialog_.answers.push_back(dir_.File("unix.txt", "a.com\n\nb.com\n"));
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  dialog_.answers.push_back(dir_.File("windows.txt", "c.com\r\nd.com\r\n"));
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  EXPECT_EQ(Items(list_), (std::vector<std::string>{"a.com", "", "b.com", "c.com", "d.com"}));
  EXPECT_TRUE(boxes_.shown.empty());
}

// Lists saved by Windows editors start with a byte-order mark, and may be UTF-16: the
// mark is no part of the first address, and the text is read as the companion reads it.
TEST_F(AddressListTest, AByteOrderMarkIsNoPartOfTheFirstAddress) {
  dialog_.answers.push_back(dir_.File("utf8.txt",
                                      "\xEF\xBB\xBF"
                                      "a.com\r\nb.com\r\n"));
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  // "ü.com\r\nc.com" in UTF-16, little- and big-endian.
  dialog_.answers.push_back(dir_.File("utf16le.txt", std::string("\xFF\xFE\xFC\x00.\x00"
                                                                 "c\x00o\x00m\x00\r\x00\n\x00"
                                                                 "c\x00.\x00"
                                                                 "c\x00o\x00m\x00",
                                                                 26)));
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  dialog_.answers.push_back(dir_.File("utf16be.txt", std::string("\xFE\xFF\x00\xFC\x00.\x00"
                                                                 "c\x00o\x00m",
                                                                 12)));
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  // An odd last byte is no character: it is marked, not lost.
  dialog_.answers.push_back(dir_.File("odd.txt", std::string("\xFF\xFEx\x00y", 5)));
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  EXPECT_EQ(Items(list_), (std::vector<std::string>{"a.com", "b.com", "\xC3\xBC.com", "c.com",
                                                    "\xC3\xBC.com", "x\xEF\xBF\xBD"}));
  EXPECT_TRUE(boxes_.shown.empty()) << boxes_.Texts()[0];
}

// Whether a file starts with a mark is known from its first three bytes; a shorter file
// is decided at its end, and its text is not lost waiting for them.
TEST_F(AddressListTest, AFileShorterThanAByteOrderMarkGivesItsText) {
  for (const char* text : {"a", "bc", "d\n"}) {
    dialog_.answers.push_back(dir_.File(std::string("short") + text[0] + ".txt", text));
    LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  }
  EXPECT_EQ(Items(list_), (std::vector<std::string>{"a", "bc", "d"}));
  EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(AddressListTest, CancelEmptyAndMissingFiles) {
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);  // cancelled
  dialog_.answers.push_back(dir_.File("empty.txt", ""));
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  EXPECT_TRUE(boxes_.shown.empty());
  dialog_.answers.push_back(dir_.path() + "/missing.txt");
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"File not found"});
  dialog_.answers.push_back(std::string("a.txt\0b.txt", 11));
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  EXPECT_EQ(boxes_.Texts().back(), "Please select just one file.");
  EXPECT_EQ(list_.Count(), 0u);
}

TEST_F(AddressListTest, UnreadableFilesAreReportedAtStep118) {
  dialog_.answers.push_back(dir_.path());  // a folder exists, but cannot be read as a file
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  ASSERT_EQ(boxes_.shown.size(), 1u);
  EXPECT_EQ(boxes_.shown[0].title, "Application Error");
  EXPECT_NE(boxes_.shown[0].text.find("PushButton5_Click at line 118"), std::string::npos);
  EXPECT_EQ(list_.Count(), 0u);

  // A binary file: the lines before the NUL stay, one report.
  std::string binary = "first\r\nsecond\r\n" + std::string(70'000, 'x') + std::string(1, '\0');
  dialog_.answers.push_back(dir_.File("binary.bin", binary));
  LoadListFromTextFile(list_, boxes_, dialog_, pump_);
  EXPECT_EQ(boxes_.shown.size(), 2u);
  EXPECT_NE(boxes_.shown[1].text.find("not a text file"), std::string::npos);
  EXPECT_EQ(Items(list_), (std::vector<std::string>{"first", "second"}));
}

TEST_F(AddressListTest, LongLinesAndYieldsDuringALoad) {
  const std::string long_line(5'000'000, 'w');
  std::string many;
  for (int i = 0; i < 200'000; ++i) many += "site" + std::to_string(i) + ".example\n";
  many += long_line;
  std::size_t seen_during_load = 0;
  pump_.on_events = [&] { seen_during_load = std::max(seen_during_load, list_.Count()); };
  FileToList(list_, dir_.File("many.txt", many), boxes_, pump_);
  ASSERT_EQ(list_.Count(), 200'001u);
  EXPECT_EQ(list_.Text(200'001), long_line);
  EXPECT_EQ(list_.Text(7), "site6.example");
  // Items appear while the file is read, not only at the end.
  if (pump_.passes > 0) {
    EXPECT_GT(seen_during_load, 0u);
  }
}

TEST_F(AddressListTest, AddUrlKeepsTheAnswerExactlyAndIgnoresEmptyOnes) {
  boxes_.inputs = {"  ", "", "x.com", "x.com"};
  for (int i = 0; i < 4; ++i) AddUrl(list_, boxes_);
  EXPECT_EQ(Items(list_), (std::vector<std::string>{"  ", "x.com", "x.com"}));
  EXPECT_EQ(boxes_.prompts[0], "Enter website address to add: ");
}

TEST_F(AddressListTest, ClearListDoesNothingWhileBusy) {
  list_.Add("a");
  FakeWindow window;
  window.pointer = Pointer::kBusy;
  ClearList(list_, window, boxes_);
  EXPECT_EQ(list_.Count(), 1u);
  window.pointer = Pointer::kHand;
  ClearList(list_, window, boxes_);
  EXPECT_EQ(list_.Count(), 0u);
  EXPECT_EQ(list_.ColumnCount(), 1u);
}

}  // namespace
}  // namespace orvanel

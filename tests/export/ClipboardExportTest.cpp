#include <gtest/gtest.h>

#include "Fakes.h"
#include "export/ClipboardExport.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

class ClipboardTest : public ::testing::Test {
 protected:
  ClipboardTest() {
    table_.AddColumn("URL(s)");
    table_.AddColumn("Title");
  }
  void Row(const std::string& a, const std::string& b, bool checked) {
    const auto i = table_.Add(a);
    table_.SetSubItem(i, 1, b);
    table_.SetChecked(i, checked);
  }
  ListView table_;
  FakePump pump_;
  FakeBoxes boxes_;
  FakeClipboard clipboard_;
};

TEST_F(ClipboardTest, PadsToTheWidestCellInCharacters) {
  Row("abcdefghij", "xyz", true);
  Row("abcdefghijklmn", "vwxyz", true);
  std::string e13;
  for (int i = 0; i < 13; ++i) e13 += "\xC3\xA9";
  Row(e13, "x", true);  // 13 characters, 26 bytes
  EXPECT_EQ(BuildClipboardText(table_, pump_),
            "abcdefghij    \txyz\r\nabcdefghijklmn\tvwxyz\r\n" + e13 + " \tx\r\n");
}

TEST_F(ClipboardTest, UncheckedRowsWidenButAreNotCopied) {
  Row("\xC3\xA9t\xC3\xA9", "", true);  // 3 characters, 5 bytes
  Row("12345678", "long title", false);
  // The empty last cell still leaves the TAB that closed the cell before it.
  EXPECT_EQ(BuildClipboardText(table_, pump_), "\xC3\xA9t\xC3\xA9     \t\r\n");
}

TEST_F(ClipboardTest, TheCommandConfirmsEvenForAnEmptyTable) {
  CopyResultsToClipboard(table_, clipboard_, boxes_, pump_);
  EXPECT_EQ(clipboard_.text, "earlier");  // untouched
  EXPECT_EQ(boxes_.Texts(),
            std::vector<std::string>{
                "Results have been copied to the clipboard.\r\rClick a text area where "
                "you normally type and press Ctrl+V to paste the clipboard."});
  Row("a", "b", false);
  CopyResultsToClipboard(table_, clipboard_, boxes_, pump_);
  EXPECT_TRUE(clipboard_.cleared);
  EXPECT_EQ(clipboard_.text, "");
}

TEST_F(ClipboardTest, BusyClipboardIsRetriedAThousandTimesAtMost) {
  clipboard_.busy_attempts = 999;
  EXPECT_TRUE(SetClipboardText(clipboard_, "x"));
  EXPECT_EQ(clipboard_.set_attempts, 1000);
  clipboard_.busy_attempts = 5000;
  clipboard_.set_attempts = 0;
  EXPECT_FALSE(SetClipboardText(clipboard_, "y"));
  EXPECT_EQ(clipboard_.set_attempts, 1000);
  EXPECT_EQ(clipboard_.text, "x");
}

}  // namespace
}  // namespace orvanel

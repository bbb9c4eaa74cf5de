#include <gtest/gtest.h>

#include <filesystem>

#include "Fakes.h"
#include "TempDir.h"
#include "export/TextExport.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

void FillThreeRows(ListView& table) {
  table.AddColumn("URL(s)");
  table.AddColumn("Title");
  table.AddColumn("Keywords");
  table.Add("a.com");
  table.SetSubItem(1, 1, "A");
  table.SetSubItem(1, 2, "k1");
  table.SetChecked(1, true);
  table.Add("b.com");
  table.SetSubItem(2, 1, "unchecked");
  table.Add("c.com");  // fewer sub-items than columns
  table.SetSubItem(3, 1, "two\r\nlines\twith tab");
  table.SetChecked(3, true);
}

TEST(BuildTextFile, ExactFormat) {
  ListView table;
  FakePump pump;
  table.AddColumn("URL(s)");
  table.AddColumn("Head Tag");
  EXPECT_EQ(BuildTextFile(table, pump), "URL(s)\tHead Tag\t\r\n");
  ListView three;
  FillThreeRows(three);
  EXPECT_EQ(BuildTextFile(three, pump),
            "URL(s)\tTitle\tKeywords\t\r\n"
            "a.com\tA\tk1\t\r\n"
            "\r\n"
            "c.com\ttwo\r\nlines\twith tab\t\t\r\n");
}

class SaveCommandTest : public ::testing::Test {
 protected:
  SaveCommandTest() { FillThreeRows(table_); }
  ListView table_;
  FakeWindow window_;
  FakeBoxes boxes_;
  FakeFileDialog dialog_;
  FakePump pump_;
  TempDir dir_;
};

TEST_F(SaveCommandTest, WritesTheChosenNameAsItIsWithoutAsking) {
  const std::string path = dir_.File("results", "older, longer contents that must go entirely");
  dialog_.answers.push_back(path);
  SaveResultsAsTextFile(table_, window_, boxes_, dialog_, pump_);
  EXPECT_EQ(ReadAll(path), BuildTextFile(table_, pump_));
  EXPECT_TRUE(boxes_.shown.empty());
  EXPECT_EQ(dialog_.calls[0].title, "Save");
  EXPECT_EQ(window_.pointer_history, (std::vector<Pointer>{Pointer::kBusy, Pointer::kDefault}));
}

// A name that is a link (a results file kept elsewhere, linked into the working folder)
// stays a link; its target gets the text, also one that does not exist yet.
TEST_F(SaveCommandTest, ALinkStaysALinkAndItsTargetGetsTheText) {
  const std::string kept = dir_.File("kept.txt", "older");
  const std::string link = dir_.path() + "/results.txt";
  std::filesystem::create_symlink("kept.txt", link);
  const std::string dangling = dir_.path() + "/new-results.txt";
  std::filesystem::create_symlink(dir_.path() + "/new-target.txt", dangling);
  for (const std::string& name : {link, dangling}) {
    dialog_.answers.push_back(name);
    SaveResultsAsTextFile(table_, window_, boxes_, dialog_, pump_);
    EXPECT_TRUE(std::filesystem::is_symlink(name)) << name;
  }
  EXPECT_EQ(ReadAll(kept), BuildTextFile(table_, pump_));
  EXPECT_EQ(ReadAll(dir_.path() + "/new-target.txt"), BuildTextFile(table_, pump_));
  EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(SaveCommandTest, CancelWritesAndSaysNothing) {
  SaveResultsAsTextFile(table_, window_, boxes_, dialog_, pump_);
  EXPECT_TRUE(boxes_.shown.empty());
  EXPECT_TRUE(window_.pointer_history.empty());
}

TEST_F(SaveCommandTest, AFailedWriteIsReportedAtStep120AndLosesNothing) {
  dialog_.answers.push_back(dir_.path());  // a folder
  dialog_.answers.push_back(dir_.path() + "/no/such/folder/results.txt");
  SaveResultsAsTextFile(table_, window_, boxes_, dialog_, pump_);
  SaveResultsAsTextFile(table_, window_, boxes_, dialog_, pump_);
  ASSERT_EQ(boxes_.shown.size(), 2u);
  for (const auto& shown : boxes_.shown) {
    EXPECT_NE(shown.text.find("in Quorlin2021/08/31.Form1.PushButton8_Click at line 120"),
              std::string::npos);
  }
  EXPECT_EQ(window_.pointer, Pointer::kDefault);  // step 122 still ran
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path()));
}

}  // namespace
}  // namespace orvanel

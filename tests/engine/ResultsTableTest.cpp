#include <gtest/gtest.h>

#include "Fakes.h"
#include "engine/ResultsTable.h"

namespace orvanel {
namespace {

using testing::FakeBoxes;
using testing::FakeWindow;

std::vector<std::string> Headers(const ListView& table) {
  std::vector<std::string> h;
  for (std::size_t c = 1; c <= table.ColumnCount(); ++c) h.push_back(table.Header(c));
  return h;
}

TEST(ColumnLayout, HeadersAndWidthsPerMode) {
  ListView table;
  table.AddColumn("Results");
  SetColumnLayout(table, Mode::kTitleAndMetaTags);
  EXPECT_EQ(Headers(table),
            (std::vector<std::string>{"URL(s)", "Title", "Keywords", "Description"}));
  EXPECT_EQ(table.ColumnWidth(1), 2000);
  EXPECT_EQ(table.ColumnWidth(2), 4000);
  EXPECT_EQ(table.ColumnWidth(4), 6000);
  SetColumnLayout(table, Mode::kEntireHeadTag);
  EXPECT_EQ(Headers(table), (std::vector<std::string>{"URL(s)", "Head Tag"}));
  SetColumnLayout(table, Mode::kOnlyListedTags);
  EXPECT_EQ(Headers(table), (std::vector<std::string>{"URL(s)", "Tag(s)", "Result(s)"}));
  EXPECT_EQ(table.ColumnWidth(3), 4000);
}

TEST(AppendRuleRows, RowsCarryAddressCellsAndChecks) {
  ListView table;
  SetColumnLayout(table, Mode::kTitleAndMetaTags);
  FakeBoxes boxes;
  StepRunner runner(boxes, Command::kStartExtraction);
  AppendRuleRows(
      table, runner, Mode::kTitleAndMetaTags, " a ",
      ExtractRows(Mode::kTitleAndMetaTags, "<meta name=\"keywords\" content=\"k\">", {}));
  ASSERT_EQ(table.Count(), 1u);
  EXPECT_EQ(table.Text(1), " a ");
  EXPECT_FALSE(table.Checked(1));
  EXPECT_EQ(table.SubItem(1, 1), "");
  EXPECT_EQ(table.SubItem(1, 2), "k");
  EXPECT_EQ(table.SubItem(1, 3), "");
  EXPECT_TRUE(boxes.shown.empty());
}

TEST(AppendRuleRows, AFailingCellIsReportedAndTheRowStillFinishes) {
  ListView table;
  table.AddColumn("only one column");  // cells 2 and on cannot be set
  FakeBoxes boxes;
  StepRunner runner(boxes, Command::kStartExtraction);
  AppendRuleRows(table, runner, Mode::kEntireHeadTag, "u",
                 ExtractRows(Mode::kEntireHeadTag, "<head></head>", {}));
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_NE(boxes.shown[0].text.find("at line 194"), std::string::npos);
  EXPECT_TRUE(table.Checked(1));  // steps 196 and 198 still ran
}

TEST(ClearResults, KeepsColumnsAndIsQuietOnAnEmptyTable) {
  ListView table;
  SetColumnLayout(table, Mode::kEntireHeadTag);
  FakeBoxes boxes;
  ClearResults(table, boxes);
  table.Add("a");
  table.Add("b");
  ClearResults(table, boxes);
  EXPECT_EQ(table.Count(), 0u);
  EXPECT_EQ(table.ColumnCount(), 2u);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST(RemoveSelectedItem, OnlyWhenIdleAndSomethingIsSelected) {
  ListView list;
  list.AddColumn("c");
  FakeWindow window;
  RemoveSelectedItem(list, window);  // empty list: nothing happens
  list.Add("a");
  list.Add("b");
  list.Add("c");
  RemoveSelectedItem(list, window);  // nothing selected: unharmed
  EXPECT_EQ(list.Count(), 3u);
  list.Select(2);
  window.pointer = Pointer::kBusy;
  RemoveSelectedItem(list, window);
  EXPECT_EQ(list.Count(), 3u);
  window.pointer = Pointer::kDefault;
  RemoveSelectedItem(list, window);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Text(1), "a");
  EXPECT_EQ(list.Text(2), "c");
}

}  // namespace
}  // namespace orvanel

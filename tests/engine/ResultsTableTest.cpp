#include <gtest/gtest.h>

#include "Fakes.h"
#include "engine/ResultsTable.h"

namespace orvanel {
namespace {

using testing::FakeBoxes;
using testing::FakeWindow;

// The rows the table asked its view to bring into sight (0-based, as views count them).
class Revealed : public testing::QuietListViewObserver {
 public:
  void Reveal(std::size_t row) override { rows.push_back(row); }
  std::vector<std::size_t> rows;
};

std::vector<std::string> Headers(const ListView& table) {
  std::vector<std::string> h;
  for (std::size_t c = 1; c <= table.ColumnCount(); ++c) h.push_back(table.Header(c));
  return h;
}

TEST(ColumnLayout, HeadersAndWidthsPerMode) {
  const struct {
    Mode mode;
    std::vector<std::string> headers;
    std::vector<int> widths;
  } cases[] = {
      {Mode::kTitleAndMetaTags,
       {"URL(s)", "Title", "Keywords", "Description"},
       {2000, 4000, 6000, 6000}},
      {Mode::kEntireHeadTag, {"URL(s)", "Head Tag"}, {2000, 4000}},
      {Mode::kOnlyListedTags, {"URL(s)", "Tag(s)", "Result(s)"}, {2000, 4000, 4000}},
  };
  ListView table;
  table.AddColumn("Results");
  for (const auto& c : cases) {
    SetColumnLayout(table, c.mode);
    EXPECT_EQ(Headers(table), c.headers);
    std::vector<int> widths;
    for (std::size_t k = 1; k <= table.ColumnCount(); ++k) widths.push_back(table.ColumnWidth(k));
    EXPECT_EQ(widths, c.widths) << c.headers[1];
  }
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

// A checked row is brought into sight as it comes; an unchecked one is not.
TEST(AppendRuleRows, CheckedRowsAreRevealed) {
  ListView table;
  Revealed view;
  table.SetObserver(&view);
  SetColumnLayout(table, Mode::kTitleAndMetaTags);
  FakeBoxes boxes;
  StepRunner runner(boxes, Command::kStartExtraction);
  for (const char* page : {"<title>t</title>", "<p>untitled</p>", "<title>u</title>"})
    AppendRuleRows(table, runner, Mode::kTitleAndMetaTags, "a",
                   ExtractRows(Mode::kTitleAndMetaTags, page, {}));
  EXPECT_EQ(view.rows, (std::vector<std::size_t>{0, 2}));
  table.SetObserver(nullptr);
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
  // Each cell is reported at its own step.
  const struct {
    Mode mode;
    std::vector<std::string> tags;
    std::vector<const char*> steps;
  } cases[] = {{Mode::kTitleAndMetaTags, {}, {"at line 226", "at line 236"}},
               {Mode::kOnlyListedTags, {"<p></p>"}, {"at line 270"}}};
  for (const auto& c : cases) {
    ListView narrow;
    narrow.AddColumn("URL(s)");
    narrow.AddColumn("first cell only");
    FakeBoxes reported;
    StepRunner steps(reported, Command::kStartExtraction);
    const std::string page =
        "<title>t</title><meta name=\"keywords\" content=\"k\">"
        "<meta name=\"description\" content=\"d\"><p>p</p>";
    AppendRuleRows(narrow, steps, c.mode, "u", ExtractRows(c.mode, page, c.tags));
    ASSERT_EQ(reported.shown.size(), c.steps.size());
    for (std::size_t i = 0; i < c.steps.size(); ++i)
      EXPECT_NE(reported.shown[i].text.find(c.steps[i]), std::string::npos)
          << reported.shown[i].text;
  }
}

// A view that fails to show a check or to bring a row into sight.
class FailingView : public testing::QuietListViewObserver {
 public:
  void CellChanged(std::size_t, std::size_t column) override {
    if (column == 0) throw Failure("cannot check");
  }
  void Reveal(std::size_t) override { throw Failure("cannot reveal"); }
};

// The check and the reveal are each reported at their own step, per mode.
TEST(AppendRuleRows, AFailingCheckAndRevealAreReportedAtTheirSteps) {
  const struct {
    Mode mode;
    std::vector<std::string> tags;
    const char* check;
    const char* reveal;
  } cases[] = {{Mode::kEntireHeadTag, {}, "at line 196", "at line 198"},
               {Mode::kTitleAndMetaTags, {}, "at line 214", "at line 216"},
               {Mode::kOnlyListedTags, {"<p></p>"}, "at line 244", "at line 246"}};
  for (const auto& c : cases) {
    ListView table;
    SetColumnLayout(table, c.mode);
    FailingView view;
    table.SetObserver(&view);
    FakeBoxes boxes;
    StepRunner runner(boxes, Command::kStartExtraction);
    AppendRuleRows(table, runner, c.mode, "u",
                   ExtractRows(c.mode, "<head><title>t</title></head><p>p</p>", c.tags));
    table.SetObserver(nullptr);
    ASSERT_EQ(boxes.shown.size(), 2u) << c.check;
    EXPECT_NE(boxes.shown[0].text.find(c.check), std::string::npos) << boxes.shown[0].text;
    EXPECT_NE(boxes.shown[1].text.find(c.reveal), std::string::npos) << boxes.shown[1].text;
  }
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

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "Fakes.h"
#include "TempDir.h"
#include "export/SpreadsheetExport.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// A spreadsheet application that keeps the cells it was given.
class FakeApp : public SpreadsheetApp {
 public:
  struct Book : Workbook {
    explicit Book(FakeApp& app) : app(app) {}
    bool SetCell(std::size_t row, std::size_t column, const std::string& text) override {
      if (app.failing.count({row, column})) throw Failure("Disk full");
      bool cut = false;
      app.cells[{row, column}] = CutToCellLength(text, cut);
      return cut;
    }
    void Autofit() override { app.autofitted = true; }
    bool Show() override {
      app.shown = true;
      return app.opens;
    }
    std::string Location() const override { return "/tmp/orvanel-x/Results.xlsx"; }
    FakeApp& app;
  };
  bool IsInstalled() override {
    if (check_fails) throw Failure("cannot look for the spreadsheet program");
    return installed;
  }
  std::unique_ptr<Workbook> NewWorkbook() override {
    ++books;
    return std::make_unique<Book>(*this);
  }
  bool installed = true;
  bool check_fails = false;
  bool opens = true;
  int books = 0;
  bool autofitted = false;
  bool shown = false;
  std::map<std::pair<std::size_t, std::size_t>, std::string> cells;
  std::set<std::pair<std::size_t, std::size_t>> failing;  // cells that cannot be written
};

class SpreadsheetExportTest : public ::testing::Test {
 protected:
  SpreadsheetExportTest() {
    table_.AddColumn("URL(s)");
    table_.AddColumn("T=itle");
    for (const char* url : {"a=1", "b", "c"}) {
      const auto i = table_.Add(url);
      table_.SetSubItem(i, 1, std::string("==x=y ") + url);
      table_.SetChecked(i, std::string(url) != "b");
    }
  }
  ListView table_;
  FakeApp app_;
  FakeWindow window_;
  FakeBoxes boxes_;
  FakePump pump_;
};

TEST_F(SpreadsheetExportTest, HeaderThenCheckedRowsWithoutGapsOrEquals) {
  SaveResultsAsExcelFile(table_, app_, window_, boxes_, pump_);
  const std::map<std::pair<std::size_t, std::size_t>, std::string> expected = {
      {{1, 1}, "URL(s)"}, {{1, 2}, "T=itle"}, {{2, 1}, "a=1"},
      {{2, 2}, "xy a1"},  {{3, 1}, "c"},      {{3, 2}, "xy c"}};
  EXPECT_EQ(app_.cells, expected);
  EXPECT_TRUE(app_.autofitted);
  EXPECT_TRUE(app_.shown);
  EXPECT_TRUE(boxes_.shown.empty());
  EXPECT_EQ(window_.pointer, Pointer::kDefault);
}

TEST_F(SpreadsheetExportTest, MissingApplicationGivesTwoBoxesAndNothingElse) {
  // Missing, or not to be found out: the same two boxes.
  for (const bool check_fails : {false, true}) {
    app_.installed = check_fails;
    app_.check_fails = check_fails;
    boxes_.shown.clear();
    SaveResultsAsExcelFile(table_, app_, window_, boxes_, pump_);
    EXPECT_EQ(boxes_.Texts(),
              (std::vector<std::string>{kExcelMissingForSoftware, kExcelMissingForFeature}));
    EXPECT_EQ(app_.books, 0);
    EXPECT_TRUE(window_.pointer_history.empty());
  }
}

TEST_F(SpreadsheetExportTest, EmptyTableEndsQuietly) {
  table_.Clear();
  SaveResultsAsExcelFile(table_, app_, window_, boxes_, pump_);
  EXPECT_EQ(app_.books, 0);
  EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(SpreadsheetExportTest, OverlongCellsAreCutAndSaidOnceAtTheEnd) {
  table_.SetSubItem(1, 1, std::string(40'000, 'x'));
  table_.SetSubItem(3, 1, std::string(32'767, 'y'));  // exactly fits
  table_.SetChecked(2, true);
  table_.SetSubItem(2, 1, std::string(32'766, 'z') + "\xF0\x9F\x98\x80");  // one unit too many
  SaveResultsAsExcelFile(table_, app_, window_, boxes_, pump_);
  EXPECT_EQ(app_.cells[std::make_pair(std::size_t{2}, std::size_t{2})], std::string(32'767, 'x'));
  EXPECT_EQ(app_.cells[std::make_pair(std::size_t{3}, std::size_t{2})], std::string(32'766, 'z'));
  EXPECT_EQ(app_.cells[std::make_pair(std::size_t{4}, std::size_t{2})], std::string(32'767, 'y'));
  EXPECT_TRUE(app_.shown);
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{CutCellsMessage(2)});
  EXPECT_NE(CutCellsMessage(2).find("2 cells were"), std::string::npos);
}

TEST_F(SpreadsheetExportTest, OneCutCellIsSaidToo) {
  table_.SetSubItem(3, 1, std::string(33'000, 'y'));
  SaveResultsAsExcelFile(table_, app_, window_, boxes_, pump_);
  ASSERT_EQ(boxes_.Texts().size(), 1u);
  EXPECT_EQ(boxes_.Texts()[0].substr(0, 11), "1 cell was ");
}

TEST_F(SpreadsheetExportTest, AWorkbookNothingCouldOpenIsNamedInAMessage) {
  app_.opens = false;
  SaveResultsAsExcelFile(table_, app_, window_, boxes_, pump_);
  ASSERT_EQ(boxes_.Texts().size(), 1u);
  EXPECT_NE(boxes_.Texts()[0].find("/tmp/orvanel-x/Results.xlsx"), std::string::npos);
  EXPECT_EQ(window_.pointer, Pointer::kDefault);
}

// A cell that cannot be written is reported at its own step, header or row, first column
// or another, and the export goes on with the next.
TEST_F(SpreadsheetExportTest, ACellThatCannotBeWrittenIsReportedAtItsStep) {
  app_.failing = {{1, 1}, {1, 2}, {2, 1}, {3, 2}};
  SaveResultsAsExcelFile(table_, app_, window_, boxes_, pump_);
  std::vector<std::string> steps;
  for (const auto& text : boxes_.Texts()) {
    const auto at = text.find("PushButton13_Click at line ");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.rfind("Disk full\r\n", 0), 0u) << text;
    steps.push_back(text.substr(at + 27, 3));
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"124", "128", "150", "154"}));
  EXPECT_EQ(app_.cells.at({2, 2}), "xy a1");
  EXPECT_EQ(app_.cells.at({3, 1}), "c");
  EXPECT_TRUE(app_.shown);
}

}  // namespace
}  // namespace orvanel

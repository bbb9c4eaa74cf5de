#include "export/SpreadsheetExport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>

#include "Fakes.h"
#include "TempDir.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// A spreadsheet application that keeps the cells it was given.
class FakeApp : public SpreadsheetApp {
 public:
  struct Book : Workbook {
    explicit Book(FakeApp& app) : app(app) {}
    void SetCell(std::size_t row, std::size_t column, const std::string& text) override {
      app.cells[{row, column}] = text;
    }
    void Autofit() override { app.autofitted = true; }
    void Show() override { app.shown = true; }
    FakeApp& app;
  };
  bool IsInstalled() override { return installed; }
  std::unique_ptr<Workbook> NewWorkbook() override {
    ++books;
    return std::make_unique<Book>(*this);
  }
  bool installed = true;
  int books = 0;
  bool autofitted = false;
  bool shown = false;
  std::map<std::pair<std::size_t, std::size_t>, std::string> cells;
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
      {{1, 1}, "URL(s)"}, {{1, 2}, "T=itle"}, {{2, 1}, "a=1"}, {{2, 2}, "xy a1"},
      {{3, 1}, "c"},      {{3, 2}, "xy c"}};
  EXPECT_EQ(app_.cells, expected);
  EXPECT_TRUE(app_.autofitted);
  EXPECT_TRUE(app_.shown);
  EXPECT_TRUE(boxes_.shown.empty());
  EXPECT_EQ(window_.pointer, Pointer::kDefault);
}

TEST_F(SpreadsheetExportTest, MissingApplicationGivesTwoBoxesAndNothingElse) {
  app_.installed = false;
  SaveResultsAsExcelFile(table_, app_, window_, boxes_, pump_);
  EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{kExcelMissingForSoftware, kExcelMissingForFeature}));
  EXPECT_EQ(app_.books, 0);
  EXPECT_TRUE(window_.pointer_history.empty());
}

TEST_F(SpreadsheetExportTest, EmptyTableEndsQuietly) {
  table_.Clear();
  SaveResultsAsExcelFile(table_, app_, window_, boxes_, pump_);
  EXPECT_EQ(app_.books, 0);
  EXPECT_TRUE(boxes_.shown.empty());
}

std::string Unzip(const std::string& archive, const std::string& member) {
  std::string out;
  FILE* pipe = ::popen(("unzip -p '" + archive + "' " + member).c_str(), "r");
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

TEST(XlsxWorkbook, WritesTextCellsAndFitsColumnsInAPrivateFolder) {
  FakeShell shell;
  auto app = MakeXlsxSpreadsheetApp(shell);
  auto book = app->NewWorkbook();
  book->SetCell(1, 1, "URL(s)");
  book->SetCell(2, 1, "=SUM(A1)");  // stays text, never a formula
  book->SetCell(2, 2, "12345");
  book->SetCell(3, 2, "\xC3\xA9t\xC3\xA9 \xFF");
  book->Autofit();
  book->Show();
  ASSERT_EQ(shell.opened.size(), 1u);
  const std::string path = shell.opened[0];
  struct stat st {};
  ASSERT_EQ(::stat(path.substr(0, path.rfind('/')).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  const std::string sheet = Unzip(path, "xl/worksheets/sheet1.xml");
  const std::string strings = Unzip(path, "xl/sharedStrings.xml");
  EXPECT_EQ(sheet.find("<f>"), std::string::npos);
  EXPECT_NE(sheet.find("<c r=\"B2\" t=\"s\">"), std::string::npos);  // a string, not a number
  EXPECT_NE(strings.find("=SUM(A1)"), std::string::npos);
  EXPECT_NE(strings.find("\xC3\xA9t\xC3\xA9 \xEF\xBF\xBD"), std::string::npos);
  EXPECT_NE(sheet.find("<col min=\"1\" max=\"1\" width=\"9"), std::string::npos);  // 8 characters + 1
  std::filesystem::remove_all(path.substr(0, path.rfind('/')));
}

}  // namespace
}  // namespace orvanel

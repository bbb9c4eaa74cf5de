#include "export/SpreadsheetExport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
    bool SetCell(std::size_t row, std::size_t column, const std::string& text) override {
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
  bool IsInstalled() override { return installed; }
  std::unique_ptr<Workbook> NewWorkbook() override {
    ++books;
    return std::make_unique<Book>(*this);
  }
  bool installed = true;
  bool opens = true;
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

TEST(CutToCellLength, NeverSplitsACharacter) {
  bool cut = false;
  const std::string e_acute = "\xC3\xA9";
  std::string text;
  for (int i = 0; i < 32'768; ++i) text += e_acute;
  const std::string kept = CutToCellLength(text, cut);
  EXPECT_TRUE(cut);
  EXPECT_EQ(kept.size(), 32'767u * 2);
  EXPECT_EQ(CutToCellLength("short", cut), "short");
  EXPECT_FALSE(cut);
}

// unzip as found on PATH when the tests started (the tests below replace PATH).
const std::string& UnzipProgram() {
  static const std::string program = [] {
    FILE* pipe = ::popen("command -v unzip", "r");
    char line[4096] = {};
    const bool found = pipe && std::fgets(line, sizeof line, pipe);
    if (pipe) ::pclose(pipe);
    std::string path = found ? line : "";
    if (!path.empty() && path.back() == '\n') path.pop_back();
    return path;
  }();
  return program;
}
[[maybe_unused]] const bool kUnzipLookedUp = !UnzipProgram().empty();

std::string Unzip(const std::string& archive, const std::string& member) {
  std::string out;
  FILE* pipe = ::popen((UnzipProgram() + " -p '" + archive + "' " + member).c_str(), "r");
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

// Programs of our own on PATH in place of the desktop's: each records how it was called.
class FakeDesktop {
 public:
  FakeDesktop() : saved_path_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    ::setenv("PATH", dir_.path().c_str(), 1);
  }
  ~FakeDesktop() { ::setenv("PATH", saved_path_.c_str(), 1); }
  // A program that appends its arguments to <name>.log and exits with `status`, or keeps
  // running for five seconds when `status` is negative.
  void Program(const std::string& name, int status) {
    const std::string body = "#!/bin/sh\necho \"$@\" >> " + dir_.path() + "/" + name + ".log\n" +
                             (status < 0 ? "exec /bin/sleep 5 2>/dev/null\n" : "exit " + std::to_string(status) + "\n");
    const std::string path = dir_.File(name, body);
    ::chmod(path.c_str(), 0755);
  }
  void Script(const std::string& name, const std::string& line) {
    ::chmod(dir_.File(name, "#!/bin/sh\n" + line + "\n").c_str(), 0755);
  }
  std::string Log(const std::string& name) const { return ReadAll(dir_.path() + "/" + name + ".log"); }

 private:
  TempDir dir_;
  std::string saved_path_;
};

void RemoveWorkbook(const std::string& path) {
  std::filesystem::remove_all(path.substr(0, path.rfind('/')));
}

TEST(XlsxWorkbook, WritesTextCellsAndFitsColumnsInAPrivateFolder) {
  if (UnzipProgram().empty()) GTEST_SKIP() << "reading the workbook back needs unzip";
  FakeDesktop desktop;
  desktop.Program("xdg-mime", 0);  // names nothing
  desktop.Program("localc", 0);
  auto app = MakeXlsxSpreadsheetApp();
  ASSERT_TRUE(app->IsInstalled());
  auto book = app->NewWorkbook();
  book->SetCell(1, 1, "URL(s)");
  book->SetCell(2, 1, "=SUM(A1)");  // stays text, never a formula
  book->SetCell(2, 2, "12345");
  book->SetCell(3, 2, "\xC3\xA9t\xC3\xA9 \xFF");
  EXPECT_TRUE(book->SetCell(4, 1, std::string(40'000, 'w')));
  book->Autofit();
  EXPECT_TRUE(book->Show());
  const std::string path = book->Location();
  EXPECT_EQ(desktop.Log("localc"), path + "\n");
  struct stat st {};
  ASSERT_EQ(::stat(path.substr(0, path.rfind('/')).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  const std::string sheet = Unzip(path, "xl/worksheets/sheet1.xml");
  const std::string strings = Unzip(path, "xl/sharedStrings.xml");
  EXPECT_EQ(sheet.find("<f>"), std::string::npos);
  EXPECT_NE(sheet.find("<c r=\"B2\" t=\"s\">"), std::string::npos);  // a string, not a number
  EXPECT_NE(sheet.find("<c r=\"A4\" t=\"s\">"), std::string::npos);  // the cut cell is there
  EXPECT_NE(strings.find("=SUM(A1)"), std::string::npos);
  EXPECT_NE(strings.find("\xC3\xA9t\xC3\xA9 \xEF\xBF\xBD"), std::string::npos);
  EXPECT_NE(strings.find(std::string(32'767, 'w') + "<"), std::string::npos);
  RemoveWorkbook(path);
}

TEST(XlsxWorkbook, AFailingDesktopOpenerFallsBackToTheProgramFound) {
  FakeDesktop desktop;
  desktop.Script("xdg-mime", "echo libreoffice-calc.desktop");
  desktop.Program("xdg-open", 4);  // as xdg-open does when it finds no handler
  desktop.Program("gnumeric", 0);
  auto app = MakeXlsxSpreadsheetApp();
  ASSERT_EQ(SpreadsheetOpeners(), (std::vector<std::vector<std::string>>{{"xdg-open"}, {"gnumeric"}}));
  auto book = app->NewWorkbook();
  book->SetCell(1, 1, "x");
  EXPECT_TRUE(book->Show());
  EXPECT_EQ(desktop.Log("xdg-open"), book->Location() + "\n");
  EXPECT_EQ(desktop.Log("gnumeric"), book->Location() + "\n");
  RemoveWorkbook(book->Location());
}

TEST(XlsxWorkbook, WhenEveryOpenerFailsShowSaysSoAndTheFileStays) {
  FakeDesktop desktop;
  desktop.Program("soffice", 1);
  auto app = MakeXlsxSpreadsheetApp();
  ASSERT_TRUE(app->IsInstalled());
  auto book = app->NewWorkbook();
  book->SetCell(1, 1, "x");
  EXPECT_FALSE(book->Show());
  EXPECT_EQ(desktop.Log("soffice"), "--calc " + book->Location() + "\n");
  EXPECT_TRUE(std::filesystem::exists(book->Location()));
  RemoveWorkbook(book->Location());
}

TEST(XlsxWorkbook, NoOpenerMeansNotInstalled) {
  FakeDesktop desktop;
  desktop.Program("xdg-open", 0);  // an opener without xdg-mime's answer is no opener
  EXPECT_FALSE(MakeXlsxSpreadsheetApp()->IsInstalled());
}

TEST(LaunchProgram, AProgramStillRunningCountsAsStartedAndIsNotWaitedFor) {
  FakeDesktop desktop;
  desktop.Program("slowcalc", -1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(LaunchProgram({"slowcalc", "file"}, std::chrono::milliseconds(200), nullptr));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(LaunchProgram({"no-such-program-here"}, std::chrono::milliseconds(200), nullptr));
}

}  // namespace
}  // namespace orvanel

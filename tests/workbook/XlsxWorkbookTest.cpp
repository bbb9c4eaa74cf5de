#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "Fakes.h"
#include "TempDir.h"
#include "export/SpreadsheetExport.h"
#include "workbook/ProgramLauncher.h"
#include "workbook/WorkbookFolder.h"
#include "workbook/XlsxWorkbook.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

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
// The workbooks go to a cache folder of the test's own.
class FakeDesktop {
 public:
  FakeDesktop() : saved_path_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    ::setenv("PATH", dir_.path().c_str(), 1);
    ::setenv("XDG_CACHE_HOME", cache_.path().c_str(), 1);
  }
  ~FakeDesktop() {
    ::setenv("PATH", saved_path_.c_str(), 1);
    ::unsetenv("XDG_CACHE_HOME");
  }
  std::string Workbooks() const { return cache_.path() + "/orvanel"; }
  // A program that appends its arguments to <name>.log and exits with `status`, or keeps
  // running for five seconds when `status` is negative.
  void Program(const std::string& name, int status) {
    const std::string body =
        "#!/bin/sh\necho \"$@\" >> " + dir_.path() + "/" + name + ".log\n" +
        (status < 0 ? "exec /bin/sleep 5 2>/dev/null\n" : "exit " + std::to_string(status) + "\n");
    const std::string path = dir_.File(name, body);
    ::chmod(path.c_str(), 0755);
  }
  void Script(const std::string& name, const std::string& line) {
    ::chmod(dir_.File(name, "#!/bin/sh\n" + line + "\n").c_str(), 0755);
  }
  std::string Log(const std::string& name) const {
    return ReadAll(dir_.path() + "/" + name + ".log");
  }

 private:
  TempDir dir_;
  TempDir cache_;
  std::string saved_path_;
};

TEST(XlsxWorkbook, WritesTextCellsAndFitsColumnsInTheOwnersCacheFolder) {
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
  book->SetCell(1, 3, "abc\r\nd\nef");  // as wide as its longest line
  book->Autofit();
  EXPECT_TRUE(book->Show());
  const std::string path = book->Location();
  EXPECT_EQ(desktop.Log("localc"), path + "\n");
  EXPECT_EQ(path.substr(0, path.rfind('/')), desktop.Workbooks());
  struct stat st {};
  ASSERT_EQ(::stat(desktop.Workbooks().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string sheet = Unzip(path, "xl/worksheets/sheet1.xml");
  const std::string strings = Unzip(path, "xl/sharedStrings.xml");
  EXPECT_EQ(sheet.find("<f>"), std::string::npos);
  EXPECT_NE(sheet.find("<c r=\"B2\" t=\"s\">"), std::string::npos);  // a string, not a number
  EXPECT_NE(sheet.find("<c r=\"A4\" t=\"s\">"), std::string::npos);  // the cut cell is there
  EXPECT_NE(strings.find("=SUM(A1)"), std::string::npos);
  EXPECT_NE(strings.find("\xC3\xA9t\xC3\xA9 \xEF\xBF\xBD"), std::string::npos);
  EXPECT_NE(strings.find(std::string(32'767, 'w') + "<"), std::string::npos);
  // A character more than the widest text, up to the widest a column can be.
  EXPECT_NE(sheet.find("<cols><col min=\"1\" max=\"1\" width=\"255.7109375\" customWidth=\"1\"/>"
                       "<col min=\"2\" max=\"2\" width=\"6.7109375\" customWidth=\"1\"/>"
                       "<col min=\"3\" max=\"3\" width=\"4.7109375\" customWidth=\"1\"/></cols>"),
            std::string::npos)
      << sheet;
}

TEST(XlsxWorkbook, AFailingDesktopOpenerFallsBackToTheProgramFound) {
  FakeDesktop desktop;
  desktop.Script("xdg-mime", "echo libreoffice-calc.desktop");
  desktop.Program("xdg-open", 4);  // as xdg-open does when it finds no handler
  desktop.Program("gnumeric", 0);
  auto app = MakeXlsxSpreadsheetApp();
  ASSERT_EQ(SpreadsheetOpeners(),
            (std::vector<std::vector<std::string>>{{"xdg-open"}, {"gnumeric"}}));
  auto book = app->NewWorkbook();
  book->SetCell(1, 1, "x");
  EXPECT_TRUE(book->Show());
  EXPECT_EQ(desktop.Log("xdg-open"), book->Location() + "\n");
  EXPECT_EQ(desktop.Log("gnumeric"), book->Location() + "\n");
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
}

TEST(XlsxWorkbook, NoOpenerMeansNotInstalled) {
  FakeDesktop desktop;
  desktop.Program("xdg-open", 0);  // an opener without xdg-mime's answer is no opener
  EXPECT_FALSE(MakeXlsxSpreadsheetApp()->IsInstalled());
  desktop.Script("xdg-mime", "echo");  // an empty answer: no program for workbooks
  EXPECT_FALSE(MakeXlsxSpreadsheetApp()->IsInstalled());
}

TEST(XlsxWorkbook, TheDesktopsAnswerWithoutItsOpenerIsNoOpener) {
  FakeDesktop desktop;
  desktop.Script("xdg-mime", "echo libreoffice-calc.desktop");
  EXPECT_FALSE(MakeXlsxSpreadsheetApp()->IsInstalled());
}

// The time of a workbook's name, as its modification time says it.
bool MarkedAsExported(const std::string& path) {
  struct stat st {};
  const auto t = ExportTimeOfWorkbook(std::filesystem::path(path).filename().string());
  return t && ::stat(path.c_str(), &st) == 0 && st.st_mtim.tv_sec == *t && st.st_mtim.tv_nsec == 0;
}

// Pretends the workbook at `path` came from an export of long ago: renamed and dated so.
std::string MakeEarlier(const std::string& path, const std::string& stamp) {
  const std::string earlier = path.substr(0, path.rfind('/') + 1) + "Results-" + stamp + ".xlsx";
  std::filesystem::rename(path, earlier);
  const timespec times[2] = {{0, UTIME_OMIT},
                             {*ExportTimeOfWorkbook("Results-" + stamp + ".xlsx"), 0}};
  ::utimensat(AT_FDCWD, earlier.c_str(), times, 0);
  return earlier;
}

// Each export leaves its workbook in the cache folder, for the user to find again; the
// workbooks of earlier exports go at the next export and when the program ends.
TEST(XlsxWorkbook, EarlierWorkbooksGoAtTheNextExportAndAtTheEnd) {
  FakeDesktop desktop;
  desktop.Program("gnumeric", 0);
  auto app = MakeXlsxSpreadsheetApp();
  auto first = app->NewWorkbook();
  first->SetCell(1, 1, "first");
  EXPECT_TRUE(first->Show());
  EXPECT_TRUE(MarkedAsExported(first->Location()));
  const std::string earlier = MakeEarlier(first->Location(), "2020-01-01-000000");
  auto second = app->NewWorkbook();
  second->SetCell(1, 1, "second");
  EXPECT_TRUE(second->Show());
  EXPECT_FALSE(std::filesystem::exists(earlier));
  EXPECT_TRUE(std::filesystem::exists(second->Location()));
  // The workbook just made is young: it stays at the end, for its program to open; one of
  // an earlier export goes.
  const std::string last = second->Location();
  std::filesystem::copy_file(last, last + ".copy");
  const std::string another = MakeEarlier(last + ".copy", "2020-01-02-000000");
  first.reset();
  second.reset();
  app.reset();
  EXPECT_TRUE(std::filesystem::exists(last));
  EXPECT_FALSE(std::filesystem::exists(another));
  // A program ended by a signal does not clean up: the next one does, as it starts.
  const std::string left = MakeEarlier(last, "2020-01-03-000000");
  app = MakeXlsxSpreadsheetApp();
  EXPECT_FALSE(std::filesystem::exists(left));
}

// A workbook whose export stopped part-way is written as it stands and dated as exported,
// for a later clean-up to take; one that cannot be written leaves nothing behind.
TEST(XlsxWorkbook, AWorkbookNeverShownIsKeptWholeOrNotAtAll) {
  FakeDesktop desktop;
  desktop.Program("gnumeric", 0);
  auto app = MakeXlsxSpreadsheetApp();
  auto book = app->NewWorkbook();
  book->SetCell(1, 1, "part");
  // Past the sheet's last column: refused, never written over column A.
  EXPECT_THROW(book->SetCell(1, 65537, "wrapped"), Failure);
  const std::string path = book->Location();
  book.reset();
  EXPECT_TRUE(MarkedAsExported(path));
  if (!UnzipProgram().empty()) {
    const std::string strings = Unzip(path, "xl/sharedStrings.xml");
    EXPECT_NE(strings.find("part"), std::string::npos) << strings;
    EXPECT_EQ(strings.find("wrapped"), std::string::npos) << strings;
  }
  for (const bool shown : {false, true}) {
    SCOPED_TRACE(shown ? "shown" : "dropped");
    auto broken = app->NewWorkbook();
    broken->SetCell(1, 1, "x");
    const std::string at = broken->Location();
    std::filesystem::remove(at);
    std::filesystem::create_symlink("/nonexistent-orvanel/x.xlsx", at);  // leads nowhere
    if (shown) {
      EXPECT_THROW(broken->Show(), Failure);
    } else {
      broken.reset();
    }
    EXPECT_FALSE(std::filesystem::is_symlink(at));
  }
}

// What the README says of "Save Results As Excel File" when no program can open the
// workbook: nothing installed gives the two messages and writes nothing; an installed
// program that fails to start with it gives a message naming the file, which stays.
TEST(XlsxWorkbook, WithNothingInstalledTheExportSaysSoTwiceAndWritesNoWorkbook) {
  FakeDesktop desktop;
  ListView table;
  table.AddColumn("URL(s)");
  table.Add("a.example");
  auto app = MakeXlsxSpreadsheetApp();
  FakeBoxes boxes;
  FakeWindow window;
  FakePump pump;
  SaveResultsAsExcelFile(table, *app, window, boxes, pump);
  EXPECT_EQ(boxes.Texts(),
            (std::vector<std::string>{kExcelMissingForSoftware, kExcelMissingForFeature}));
  EXPECT_FALSE(std::filesystem::exists(desktop.Workbooks()));
}

TEST(XlsxWorkbook, WhenTheInstalledProgramFailsAMessageNamesTheWorkbook) {
  FakeDesktop desktop;
  desktop.Program("gnumeric", 1);
  ListView table;
  table.AddColumn("URL(s)");
  table.Add("a.example");
  auto app = MakeXlsxSpreadsheetApp();
  FakeBoxes boxes;
  FakeWindow window;
  FakePump pump;
  SaveResultsAsExcelFile(table, *app, window, boxes, pump);
  ASSERT_EQ(boxes.Texts().size(), 1u);
  const std::string log = desktop.Log("gnumeric");
  ASSERT_FALSE(log.empty());
  const std::string path = log.substr(0, log.size() - 1);
  EXPECT_EQ(boxes.Texts()[0], NoOpenerMessage(path));
  EXPECT_EQ(path.substr(0, path.rfind('/')), desktop.Workbooks());
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(LaunchProgram, AProgramStillRunningCountsAsStartedAndIsNotWaitedFor) {
  FakeDesktop desktop;
  desktop.Program("slowcalc", -1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(LaunchProgram({"slowcalc", "file"}, std::chrono::milliseconds(200), nullptr));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(LaunchProgram({"no-such-program-here"}, std::chrono::milliseconds(200), nullptr));
}

// The spreadsheet outlives a terminal closed under the program: it leads a session of its
// own.
TEST(LaunchProgram, TheProgramLeadsASessionOfItsOwn) {
  FakeDesktop desktop;
  desktop.Script("sessioncalc",
                 "read -r pid name state parent group session rest < /proc/$$/stat\n"
                 "echo \"$session $$\" > \"$0.log\"");
  ASSERT_TRUE(LaunchProgram({"sessioncalc"}, std::chrono::seconds(60), nullptr));
  const std::string log = desktop.Log("sessioncalc");
  const std::size_t blank = log.find(' ');
  ASSERT_NE(blank, std::string::npos) << log;
  EXPECT_EQ(log.substr(0, blank) + "\n", log.substr(blank + 1));
}

}  // namespace
}  // namespace orvanel

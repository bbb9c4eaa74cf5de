#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "TempDir.h"
#include "workbook/ProgramLauncher.h"
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
class FakeDesktop {
 public:
  FakeDesktop() : saved_path_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    ::setenv("PATH", dir_.path().c_str(), 1);
  }
  ~FakeDesktop() { ::setenv("PATH", saved_path_.c_str(), 1); }
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
  ASSERT_EQ(SpreadsheetOpeners(),
            (std::vector<std::vector<std::string>>{{"xdg-open"}, {"gnumeric"}}));
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

// Which workbooks of earlier exports go, and which stay.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "Subprocess.h"
#include "TempDir.h"
#include "workbook/WorkbookFolder.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

std::time_t At(const char* stamp) {
  return *ExportTimeOfWorkbook(std::string("Results-") + stamp + ".xlsx");
}

class WorkbookFolderTest : public ::testing::Test {
 protected:
  // A workbook of an export at `stamp`, as the export leaves it.
  std::string Workbook(const char* stamp) {
    const std::string path = folder_.NewWorkbook(At(stamp));
    std::ofstream(path, std::ios::binary) << "PK workbook";
    folder_.MarkExported(path);
    return path;
  }
  bool Exists(const std::string& path) const { return std::filesystem::exists(path); }
  TempDir dir_;
  WorkbookFolder folder_{dir_.path() + "/cache/orvanel"};
};

TEST_F(WorkbookFolderTest, NamesTellTheTimeOfTheExportAndNeverRepeat) {
  const std::time_t t = At("2024-05-01-140307");
  const std::string first = folder_.NewWorkbook(t);
  const std::string second = folder_.NewWorkbook(t);
  EXPECT_EQ(first, folder_.path() + "/Results-2024-05-01-140307.xlsx");
  EXPECT_EQ(second, folder_.path() + "/Results-2024-05-01-140307-2.xlsx");
  EXPECT_EQ(ExportTimeOfWorkbook("Results-2024-05-01-140307-2.xlsx"), t);
  struct stat st {};
  ASSERT_EQ(::stat(folder_.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(first.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (const char* other :
       {"Results.xlsx", "Results-2024-05-01-140307.xls", "Results-2024-13-01-140307.xlsx",
        "Results-2024-05-01-140307-x.xlsx", "Results-2024-05-01-140307x2.xlsx",
        "results-2024-05-01-140307.xlsx", "Results-2024-05-01 140307.xlsx"}) {
    EXPECT_FALSE(ExportTimeOfWorkbook(other)) << other;
  }
}

TEST_F(WorkbookFolderTest, UnderTheUsersCacheFolder) {
  const char* saved_cache = std::getenv("XDG_CACHE_HOME");
  const std::string cache = saved_cache ? saved_cache : "";
  ::setenv("XDG_CACHE_HOME", "/somewhere/cache", 1);
  EXPECT_EQ(WorkbookFolder::UserPath(), "/somewhere/cache/orvanel");
  ::setenv("XDG_CACHE_HOME", "relative/cache", 1);  // not absolute: not used
  EXPECT_EQ(WorkbookFolder::UserPath(), std::string(std::getenv("HOME")) + "/.cache/orvanel");
  ::unsetenv("XDG_CACHE_HOME");
  EXPECT_EQ(WorkbookFolder::UserPath(), std::string(std::getenv("HOME")) + "/.cache/orvanel");
  if (saved_cache) ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
}

TEST_F(WorkbookFolderTest, OldWorkbooksGoUnlessSomethingKeepsThem) {
  const std::string old = Workbook("2024-05-01-100000");
  const std::string older = Workbook("2024-04-30-100000");
  const std::string young = Workbook("2024-05-01-115930");       // 30 s before "now"
  const std::string last_kept = Workbook("2024-05-01-115901");   // 59 s
  const std::string first_gone = Workbook("2024-05-01-115900");  // 60 s
  const std::string saved_over = Workbook("2024-05-01-090000");
  std::ofstream(saved_over, std::ios::app) << "edited";  // saved from the spreadsheet
  const std::string shown = Workbook("2024-05-01-080000");
  std::ofstream(folder_.path() + "/.~lock.Results-2024-05-01-080000.xlsx#") << "LibreOffice";
  const std::string held = Workbook("2024-05-01-070000");
  // Left empty by an export that could not write it, its time no longer its name's.
  const std::string empty = folder_.path() + "/Results-2024-05-01-050000.xlsx";
  std::ofstream{empty};
  const std::string foreign = folder_.path() + "/Results-notes.xlsx";
  std::ofstream(foreign) << "the user's";
  std::filesystem::create_directory(folder_.path() + "/Results-2024-05-01-060000.xlsx");
  // Saved over a minute later, on a file system that keeps whole seconds.
  const std::string whole = Workbook("2024-05-01-020000");
  const timespec whole_times[2] = {{0, UTIME_OMIT}, {At("2024-05-01-020100"), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, whole.c_str(), whole_times, 0), 0);
  // Saved over within the second of its export.
  const std::string quick = Workbook("2024-05-01-040000");
  const timespec quick_times[2] = {{0, UTIME_OMIT}, {At("2024-05-01-040000"), 500'000'000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, quick.c_str(), quick_times, 0), 0);
  // A link named like a workbook, with the time of its name: what it points to is the
  // user's, wherever it is.
  const std::string mine = dir_.File("mine.xlsx", "the user's");
  const std::string link = folder_.path() + "/Results-2024-05-01-030000.xlsx";
  ASSERT_EQ(::symlink(mine.c_str(), link.c_str()), 0);
  const timespec link_times[2] = {{0, UTIME_OMIT}, {At("2024-05-01-030000"), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, link.c_str(), link_times, AT_SYMLINK_NOFOLLOW), 0);

  // Another program holds one open until the test ends it.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    const int fd = ::open(held.c_str(), O_RDONLY);
    [[maybe_unused]] const ssize_t n = ::write(ready[1], fd >= 0 ? "y" : "n", 1);
    ::pause();
    ::_exit(0);
  }
  char answer = 0;
  ASSERT_EQ(::read(ready[0], &answer, 1), 1);
  ASSERT_EQ(answer, 'y');

  folder_.RemoveOld(At("2024-05-01-120000"));
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_FALSE(Exists(old));
  EXPECT_FALSE(Exists(older));
  EXPECT_FALSE(Exists(empty));
  EXPECT_TRUE(Exists(young));
  EXPECT_TRUE(Exists(last_kept));
  EXPECT_FALSE(Exists(first_gone));
  EXPECT_TRUE(Exists(whole));
  EXPECT_TRUE(Exists(saved_over));
  EXPECT_TRUE(Exists(shown));
  EXPECT_TRUE(Exists(held));
  EXPECT_TRUE(Exists(foreign));
  EXPECT_TRUE(std::filesystem::is_directory(folder_.path() + "/Results-2024-05-01-060000.xlsx"));
  EXPECT_TRUE(Exists(quick));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_TRUE(Exists(mine));

  // Once nothing holds it and it is old enough, it goes.
  std::filesystem::remove(folder_.path() + "/.~lock.Results-2024-05-01-080000.xlsx#");
  folder_.RemoveOld(At("2024-05-01-120100"));
  EXPECT_FALSE(Exists(young));
  EXPECT_FALSE(Exists(shown));
  EXPECT_FALSE(Exists(held));
  EXPECT_TRUE(Exists(saved_over));
}

TEST_F(WorkbookFolderTest, AMissingFolderHasNothingToRemove) {
  folder_.RemoveOld();
  EXPECT_FALSE(Exists(folder_.path()));
}

}  // namespace
}  // namespace orvanel

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "FaultyFileSystem.h"
#include "TempDir.h"
#include "TmpfsMount.h"
#include "base/Failure.h"
#include "storage/AtomicFile.h"
#include "storage/FileSystem.h"

namespace orvanel {
namespace {

using testing::FaultyFileSystem;
using testing::ReadAll;
using testing::TempDir;
using testing::TmpfsMount;

std::size_t EntriesIn(const std::string& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

TEST(WriteFileAtomically, ReplacesWholeAndKeepsPermissions) {
  TempDir dir;
  const std::string path = dir.File("out.txt", "old contents");
  ::chmod(path.c_str(), 0640);
  WriteFileAtomically(path, "new");
  EXPECT_EQ(ReadAll(path), "new");
  struct stat st {};
  ::stat(path.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
  // The set-group-ID and sticky bits too, as far as the system let the file have them: the
  // mode is kept whole.
  ::chmod(path.c_str(), 03750);
  ::stat(path.c_str(), &st);
  const mode_t before = st.st_mode & 07777;
  EXPECT_NE(before & 01000, 0u);
  WriteFileAtomically(path, "newer");
  ::stat(path.c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, before);
}

// A new file is made as any program makes one: 0666 less the umask, not owner-only.
TEST(WriteFileAtomically, ANewFileFollowsTheUmask) {
  TempDir dir;
  const mode_t saved = ::umask(0);
  for (const auto& [mask, mode] :
       std::vector<std::pair<mode_t, mode_t>>{{022, 0644}, {002, 0664}, {077, 0600}, {027, 0640}}) {
    ::umask(mask);
    const std::string path = dir.path() + "/new-" + std::to_string(mask);
    WriteFileAtomically(path, "x");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode) << "umask " << std::oct << mask;
  }
  // A mode asked for is the mode given, whatever the umask.
  ::umask(077);
  WriteFileAtomically(dir.path() + "/asked", "x", 0644);
  ::umask(saved);
  struct stat st {};
  ASSERT_EQ(::stat((dir.path() + "/asked").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(WriteFileAtomically, FailuresLeaveTheOldFileAndNoLitter) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TempDir dir;
  const std::string path = dir.File("out.txt", "old");
  ::chmod(dir.path().c_str(), 0500);
  EXPECT_THROW(WriteFileAtomically(path, "new"), Failure);
  ::chmod(dir.path().c_str(), 0700);
  EXPECT_EQ(ReadAll(path), "old");
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(WriteFileAtomically, AFolderIsNoFile) {
  TempDir dir;
  try {
    WriteFileAtomically(dir.path(), "x");
    FAIL() << "wrote over a folder";
  } catch (const Failure& f) {
    EXPECT_NE(std::string(f.what()).find("it is a folder"), std::string::npos);
  }
  EXPECT_THROW(WriteFileAtomically(dir.path() + "/no/such/folder/f", "x"), Failure);
}

TEST(AtomicFileWriter, AbandonedWriteLeavesTheTargetUntouched) {
  TempDir dir;
  const std::string path = dir.File("out.txt", "old");
  {
    AtomicFileWriter writer(path);
    writer.Write("half of the new");
  }
  EXPECT_EQ(ReadAll(path), "old");
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(WriteFileAtomically, AFullDiskIsReportedAndLosesNothing) {
  TempDir dir;
  const std::string mount_point = dir.path() + "/small";
  TmpfsMount small(mount_point, 64);
  if (!small.ok()) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const std::string path = mount_point + "/out.txt";
  WriteFileAtomically(path, "old");
  EXPECT_THROW(WriteFileAtomically(path, std::string(1 << 20, 'x')), Failure);
  EXPECT_EQ(ReadAll(path), "old");
  EXPECT_EQ(EntriesIn(mount_point), 1u);
}

TEST(WriteFileAtomically, AGivenModeIsTheNewFilesMode) {
  TempDir dir;
  const std::string path = dir.File("settings.ini", "old");
  ::chmod(path.c_str(), 0644);
  WriteFileAtomically(path, "new", 0600);
  struct stat st {};
  ::stat(path.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// The contents are on disk before the name points at them, and the rename is made
// durable after: the order of the calls is the whole guarantee.
TEST(WriteFileAtomically, SyncsTheFileBeforeTheRenameAndTheFolderAfter) {
  TempDir dir;
  FaultyFileSystem fs;
  ScopedFileSystem scope(fs);
  WriteFileAtomically(dir.path() + "/out.txt", "contents");
  EXPECT_EQ(fs.calls, (std::vector<std::string>{"write", "sync", "close", "rename", "sync-folder",
                                                "sync(folder)", "close"}));
  EXPECT_EQ(ReadAll(dir.path() + "/out.txt"), "contents");
}

// A write cut by a signal, or taking part of what it was given, is no failure: the rest
// is written.
TEST(WriteFileAtomically, InterruptedAndShortWritesGoOnToTheEnd) {
  TempDir dir;
  const std::string path = dir.File("out.txt", "old");
  FaultyFileSystem fs;
  fs.interrupted = 2;
  fs.most_per_write = 3;
  ScopedFileSystem scope(fs);
  WriteFileAtomically(path, "0123456789");
  EXPECT_EQ(ReadAll(path), "0123456789");
  EXPECT_EQ(std::count(fs.calls.begin(), fs.calls.end(), "write"), 4);
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(WriteFileAtomically, EachFailingCallLeavesTheOldFileAndNoLitter) {
  for (const char* call : {"write", "sync", "close", "rename"}) {
    SCOPED_TRACE(call);
    TempDir dir;
    const std::string path = dir.File("out.txt", "old");
    FaultyFileSystem fs;
    fs.fail = call;
    ScopedFileSystem scope(fs);
    try {
      WriteFileAtomically(path, "new");
      FAIL() << "the failed " << call << " went unreported";
    } catch (const Failure& f) {
      EXPECT_NE(std::string(f.what()).find("out.txt: Input/output error"), std::string::npos)
          << f.what();
    }
    EXPECT_EQ(ReadAll(path), "old");
    EXPECT_EQ(EntriesIn(dir.path()), 1u);
  }
  // The folder's sync comes after the new file is in place: it cannot undo it.
  TempDir dir;
  FaultyFileSystem fs;
  fs.fail = "sync-folder";
  ScopedFileSystem scope(fs);
  WriteFileAtomically(dir.path() + "/out.txt", "new");
  EXPECT_EQ(ReadAll(dir.path() + "/out.txt"), "new");
}

}  // namespace
}  // namespace orvanel

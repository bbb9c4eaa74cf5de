#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "FaultyFileSystem.h"
#include "TempDir.h"
#include "TmpfsMount.h"
#include "base/Failure.h"
#include "storage/FileSystem.h"
#include "storage/IniSettingsStore.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

const std::vector<std::string>& TrickyValues() {
  static const std::vector<std::string> values = {
      "",
      "plain",
      "<title></title>|Dravikton|keywords|Dravikton|",
      " leading and trailing ",
      "a,b;c=d",
      "q\"uote and back\\slash",
      "@at the start",
      "@@two",
      "tab\tnew\nline\rcr",
      std::string("ctl\x01") + "1f",  // an escape followed by hex digits
      "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80",
      "#not a comment",
      "[not a section]",
      "\x7F",
  };
  return values;
}

TEST(IniSettingsStore, EveryTextComesBackAsItWasSaved) {
  TempDir dir;
  IniSettingsStore store(dir.path() + "/Dravikton.ini");
  for (const auto& value : TrickyValues()) {
    store.Save("Tags", value);
    EXPECT_EQ(store.Get("Tags", "absent"), value);
    EXPECT_FALSE(IniDocument::Parse(ReadAll(store.path())).damaged()) << value;
  }
}

TEST(IniSettingsStore, ReadsAfreshKeepsOtherSectionsAndIsTheOwnersOnly) {
  TempDir dir;
  const std::string path =
      dir.File("Dravikton.ini",
               "[Other]\nkeep=\"this, exactly\"\n; a note\n# another\n\n[Orvanel]\nZeta=z\n");
  IniSettingsStore store(path);
  EXPECT_EQ(store.Get("Option", "1"), "1");
  store.Save("Tags", "");
  EXPECT_EQ(store.Get("Tags", "default"), "");  // stored empty is not absent
  IniSettingsStore other(path);
  other.Save("Option", "3");
  EXPECT_EQ(store.Get("Option", "1"), "3");
  EXPECT_EQ(ReadAll(path),
            "[Other]\nkeep=\"this, exactly\"\n; a note\n# "
            "another\n\n[Orvanel]\nOption=3\nTags=\nZeta=z\n");
  EXPECT_FALSE(std::filesystem::exists(path + ".damaged"));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(IniSettingsStore, CreatesTheFileAndItsFolder) {
  TempDir dir;
  IniSettingsStore store(dir.path() + "/config/deeper/Dravikton.ini");
  store.Save("Option", "2");
  EXPECT_EQ(ReadAll(store.path()), "[Orvanel]\nOption=2\n");
}

// Where no settings file can be, reading gives the defaults; where something other than a
// file stands, reading says so.
TEST(IniSettingsStore, NoFileGivesTheDefaultsAndAFolderIsNoFile) {
  TempDir dir;
  const std::string not_a_folder = dir.File("config", "a file where a folder should be");
  EXPECT_EQ(IniSettingsStore(not_a_folder + "/Dravikton.ini").Get("Option", "1"), "1");
  std::filesystem::create_directory(dir.path() + "/Dravikton.ini");
  try {
    IniSettingsStore(dir.path() + "/Dravikton.ini").Get("Option", "1");
    ADD_FAILURE() << "a folder was read as settings";
  } catch (const Failure& f) {
    EXPECT_NE(std::string(f.what()).find("not a regular file"), std::string::npos) << f.what();
  }
}

TEST(IniSettingsStore, TheUsersFileIsUnderAnAbsoluteConfigFolder) {
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  const std::string config = saved ? saved : "";
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : ".";
  ::setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
  EXPECT_EQ(UserSettingsPath(), "/somewhere/config/Dravikton.ini");
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);  // not absolute: not used
  EXPECT_EQ(UserSettingsPath(), home + "/.config/Dravikton.ini");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(UserSettingsPath(), home + "/.config/Dravikton.ini");
  if (saved) ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
}

TEST(IniSettingsStore, ADamagedFileIsReadKeptAsACopyAndReplacedBySoundOne) {
  const std::string good = "[Orvanel]\nOption=2\nTags=a|Dravikton|b|Dravikton|\n";
  const std::vector<std::pair<std::string, std::string>> damages = {
      {"line without equals",
       "[Orvanel]\nOption=2\nthis line has no equals sign\nTags=a|Dravikton|b|Dravikton|\n"},
      {"unclosed section", "[Orvanel\nOption=2\nTags=a|Dravikton|b|Dravikton|\n"},
      {"NUL byte", "[Orvanel]\nOption=2\nbroken" + std::string(1, '\0') +
                       "line\nTags=a|Dravikton|b|Dravikton|\n"},
      {"random bytes",
       "[Orvanel]\nOption=2\n\xFF\xFE\x80garbage\x01\nTags=a|Dravikton|b|Dravikton|\n"},
      {"byte-order mark", "\xEF\xBB\xBF" + good},
      {"text after a section's ]",
       "[Orvanel] written by hand\nOption=2\nTags=a|Dravikton|b|Dravikton|\n"},
  };
  for (const auto& [what, text] : damages) {
    SCOPED_TRACE(what);
    TempDir dir;
    const std::string path = dir.File("Dravikton.ini", text);
    IniSettingsStore store(path);
    EXPECT_EQ(store.Get("Option", "1"), "2");
    EXPECT_EQ(store.Get("Tags", ""), "a|Dravikton|b|Dravikton|");
    store.Save("Option", "3");
    EXPECT_EQ(ReadAll(path + ".damaged"), text);
    EXPECT_FALSE(IniDocument::Parse(ReadAll(path)).damaged());
    EXPECT_EQ(store.Get("Option", "1"), "3");
    EXPECT_EQ(store.Get("Tags", ""), "a|Dravikton|b|Dravikton|");
    // From then on saves go to a sound file and leave the copy alone.
    store.Save("Tags", "c|Dravikton|");
    EXPECT_EQ(store.Get("Tags", ""), "c|Dravikton|");
    EXPECT_EQ(ReadAll(path + ".damaged"), text);
    EXPECT_FALSE(std::filesystem::exists(path + ".damaged.1"));
  }
}

TEST(IniSettingsStore, AnEarlierDamagedCopyIsNeverOverwritten) {
  TempDir dir;
  const std::string path = dir.File("Dravikton.ini", "second damage\n");
  dir.File("Dravikton.ini.damaged", "first damage\n");
  IniSettingsStore(path).Save("Option", "1");
  EXPECT_EQ(ReadAll(path + ".damaged"), "first damage\n");
  EXPECT_EQ(ReadAll(path + ".damaged.1"), "second damage\n");
  // The same damage again (a backup put back) is kept once.
  dir.File("Dravikton.ini", "second damage\n");
  IniSettingsStore(path).Save("Option", "2");
  EXPECT_FALSE(std::filesystem::exists(path + ".damaged.2"));
  EXPECT_EQ(IniSettingsStore(path).Get("Option", ""), "2");
}

TEST(IniSettingsStore, ALockLeftByAKilledProcessDelaysNothing) {
  TempDir dir;
  const std::string path = dir.File("Dravikton.ini", "[Orvanel]\nOption=1\n");
  // What QSettings left behind when it was killed in a save.
  dir.File("Dravikton.ini.lock", "");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(path.c_str(), O_RDWR);
    ::flock(fd, LOCK_EX);
    [[maybe_unused]] const ssize_t n = ::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  // No wait at all is granted: the save goes through only if no lock is left.
  IniSettingsStore(path, std::chrono::milliseconds(0)).Save("Option", "2");
  EXPECT_EQ(IniSettingsStore(path).Get("Option", ""), "2");
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(IniSettingsStore, ALiveHolderOfTheLockMakesTheSaveFailAfterItsWait) {
  TempDir dir;
  const std::string path = dir.File("Dravikton.ini", "[Orvanel]\nOption=1\n");
  const int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  IniSettingsStore store(path, std::chrono::milliseconds(100));
  try {
    store.Save("Option", "2");
    FAIL() << "saved through another program's lock";
  } catch (const Failure& f) {
    EXPECT_NE(std::string(f.what()).find("locked"), std::string::npos) << f.what();
  }
  ::close(fd);
  EXPECT_EQ(ReadAll(path), "[Orvanel]\nOption=1\n");
  store.Save("Option", "2");
  EXPECT_EQ(store.Get("Option", ""), "2");
}

TEST(IniSettingsStore, ACrLfFileIsReadWithoutItsCarriageReturns) {
  TempDir dir;
  const std::string path =
      dir.File("Dravikton.ini", "[Orvanel]\r\nOption=2\r\nTags=a|Dravikton|\r\n");
  IniSettingsStore store(path);
  EXPECT_EQ(store.Get("Option", "1"), "2");
  EXPECT_EQ(store.Get("Tags", ""), "a|Dravikton|");
  store.Save("Snapshot", "");
  EXPECT_EQ(store.Get("Option", "1"), "2");
  EXPECT_EQ(ReadAll(path), "[Orvanel]\nOption=2\nSnapshot=\nTags=a|Dravikton|\n");
  EXPECT_FALSE(std::filesystem::exists(path + ".damaged"));
}

// The later of two copies is the one read: a save must change it too.
TEST(IniSettingsStore, ASaveReachesEveryCopyOfARepeatedKey) {
  TempDir dir;
  const std::string path = dir.File("Dravikton.ini", "[Orvanel]\nOption=1\nTags=\nOption=2\n");
  IniSettingsStore store(path);
  EXPECT_EQ(store.Get("Option", ""), "2");
  store.Save("Option", "3");
  EXPECT_EQ(store.Get("Option", ""), "3");
  EXPECT_EQ(IniSettingsStore(path).Get("Option", ""), "3");
}

// The descriptors of this process open on `path`.
int OpenedHere(const std::string& path) {
  int n = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    n += std::filesystem::read_symlink(fd.path(), ec) == path;
  }
  return n;
}

// Another copy of the program replaces the file while this one waits for the lock on the
// file it opened: the save must go to the new file, keeping what that holds.
TEST(IniSettingsStore, AFileReplacedWhileTheSaveWaitsForItsLockIsTheOneSaved) {
  TempDir dir;
  const std::string path = dir.File("Dravikton.ini", "[Orvanel]\nOption=1\n");
  const int holder = ::open(path.c_str(), O_RDWR);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  std::string failure;
  std::thread save([&] {
    try {
      IniSettingsStore(path, std::chrono::minutes(2)).Save("Tags", "t|Dravikton|");
    } catch (const Failure& f) {
      failure = f.what();
    }
  });
  // Wait until the save has opened the file (and so waits for the lock).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (OpenedHere(path) < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(OpenedHere(path), 2);
  const std::string replacement = dir.File("new.ini", "[Orvanel]\nOption=2\nZeta=kept\n");
  ASSERT_EQ(::rename(replacement.c_str(), path.c_str()), 0);
  ::close(holder);  // the lock on the old file goes
  save.join();
  EXPECT_EQ(failure, "");
  EXPECT_EQ(ReadAll(path), "[Orvanel]\nOption=2\nTags=t|Dravikton|\nZeta=kept\n");
}

TEST(IniSettingsStore, ASymbolicLinkIsWrittenThroughAndStaysALink) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() + "/dotfiles");
  const std::string real = dir.File("dotfiles/orvanel.ini", "[Orvanel]\nOption=1\n");
  const std::string link = dir.path() + "/Dravikton.ini";
  std::filesystem::create_symlink("dotfiles/orvanel.ini", link);  // relative to its folder
  IniSettingsStore(link).Save("Option", "3");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadAll(real), "[Orvanel]\nOption=3\n");
  EXPECT_EQ(IniSettingsStore(link).Get("Option", ""), "3");
}

// A link whose file is gone (a dotfiles checkout not made yet): the file is made where the
// link points, and nothing else is left anywhere.
TEST(IniSettingsStore, ADanglingLinkGetsItsFileAndNothingElseIsLeft) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() + "/config");
  std::filesystem::create_directory(dir.path() + "/dotfiles");
  const std::string link = dir.path() + "/config/Dravikton.ini";
  const std::string middle = dir.path() + "/dotfiles/middle.ini";
  std::filesystem::create_symlink(middle, link);
  std::filesystem::create_symlink("orvanel.ini", middle);  // a chain of two links
  IniSettingsStore store(link);
  EXPECT_EQ(store.Get("Option", "1"), "1");
  store.Save("Option", "2");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_TRUE(std::filesystem::is_symlink(middle));
  EXPECT_EQ(ReadAll(dir.path() + "/dotfiles/orvanel.ini"), "[Orvanel]\nOption=2\n");
  EXPECT_EQ(store.Get("Option", "1"), "2");
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path())) {
    names.push_back(e.path().string().substr(dir.path().size()));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"/config", "/config/Dravikton.ini", "/dotfiles",
                                             "/dotfiles/middle.ini", "/dotfiles/orvanel.ini"}));
  // A link into a folder that is not there is a failure, not a folder made by us.
  std::filesystem::remove(link);
  std::filesystem::create_symlink(dir.path() + "/gone/orvanel.ini", link);
  EXPECT_THROW(store.Save("Option", "3"), Failure);
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/gone"));
}

// A save killed while it wrote leaves its temporary file; the next save removes it, and
// only what this store's saves leave.
TEST(IniSettingsStore, TemporaryFilesOfSavesCutShortAreRemovedByTheNextSave) {
  TempDir dir;
  const std::string path = dir.File("Dravikton.ini", "[Orvanel]\nOption=1\n");
  const std::vector<std::string> stale = {".Dravikton.ini.a1B2c3", ".Dravikton.ini.damaged.Zz9Yy8",
                                          ".Dravikton.ini.damaged.2.QqWwEe"};
  const std::vector<std::string> others = {
      ".Dravikton.ini.toolong7", ".Dravikton.ini.abc",   "Dravikton.ini.a1B2c3",
      ".Other.ini.a1B2c3",       ".Dravikton.ini.a-b_c", ".Dravikton.ini.damaged.x.a1B2c3",
      ".Dravikton.bak.a1B2c3",  // another file's, of the same length
      "~Dravikton.ini.a1B2c3",  // not hidden: a user's own
      ".Dravikton.ini_a1B2c3"};
  for (const auto& name : stale) dir.File(name, "[Orvanel]\nOpt");
  for (const auto& name : others) dir.File(name, "someone else's");
  std::filesystem::create_directory(dir.path() + "/.Dravikton.ini.f0lder");
  // Only regular files go: not a pipe, nor a link, though named as ours.
  ASSERT_EQ(::mkfifo((dir.path() + "/.Dravikton.ini.p1p2p3").c_str(), 0600), 0);
  const std::string mine = dir.File("mine.txt", "the user's");
  std::filesystem::create_symlink(mine, dir.path() + "/.Dravikton.ini.l1n2k3");
  IniSettingsStore(path).Save("Option", "2");
  EXPECT_TRUE(std::filesystem::is_fifo(dir.path() + "/.Dravikton.ini.p1p2p3"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() + "/.Dravikton.ini.l1n2k3"));
  for (const auto& name : stale)
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/" + name)) << name;
  for (const auto& name : others)
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/" + name)) << name;
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "/.Dravikton.ini.f0lder"));
  EXPECT_EQ(ReadAll(path), "[Orvanel]\nOption=2\n");
}

TEST(IniSettingsStore, AFailedSaveIsReportedAndLeavesTheFileWhole) {
  TempDir dir;
  const std::string mount_point = dir.path() + "/small";
  TmpfsMount small(mount_point, 16);
  if (!small.ok()) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const std::string path = mount_point + "/Dravikton.ini";
  IniSettingsStore store(path);
  store.Save("Tags", "a|Dravikton|");
  const std::string before = ReadAll(path);
  std::system(("dd if=/dev/zero of=" + mount_point + "/filler bs=1k count=64 2>/dev/null").c_str());
  try {
    store.Save("Tags", std::string(8000, 'x'));
    FAIL() << "a full disk took the save";
  } catch (const Failure& f) {
    EXPECT_NE(std::string(f.what()).find("Cannot save the setting Tags"), std::string::npos);
  }
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_EQ(store.Get("Tags", ""), "a|Dravikton|");
}

TEST(IniSettingsStore, AnUnwritableFolderIsAFailureNotACrash) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TempDir dir;
  const std::string path = dir.File("Dravikton.ini", "[Orvanel]\nOption=1\n");
  ::chmod(dir.path().c_str(), 0500);
  ::chmod(path.c_str(), 0400);
  EXPECT_THROW(IniSettingsStore(path).Save("Option", "2"), Failure);
  ::chmod(dir.path().c_str(), 0700);
  EXPECT_EQ(IniSettingsStore(path).Get("Option", ""), "1");
}

TEST(IniSettingsStore, ASaveIsDurableAndAFailedOneChangesNothing) {
  TempDir dir;
  const std::string path = dir.File("Dravikton.ini", "[Orvanel]\nOption=1\n");
  IniSettingsStore store(path);
  {
    FaultyFileSystem fs;
    ScopedFileSystem scope(fs);
    store.Save("Option", "2");
    EXPECT_EQ(fs.calls, (std::vector<std::string>{"write", "sync", "close", "rename", "sync-folder",
                                                  "sync(folder)", "close"}));
  }
  FaultyFileSystem fs;
  fs.fail = "sync";
  ScopedFileSystem scope(fs);
  EXPECT_THROW(store.Save("Option", "3"), Failure);
  EXPECT_EQ(store.Get("Option", ""), "2");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
  // A first save that fails (a full disk) leaves no empty settings file behind.
  const std::string fresh = dir.path() + "/fresh/Dravikton.ini";
  fs.fail = "write";
  EXPECT_THROW(IniSettingsStore(fresh).Save("Option", "1"), Failure);
  EXPECT_FALSE(std::filesystem::exists(fresh));
}

}  // namespace
}  // namespace orvanel

// Where orvanel-extract writes, run in process: -o and --failures alike go into devices
// and pipes, through links, never over read-only files or an input; a file is one run's
// at a time; a full disk ends the run unfinished with the old file whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "InProcess.h"
#include "TempDir.h"
#include "TextFiles.h"
#include "TmpfsMount.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

class ExtractOutputTest : public ::testing::Test {
 protected:
  ExtractOutputTest() {
    good_ = dir_.File("good.htm", "<title>T</title>");
    // A local path that is no regular file fails (no-file) without a look-up.
    not_a_page_ = dir_.path() + "/not-a-page-" + std::string(40, 'x');
    ::mkfifo(not_a_page_.c_str(), 0600);
    list_ = dir_.File("list.txt", good_ + "\n" + not_a_page_ + "\n");
  }
  // A character device of our own: as root, the machine's /dev/null is never at stake.
  std::string PrivateNull() const {
    if (::geteuid() != 0) return "/dev/null";
    const std::string node = dir_.path() + "/null";
    return ::mknod(node.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0 ? node : "";
  }
  TempDir dir_;
  std::string good_;
  std::string not_a_page_;
  std::string list_;
};

TEST_F(ExtractOutputTest, BothFilesGoIntoDevicesAndPipesAndThroughLinks) {
  for (const char* option : {"-o", "--failures"}) {
    SCOPED_TRACE(option);
    const std::string device = PrivateNull();
    if (!device.empty()) {
      const auto r = RunInProcess({"-q", option, device, list_});
      EXPECT_EQ(r.status, 1) << r.err;
      struct stat st {};
      ASSERT_EQ(::stat(device.c_str(), &st), 0);
      EXPECT_TRUE(S_ISCHR(st.st_mode));   // still the device
      if (std::string(option) == "-o") {  // rows cannot be counted in a device
        const auto resumed = RunInProcess({"-q", "--resume", option, device, list_});
        EXPECT_EQ(resumed.status, 2);
        EXPECT_NE(resumed.err.find("cannot resume into " + device + ": not a regular file"),
                  std::string::npos)
            << resumed.err;
      }
      ::unlink((dir_.path() + "/null").c_str());
    }
    const std::string fifo = dir_.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string through;
    std::thread reader([&] { through = ReadAll(fifo); });
    const auto r = RunInProcess({"-q", option, fifo, list_});
    LetFifoReaderGo(fifo);  // when the run never opened it
    reader.join();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(through.find(std::string(option) == "-o" ? good_ + "\tT" : not_a_page_ + "\n"),
              std::string::npos)
        << through;
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ::unlink(fifo.c_str());

    const std::string target = dir_.File("real.txt", "old");
    const std::string link = dir_.path() + "/link.txt";
    std::filesystem::create_symlink(target, link);
    EXPECT_EQ(RunInProcess({"-q", option, link, list_}).status, 1);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_NE(ReadAll(target), "old");
    std::filesystem::remove(link);
    // A dangling link makes its target, as the shell's ">" does.
    std::filesystem::create_symlink(dir_.path() + "/made.txt", link);
    EXPECT_EQ(RunInProcess({"-q", option, link, list_}).status, 1);
    EXPECT_TRUE(std::filesystem::is_regular_file(dir_.path() + "/made.txt"));
    std::filesystem::remove(link);
    std::filesystem::remove(dir_.path() + "/made.txt");
    // A file its owner may write but not read is replaced all the same.
    const std::string write_only = dir_.File("write-only.txt", "old");
    ::chmod(write_only.c_str(), 0200);
    EXPECT_EQ(RunInProcess({"-q", option, write_only, list_}).status, 1);
    ::chmod(write_only.c_str(), 0600);
    EXPECT_NE(ReadAll(write_only), "old");
    std::filesystem::remove(write_only);
  }
}

TEST_F(ExtractOutputTest, ReadOnlyFilesFoldersAndInputsAreRefusedUntouched) {
  const std::string locked = dir_.File("locked.txt", "keep me");
  ::chmod(locked.c_str(), 0444);
  for (const char* option : {"-o", "--failures"}) {
    SCOPED_TRACE(option);
    auto r = RunInProcess({"-q", option, locked, list_});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("read-only"), std::string::npos) << r.err;
    EXPECT_EQ(ReadAll(locked), "keep me");
    EXPECT_EQ(RunInProcess({"-q", option, dir_.path(), list_}).status, 2);
    // One of the inputs, under its own name or through a link.
    const std::string link = dir_.path() + "/list-link.txt";
    std::filesystem::create_symlink(list_, link);
    for (const std::string& name : {list_, link}) {
      r = RunInProcess({"-q", "-f", "jsonl", option, name, list_});
      EXPECT_EQ(r.status, 2);
      EXPECT_NE(r.err.find("is one of the inputs"), std::string::npos) << r.err;
    }
    std::filesystem::remove(link);
    EXPECT_EQ(ReadAll(list_), good_ + "\n" + not_a_page_ + "\n");
    // A FIFO read as the list: what was written to it would be read back as addresses.
    const std::string fifo = dir_.path() + "/list-fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    r = RunInProcess({"-q", "-f", "jsonl", option, fifo, fifo});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("is one of the inputs"), std::string::npos) << r.err;
    std::filesystem::remove(fifo);
  }
  // A tag file, and the certificates to trust.
  const std::string tags = dir_.File("tags.txt", "<title></title>\n");
  auto r = RunInProcess({"-q", "-m", "tags", "--tags-file", tags, "-o", tags, list_});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(ReadAll(tags), "<title></title>\n");
  const std::string ca = dir_.File("ca.pem", "-----BEGIN CERTIFICATE-----\n");
  for (const char* option : {"-o", "--failures"}) {
    r = RunInProcess({"-q", "--cacert", ca, option, ca, list_});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(ca + " is one of the inputs"), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadAll(ca), "-----BEGIN CERTIFICATE-----\n");
  // Both outputs in one file.
  r = RunInProcess(
      {"-q", "-o", dir_.path() + "/same.txt", "--failures", dir_.path() + "/./same.txt", list_});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("name one file"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/same.txt"));
}

TEST_F(ExtractOutputTest, AFileInUseByAnotherRunIsRefusedAndLeftAsItWas) {
  for (const bool resume : {false, true}) {
    for (const char* option : {"-o", "--failures"}) {
      SCOPED_TRACE(std::string(option) + (resume ? " --resume" : ""));
      const std::string file = dir_.File("busy.jsonl", "");
      const int other = ::open(file.c_str(), O_RDONLY);  // as another run holds it
      ASSERT_EQ(::flock(other, LOCK_EX), 0);
      std::vector<std::string> args{"-q", "-f", "jsonl", option, file};
      if (resume) {
        args.insert(args.end(), {"--resume", "-o", dir_.path() + "/main.jsonl"});
        if (std::string(option) == "-o") args.resize(args.size() - 2);
      }
      args.push_back(list_);
      const auto r = RunInProcess(args);
      EXPECT_EQ(r.status, 2);
      EXPECT_NE(r.err.find(file + " is in use by another run"), std::string::npos) << r.err;
      EXPECT_EQ(ReadAll(file), "");
      ::close(other);
      EXPECT_EQ(RunInProcess(args).status, 1);  // free again
    }
  }
}

TEST_F(ExtractOutputTest, AFileMadeOnlyToHoldTheLockGoesWhenTheRunIsRefused) {
  const std::string out = dir_.path() + "/new.tsv";
  const std::string failed = dir_.path() + "/failed.txt";
  const std::string bad_list = dir_.File("bad.txt", std::string("a\0b\n", 4));
  // The output is made and locked first, then the failures file is found in use.
  const std::string busy = dir_.File("busy.txt", "");
  const int other = ::open(busy.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  auto r = RunInProcess({"-q", "-o", out, "--failures", busy, list_});
  ::close(other);
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(std::filesystem::exists(out));
  r = RunInProcess({"-q", "-o", out, "--failures", failed, bad_list});  // a refused list
  EXPECT_EQ(r.status, 2);
  const auto names = EntriesIn(dir_.path());
  EXPECT_EQ(std::count(names.begin(), names.end(), "new.tsv"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "failed.txt"), 0);
}

TEST_F(ExtractOutputTest, AnUnfinishedRunLeavesNoFileItMade) {
  const std::string out = dir_.path() + "/new.tsv";
  const std::string failed = dir_.path() + "/failed.txt";
  const auto r =
      RunInProcess({"-q", "-o", out, "--failures", failed},
                   good_ + "\n" + not_a_page_ + "\n" + std::string("a\0b\n", 4), InputKind::kPipe);
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_FALSE(std::filesystem::exists(failed));
}

// An empty list is a finished run: its files are there, empty (or a tsv's header alone),
// however it was started.
TEST_F(ExtractOutputTest, AnEmptyListMakesItsFilesToo) {
  const std::string empty = dir_.File("empty.txt", "");
  for (const bool resume : {false, true}) {
    for (const std::string format : {"tsv", "jsonl"}) {
      SCOPED_TRACE(format + (resume ? " resumed" : ""));
      const std::string out = dir_.path() + "/out-" + format + (resume ? "-resumed" : "");
      const std::string failed = out + ".failed";
      // (A resumed tsv cannot list failures.)
      const bool failures = !(resume && format == "tsv");
      std::vector<std::string> args = {"-q", "-f", format, "-o", out};
      if (failures) args.insert(args.end(), {"--failures", failed});
      if (resume) args.push_back("--resume");
      args.push_back(empty);
      const auto r = RunInProcess(args);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(ReadAll(out), format == "tsv" ? "URL(s)\tTitle\tKeywords\tDescription\t\r\n" : "");
      EXPECT_TRUE(std::filesystem::exists(out));
      EXPECT_EQ(std::filesystem::exists(failed), failures);
    }
  }
}

TEST_F(ExtractOutputTest, AFullDeviceEndsTheRunUnfinished) {
  for (const char* option : {"-o", "--failures"}) {
    const auto r = RunInProcess({"-q", option, "/dev/full", list_});
    EXPECT_EQ(r.status, 3) << option;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  }
}

TEST_F(ExtractOutputTest, AFullDiskKeepsTheOldFilesWholeAndLeavesNoLitter) {
  const std::string mount = dir_.path() + "/small";
  TmpfsMount small(mount, 64);
  if (!small.ok()) GTEST_SKIP() << "mounting a small tmpfs needs root";
  // Rows and failed addresses of some 100 KB each, past the 64 KiB of the disk.
  std::string list;
  for (int i = 0; i < 2000; ++i) list += good_ + "\n" + not_a_page_ + "\n";
  const std::string big = dir_.File("big.txt", list);
  for (const char* option : {"-o", "--failures"}) {
    SCOPED_TRACE(option);
    const std::string file = mount + "/old.txt";
    std::ofstream(file, std::ios::binary) << "old results";
    const auto r = RunInProcess({"-q", option, file, big});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(ReadAll(file), "old results");
    EXPECT_EQ(EntriesIn(mount).size(), 1u);
  }
}

// Resumed into a disk that fills up: the file keeps whole rows only, and once there is
// room again the same command ends it as one run would have.
TEST_F(ExtractOutputTest, AFullDiskUnderResumeKeepsWholeRows) {
  const std::string mount = dir_.path() + "/small";
  TmpfsMount small(mount, 64);
  if (!small.ok()) GTEST_SKIP() << "mounting a small tmpfs needs root";
  // The file holds the rows of an earlier run already: ten of another page.
  const std::string early = dir_.File("early.htm", "<title>Early</title>");
  std::string list;
  for (int i = 0; i < 2000; ++i) list += (i < 10 ? early : good_) + "\n";
  const std::string big = dir_.File("big.txt", list);
  const std::string reference = dir_.path() + "/reference.jsonl";
  auto r = RunInProcess({"-q", "-f", "jsonl", "-o", reference, big});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string whole = ReadAll(reference);
  std::size_t earlier_bytes = 0;
  for (int i = 0; i < 10; ++i) earlier_bytes = whole.find('\n', earlier_bytes) + 1;
  const std::string earlier = whole.substr(0, earlier_bytes);
  const std::string out = mount + "/rows.jsonl";
  std::ofstream(out, std::ios::binary) << earlier;
  r = RunInProcess({"-q", "-f", "jsonl", "--resume", "-o", out, big});
  EXPECT_EQ(r.status, 3) << r.err;
  const std::string kept = ReadAll(out);
  ASSERT_GT(kept.size(), earlier.size());
  EXPECT_EQ(kept.substr(0, earlier.size()), earlier);
  const std::string row =
      whole.substr(earlier.size(), whole.find('\n', earlier.size()) + 1 - earlier.size());
  EXPECT_EQ((kept.size() - earlier.size()) % row.size(), 0u);  // whole rows, all alike
  // Room again: the file moves to a bigger disk, and the run goes on there.
  const std::string moved = dir_.path() + "/rows.jsonl";
  std::filesystem::copy_file(out, moved);
  r = RunInProcess({"-q", "-f", "jsonl", "--resume", "-o", moved, big});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadAll(moved), whole);
}

}  // namespace
}  // namespace orvanel

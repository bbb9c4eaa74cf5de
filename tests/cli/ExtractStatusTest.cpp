// The exit statuses of orvanel-extract as a runner sees them, from the program itself:
// finished, refused, unfinished, a broken pipe, a signal; and what an interrupted run
// leaves behind (the files as they were, nothing else).
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

#include "LoopbackServer.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "TextFiles.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

class ExtractStatusTest : public ::testing::Test {
 protected:
  ExtractStatusTest() {
    server_.Route("/page", [](auto&, auto& c) { c.Respond(200, "<title>T</title>"); });
    server_.Route("/gone", [](auto&, auto& c) { c.Respond(404, ""); });
    server_.Route("/hang", [](auto&, auto& c) { c.Sleep(30'000); });
  }
  std::string Write(const std::string& name, const std::string& text) const {
    return dir_.File(name, text);
  }
  LoopbackServer server_;
  TempDir dir_;
};

TEST_F(ExtractStatusTest, EachStatusEndToEnd) {
  const std::string page = server_.Url("/page") + "\n";
  const std::string gone = server_.Url("/gone") + "\n";
  EXPECT_EQ(RunProgram({ExtractProgram(), "-q"}, page).status, 0);
  EXPECT_EQ(RunProgram({ExtractProgram(), "-q"}, page + gone).status, 1);
  EXPECT_EQ(RunProgram({ExtractProgram(), "-q", "--finished-ok"}, page + gone).status, 0);
  const auto usage = RunProgram({ExtractProgram(), "-j", "0"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.err,
            "orvanel-extract: invalid value for --jobs: '0' (1 to 4096)\n"
            "Try 'orvanel-extract --help'.\n");
  EXPECT_EQ(Shell("$P -q --finished-ok > /dev/full", page).status, 3);
  const auto help = RunProgram({ExtractProgram(), "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
  EXPECT_EQ(RunProgram({ExtractProgram(), "--version"}).out,
            "orvanel-extract " ORVANEL_VERSION "\n");
  // What they print is written, or the failure said: a full disk, a pipe nobody reads.
  const std::string fifo = dir_.path() + "/unread";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string option : {"--help", "--version"}) {
    const auto full = Shell("$P " + option + " > /dev/full");
    EXPECT_EQ(full.status, 3) << option;
    EXPECT_EQ(full.err, "orvanel-extract: cannot write the output: No space left on device\n");
    // Opened with a reader that then goes: writing into it fails at once.
    const auto unread =
        Shell("exec 4<>'" + fifo + "' 5>'" + fifo + "' 4<&-; $P " + option + " >&5");
    EXPECT_EQ(unread.status, 141) << option;
    EXPECT_EQ(unread.err, "") << option;
  }
}

TEST_F(ExtractStatusTest, AClosedPipeEndsTheRunQuietlyWith141) {
  std::string input;
  for (int i = 0; i < 3000; ++i) input += server_.Url("/page") + "?" + std::to_string(i) + "\n";
  const auto r = RunProgram({ExtractProgram(), "-q", "--finished-ok"}, input, 1);
  EXPECT_EQ(r.status, 141);
  EXPECT_EQ(r.err, "");
}

TEST_F(ExtractStatusTest, AnOutputPipeWhoseReaderLeavesIs141Too) {
  std::string input;
  for (int i = 0; i < 3000; ++i) input += server_.Url("/page") + "?" + std::to_string(i) + "\n";
  const std::string fifo = dir_.path() + "/rows";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto r = Shell(
      "head -c 100 '" + fifo + "' > /dev/null 2>&1 & $P -q -o '" + fifo + "'; echo $? >&2", input);
  LetFifoReaderGo(fifo);  // when the run never opened it
  EXPECT_EQ(r.err, "141\n");
}

// /dev/stdout and /dev/stderr are links that name no path: written into, as the streams.
TEST_F(ExtractStatusTest, TheProcessOwnStreamsByNameAreWrittenInto) {
  const std::string page = server_.Url("/page") + "\n";
  auto r = Shell("$P -q -o /dev/stdout | cat", page);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "URL(s)\tTitle\tKeywords\tDescription\t\r\n" + server_.Url("/page") + "\tT\t\t\t\r\n");
  r = Shell("$P -q --failures /dev/stderr", server_.Url("/gone") + "\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(server_.Url("/gone") + "\n"), std::string::npos) << r.err;

  // Streams the shell appends to a file: appended to, never replaced.
  const std::string log = Write("log.txt", "before\n");
  r = Shell("$P -q -o /dev/stdout >> '" + log + "'", page);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string rows =
      "URL(s)\tTitle\tKeywords\tDescription\t\r\n" + server_.Url("/page") + "\tT\t\t\t\r\n";
  EXPECT_EQ(ReadAll(log), "before\n" + rows);
  r = Shell("$P -q -o /dev/null --failures /dev/fd/3 3>> '" + log + "'",
            server_.Url("/gone") + "\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadAll(log), "before\n" + rows + server_.Url("/gone") + "\n");
  // A stream is no file to resume.
  r = Shell("$P -q -f jsonl --resume -o /proc/self/fd/1 >> '" + log + "'", page);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("names an open stream"), std::string::npos) << r.err;
  EXPECT_EQ(ReadAll(log), "before\n" + rows + server_.Url("/gone") + "\n");
  // Through links, however many.
  const std::string near = dir_.path() + "/near", far = dir_.path() + "/far";
  std::filesystem::create_symlink("/dev/stdout", near);
  std::filesystem::create_symlink(near, far);
  const std::string linked = Write("linked.txt", "before\n");
  EXPECT_EQ(Shell("$P -q -o '" + far + "' >> '" + linked + "'", page).status, 0);
  EXPECT_EQ(ReadAll(linked), "before\n" + rows);
  // A descriptor that cannot be, however long its number.
  for (const std::string fd : {"/dev/fd/999999999", "/dev/fd/99999999999999999999"}) {
    r = Shell("$P -q -o " + fd, page);
    EXPECT_EQ(r.status, 2) << fd;
    EXPECT_NE(r.err.find("cannot write " + fd), std::string::npos) << r.err;
  }
}

// A list that is also where the rows go would be read back as addresses, row after row.
TEST_F(ExtractStatusTest, StandardStreamsThatAreTheListAreRefused) {
  const std::string list = Write("list.txt", server_.Url("/page") + "\n");
  auto r = Shell("$P -q -f jsonl --resume -o '" + list + "' < '" + list + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("is one of the inputs"), std::string::npos) << r.err;
  for (const std::string& from : {"'" + list + "'", "< '" + list + "'"}) {
    r = Shell("$P -q -f jsonl " + from + " >> '" + list + "'");
    EXPECT_EQ(r.status, 2) << from;
    EXPECT_EQ(r.err, "orvanel-extract: the standard output is one of the inputs\n") << from;
  }
  EXPECT_EQ(ReadAll(list), server_.Url("/page") + "\n");
  // Another file is no input, and a run with -o leaves standard output alone.
  const std::string log = Write("log.txt", "");
  EXPECT_EQ(Shell("$P -q -f jsonl '" + list + "' >> '" + log + "'").status, 0);
  EXPECT_EQ(Shell("$P -q -o /dev/null '" + list + "' >> '" + list + "'").status, 0);
  EXPECT_EQ(ReadAll(list), server_.Url("/page") + "\n");
}

// Interrupted by a signal or killed outright, a run ends as that signal, and the output
// and failures files are as they were before it: nothing half-written, no temporary file.
TEST_F(ExtractStatusTest, AnInterruptedRunLeavesTheFilesAsTheyWere) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
    for (const bool existed : {true, false}) {
      SCOPED_TRACE(std::to_string(signal) + (existed ? " over older files" : " new files"));
      TempDir out_dir;
      const std::string out = out_dir.path() + "/out.tsv";
      const std::string failed = out_dir.path() + "/failed.txt";
      if (existed) {
        std::ofstream(out) << "older rows";
        std::ofstream(failed) << "older failures";
      }
      const std::string list =
          Write("l.txt", server_.Url("/gone") + "\n" + server_.Url("/hang") + "\n");
      const int requests = server_.Requests();
      const pid_t pid =
          StartInBackground({ExtractProgram(), "-q", "-o", out, "--failures", failed, list});
      ASSERT_TRUE(WaitFor([&] { return server_.Requests() >= requests + 2; }));  // under way
      ::kill(pid, signal);
      EXPECT_EQ(WaitForExit(pid), 128 + signal);
      auto names = EntriesIn(out_dir.path());
      std::sort(names.begin(), names.end());
      if (existed) {
        EXPECT_EQ(names, (std::vector<std::string>{"failed.txt", "out.tsv"}));
        EXPECT_EQ(ReadAll(out), "older rows");
        EXPECT_EQ(ReadAll(failed), "older failures");
      } else if (signal != SIGKILL) {
        EXPECT_EQ(names, std::vector<std::string>{});
      } else {
        // Only the names this run made to lock them can stay, empty.
        for (const auto& name : names) {
          EXPECT_TRUE(name == "out.tsv" || name == "failed.txt") << name;
          EXPECT_EQ(ReadAll(out_dir.path() + "/" + name), "");
        }
      }
    }
  }
}

// Under nohup (SIGHUP ignored when it starts) a hang-up does not end the run.
TEST_F(ExtractStatusTest, ASignalIgnoredAtTheStartStaysIgnored) {
  server_.Route("/slow", [](auto&, auto& c) {
    if (c.Sleep(1000)) c.Respond(200, "<title>slow</title>");
  });
  const std::string out = dir_.path() + "/out.tsv";
  const std::string list = Write("l.txt", server_.Url("/slow") + "\n");
  const int requests = server_.Requests();
  const pid_t pid =
      StartInBackground({"/bin/sh", "-c", "trap '' HUP; exec \"$0\" -q -o \"$1\" \"$2\"",
                         ExtractProgram(), out, list});
  ASSERT_TRUE(WaitFor([&] { return server_.Requests() > requests; }));
  ::kill(pid, SIGHUP);
  EXPECT_EQ(WaitForExit(pid), 0);
  EXPECT_NE(ReadAll(out).find("\tslow\t"), std::string::npos);
}

TEST_F(ExtractStatusTest, ASecondRunOnTheSameFilesIsRefused) {
  const std::string list = Write("l.txt", server_.Url("/hang") + "\n");
  const std::string out = dir_.path() + "/results.jsonl";
  const std::string failed = dir_.path() + "/failed.txt";
  const int requests = server_.Requests();
  const pid_t first = StartInBackground(
      {ExtractProgram(), "-q", "-f", "jsonl", "--resume", "-o", out, "--failures", failed, list});
  ASSERT_TRUE(WaitFor([&] { return server_.Requests() > requests; }));
  for (const auto& args : std::vector<std::vector<std::string>>{
           {ExtractProgram(), "-q", "-f", "jsonl", "--resume", "-o", out, list},
           {ExtractProgram(), "-q", "-f", "jsonl", "-o", out, list},
           {ExtractProgram(), "-q", "--failures", failed, list}}) {
    const auto r = RunProgram(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("is in use by another run"), std::string::npos) << r.err;
  }
  ::kill(first, SIGTERM);
  EXPECT_EQ(WaitForExit(first), 128 + SIGTERM);
}

// As root, --failures /dev/null once replaced the machine's /dev/null. Tried in a mount
// namespace of its own, over a /dev/null of its own.
TEST_F(ExtractStatusTest, DevNullStaysTheDevice) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root could replace /dev/null";
  const std::string list = Write("l.txt", server_.Url("/gone") + "\n");
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0 ||
        ::mknod("/dev/null", S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
      ::_exit(77);
    }
    const auto r =
        RunProgram({ExtractProgram(), "-q", "-o", "/dev/null", "--failures", "/dev/null", list});
    struct stat st {};
    ::_exit(r.status == 1 && ::stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode) ? 0 : 1);
  }
  const int status = WaitForExit(pid);
  if (status == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace orvanel

// orvanel-extract run as a program against hostile lists, streams and descriptors: what
// only a real process shows (pipes, FIFOs, closed descriptors, limits, namespaces).
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Isolation.h"
#include "LoopbackServer.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "TextFiles.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Program() { return ExtractProgram(); }
std::size_t Lines(const std::string& text) { return CountLines(text); }

class ExtractHostileInputTest : public ::testing::Test {
 protected:
  ExtractHostileInputTest() {
    server_.Route("/page", [](auto&, auto& c) { c.Respond(200, "<title>T</title>"); });
    server_.Route("/hang", [](auto&, auto& c) { c.Sleep(20'000); });
  }
  std::string Url(const std::string& path) const { return server_.Url(path); }
  std::string List(const std::string& name, const std::string& text) const {
    return dir_.File(name, text);
  }
  LoopbackServer server_;
  TempDir dir_;
};

// A stream is checked as it is read: the run started, and it ends unfinished (3); a tag
// file is read whole before the run (2). Either way the -o file is never made.
TEST_F(ExtractHostileInputTest, EndlessOrBinaryInputIsRefusedNamingTheLine) {
  for (const auto& [line, status] : std::vector<std::pair<std::string, int>>{
           {"$P /dev/zero", 3},
           {"$P < /dev/zero", 3},
           {"$P --tags-file /dev/zero -m tags " + Url("/page"), 2}}) {
    SCOPED_TRACE(line);
    const auto start = Clock::now();
    const auto r = Shell(line + " -o '" + dir_.path() + "/out'");
    EXPECT_EQ(r.status, status);
    EXPECT_NE(r.err.find("line 1 holds a NUL byte"), std::string::npos) << r.err;
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/out"));
  }
  const std::string long_line =
      List("long.txt", Url("/page") + "\n" + std::string(70'000, 'a') + "\n");
  auto r = RunProgram({Program(), "-q", long_line});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("line 2 is longer than 65536 bytes"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");  // refused before any output
  r = RunProgram(
      {Program(), "-q", List("nul.txt", Url("/page") + "\n" + std::string("a\0b", 3) + "\n")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("line 2 holds a NUL byte"), std::string::npos) << r.err;
}

TEST_F(ExtractHostileInputTest, ListsInUtf8WithAMarkOrInUtf16AreRead) {
  const std::string address = Url("/page");
  std::string utf16le = "\xFF\xFE", utf16be = "\xFE\xFF";
  for (char c : address + "\r\n" + address) {
    utf16le += c;
    utf16le += '\0';
    utf16be += '\0';
    utf16be += c;
  }
  for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
           {"bom.txt", "\xEF\xBB\xBF" + address + "\n" + address + "\n"},
           {"le.txt", utf16le},
           {"be.txt", utf16be}}) {
    SCOPED_TRACE(name);
    const auto r = RunProgram({Program(), "-q", List(name, text)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "URL(s)\tTitle\tKeywords\tDescription\t\r\n" + address + "\tT\t\t\t\r\n" +
                         address + "\tT\t\t\t\r\n");
  }
}

TEST_F(ExtractHostileInputTest, OnlyRegularFilesAreLocalPagesAndListsAreOpenedOnce) {
  const std::string fifo = dir_.path() + "/page-fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto start = Clock::now();
  auto r = RunProgram({Program(), "-q", List("l.txt", fifo + "\n" + Url("/page") + "\n")});
  EXPECT_EQ(r.status, 1);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_NE(r.out.find(Url("/page") + "\tT"), std::string::npos);

  // /dev/stdin in a piped list is not a page: the rest of the list stays the list.
  std::string list = "/dev/stdin\n";
  for (int i = 0; i < 50; ++i) list += Url("/page") + "\n";
  r = RunProgram({Program(), "-q", "-f", "jsonl"}, list);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Lines(r.out), 51u);

  // A FIFO as the list: every line its writer sends is read.
  const std::string list_fifo = dir_.path() + "/list-fifo";
  ASSERT_EQ(::mkfifo(list_fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    std::ofstream out(list_fifo);
    for (int i = 0; i < 20; ++i) out << Url("/page") << "\n";
  });
  r = RunProgram({Program(), "-q", "-f", "jsonl", list_fifo});
  writer.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out), 20u);
}

// Rows come out as soon as they and the ones before are done, while more input is awaited.
TEST_F(ExtractHostileInputTest, RowsAreWrittenWhileInputTrickles) {
  int in[2], out[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::pipe(out), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::close(in[1]);
    ::close(out[0]);
    ::execl(Program().c_str(), Program().c_str(), "-q", "-f", "jsonl", nullptr);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  const std::string first = Url("/page") + "\n";
  ASSERT_EQ(::write(in[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
  std::string got;
  const auto start = Clock::now();
  while (got.find('\n') == std::string::npos && Clock::now() - start < 5s) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      char buffer[4096];
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
  }
  EXPECT_NE(got.find("\"title\":\"T\""), std::string::npos) << "no row while the input stayed open";
  ::close(in[1]);
  ::close(out[0]);
  ::waitpid(pid, nullptr, 0);
}

TEST_F(ExtractHostileInputTest, ClosedStandardDescriptorsAreNeverReused) {
  const std::string list = List("l.txt", Url("/page") + "\n" + Url("/missing-host-port") + "x\n");
  const std::string out = dir_.path() + "/out.jsonl";
  // No standard error: the failure message must not land among the rows.
  auto r = Shell("$P -q -f jsonl -o '" + out + "' '" + list + "' 2>&-");
  EXPECT_EQ(r.status, 1);
  const std::string written = ReadAll(out);
  EXPECT_EQ(Lines(written), 2u) << written;
  EXPECT_EQ(written.find("cannot be extracted.\n"), std::string::npos) << written;
  // No standard input: an empty list, not the program's own output read back.
  r = Shell("$P -q -o '" + out + "' <&-");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadAll(out), "URL(s)\tTitle\tKeywords\tDescription\t\r\n");
}

TEST_F(ExtractHostileInputTest, FileLimitsAreRaisedOrTheJobsFitted) {
  std::string list;
  for (int i = 0; i < 600; ++i) list += Url("/page?" + std::to_string(i)) + "\n";
  const std::string file = List("l.txt", list);
  // A low soft limit is raised to the hard one.
  auto r = Shell("ulimit -S -n 256 && exec $P -q -f jsonl -j 1000 --per-host 1000 '" + file + "'");
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 300);
  EXPECT_EQ(Lines(r.out), 600u);
  rlimit hard{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &hard), 0);
  if (hard.rlim_max >= 1000 * 3 + 64) {  // room for -j 1000 once raised: nothing to say
    EXPECT_EQ(r.err.find("using -j"), std::string::npos) << r.err.substr(0, 300);
  }
  // A low hard limit: said once, every page still comes, and no more than the jobs that
  // fit are under way at once (each slow page keeps its connection a while).
  std::atomic<int> busy{0}, peak{0};
  server_.Route("/slow", [&](auto&, auto& c) {
    const int now = ++busy;
    for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
    }
    c.Sleep(20);
    --busy;
    c.Respond(200, "<title>T</title>");
  });
  std::string slow;
  for (int i = 0; i < 600; ++i) slow += Url("/slow?" + std::to_string(i)) + "\n";
  r = Shell("ulimit -n 256 && exec $P -q -f jsonl -j 1000 --per-host 1000 '" +
            List("slow.txt", slow) + "'");
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 300);
  EXPECT_EQ(Lines(r.out), 600u);
  EXPECT_LE(peak.load(), 64);
  EXPECT_NE(r.err.find("-j 1000 needs about 3064 open files, but only 256 are allowed (ulimit "
                       "-n); using -j 64"),
            std::string::npos)
      << r.err.substr(0, 300);
}

// An international host name, mapped to this machine; run where no name look-up can leave
// it, so that a name that was not converted fails instead of asking a resolver.
TEST(ExtractInternationalNames, AreConvertedBeforeTheyAreLookedUp) {
  const int status = RunInIsolatedNetwork([] {
    if (!BringUpLoopback()) return 3;
    LoopbackServer server;
    server.Route("/page", [](auto&, auto& c) {
      c.Respond(200,
                "<title>B\xC3\xBC"
                "cher</title>");
    });
    const std::string port = std::to_string(server.Port());
    const auto r =
        RunProgram({Program(), "-q", "--resolve", "xn--bcher-kva.test:" + port + ":127.0.0.1"},
                   "http://b\xC3\xBC"
                   "cher.test:" +
                       port + "/page\n");
    return r.status == 0 && r.out.find(
                                "\tB\xC3\xBC"
                                "cher\t") != std::string::npos
               ? 0
               : 1;
  });
  if (status < 0)
    GTEST_SKIP() << "no network namespace can be made here (needs root or user namespaces)";
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace orvanel

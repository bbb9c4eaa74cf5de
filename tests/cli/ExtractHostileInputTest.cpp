// orvanel-extract against hostile lists, outputs, descriptors and signals.
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Isolation.h"
#include "LoopbackServer.h"
#include "Subprocess.h"
#include "TempDir.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Program() { return BinaryDir() + "/orvanel-extract"; }

// Runs a shell command line in which $P is the program.
Finished Shell(const std::string& line, const std::string& input = "") {
  return RunProgram({"/bin/sh", "-c", "P='" + Program() + "'; " + line}, input);
}

std::size_t Lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::size_t EntriesIn(const std::string& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

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

TEST_F(ExtractHostileInputTest, AnyAcceptedJobCountWorksOverALongList) {
  const std::string page = dir_.File("page.htm", "<title>local</title>");
  std::string list;
  for (int i = 0; i < 5000; ++i) list += page + "\n";
  const auto r = RunProgram({Program(), "-q", "-f", "jsonl", "-j", "1000", List("list.txt", list)});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out), 5000u);
  EXPECT_EQ(RunProgram({Program(), "-j", "4097", List("one.txt", page)}).status, 2);
}

TEST_F(ExtractHostileInputTest, EndlessOrBinaryInputIsRefusedNamingTheLine) {
  for (const std::string& line :
       {std::string("$P /dev/zero"), std::string("$P < /dev/zero"),
        std::string("$P --tags-file /dev/zero -m tags " + Url("/page"))}) {
    SCOPED_TRACE(line);
    const auto start = Clock::now();
    const auto r = Shell(line + " -o '" + dir_.path() + "/out'");
    EXPECT_EQ(r.status, 2);
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

TEST_F(ExtractHostileInputTest, EveryInputIsCheckedBeforeAnythingIsWritten) {
  const std::string good = List("good.txt", Url("/page") + "\n");
  auto r = RunProgram({Program(), good, dir_.path()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("it is a folder"), std::string::npos) << r.err;
  r = RunProgram({Program(), "-m", "tags", "--tags-file", List("empty.txt", "\n\n"), good});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no tag entries"), std::string::npos) << r.err;
}

// A window of transfers that ends all at once, with many more addresses read and waiting,
// goes straight on to the next ones: it does not wait for a transfer that is not there.
TEST_F(ExtractHostileInputTest, AWindowThatEndsAtOnceGoesStraightOnToTheNextAddresses) {
  server_.Route("/slow", [](auto&, auto& c) {
    if (c.Sleep(300)) c.Respond(200, "<title>slow</title>");
  });
  const std::string page = dir_.File("page.htm", "<title>local</title>");
  // -j 2: a window of 80 addresses; the first is slow, the rest are done meanwhile, and
  // the whole list is read at once.
  std::string list = Url("/slow") + "\n";
  for (int i = 0; i < 400; ++i) list += page + "\n";
  const auto start = Clock::now();
  const auto r = RunProgram({Program(), "-q", "-j", "2", List("list.txt", list)});
  const auto took = Clock::now() - start;
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out), 402u);  // with the header line
  EXPECT_LT(took, 1100ms) << "a wait of a second with nothing under way";
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

TEST_F(ExtractHostileInputTest, OutputGoesIntoDevicesAndThroughLinksAndNeverOverReadOnlyFiles) {
  const std::string list = List("l.txt", Url("/page") + "\n");
  // As root a failure here would replace the device node: use a private copy of
  // /dev/null then, never the machine's own.
  // (Where no device node can be made, only the named pipe below is tried.)
  std::string device = "/dev/null";
  if (::geteuid() == 0) {
    device = dir_.path() + "/null";
    if (::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) device.clear();
  }
  Finished r;
  struct stat st {};
  if (!device.empty()) {
    r = RunProgram({Program(), "-q", "-o", device, list});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(::stat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));  // still the device
  }

  const std::string fifo = dir_.path() + "/rows";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string through_fifo;
  std::thread reader([&] { through_fifo = ReadAll(fifo); });
  r = RunProgram({Program(), "-q", "-o", fifo, list});
  reader.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(through_fifo.find(Url("/page") + "\tT"), std::string::npos);
  ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  const std::string target = dir_.File("real.tsv", "old");
  const std::string link = dir_.path() + "/link.tsv";
  std::filesystem::create_symlink(target, link);
  r = RunProgram({Program(), "-q", "-o", link, list});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_NE(ReadAll(target).find(Url("/page") + "\tT"), std::string::npos);

  const std::string locked = dir_.File("locked.tsv", "keep me");
  ::chmod(locked.c_str(), 0444);
  r = RunProgram({Program(), "-q", "-o", locked, list});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("read-only"), std::string::npos) << r.err;
  EXPECT_EQ(ReadAll(locked), "keep me");
  r = RunProgram({Program(), "-q", "-o", dir_.path(), list});
  EXPECT_EQ(r.status, 2);
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

TEST_F(ExtractHostileInputTest, ASignalDuringTheRunLeavesNoTemporaryFile) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    TempDir out_dir;
    const std::string list = List("l.txt", Url("/page") + "\n" + Url("/hang") + "\n");
    const pid_t pid = ::fork();
    if (pid == 0) {
      const std::string out = out_dir.path() + "/out.tsv";
      ::execl(Program().c_str(), Program().c_str(), "-q", "-o", out.c_str(), list.c_str(), nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 100 && EntriesIn(out_dir.path()) == 0; ++i)
      std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(EntriesIn(out_dir.path()), 1u);  // the temporary file, while it runs
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(EntriesIn(out_dir.path()), 0u);
  }
}

TEST_F(ExtractHostileInputTest, ControlCharactersInAddressesAreShownEscaped) {
  const auto r =
      RunProgram({Program(), "-q", List("l.txt", "http://127.0.0.1:1/\x1b]0;owned\x07\n")}, "");
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  EXPECT_NE(r.err.find("\\x1b]0;owned\\x07"), std::string::npos) << r.err;
}

TEST_F(ExtractHostileInputTest, NoLocalFilesFetchesEveryAddressOverTheNetwork) {
  const std::string page = dir_.File("secret.htm", "<title>secret</title>");
  const auto r = RunProgram({Program(), "-q", "--no-local-files", List("l.txt", page + "\n")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("secret\t"), std::string::npos) << r.out;
}

TEST_F(ExtractHostileInputTest, FileLimitsAreRaisedOrTheJobsFitted) {
  std::string list;
  for (int i = 0; i < 600; ++i) list += Url("/page?" + std::to_string(i)) + "\n";
  const std::string file = List("l.txt", list);
  // A low soft limit is raised to the hard one.
  auto r = Shell("ulimit -S -n 256 && exec $P -q -f jsonl -j 1000 --per-host 1000 '" + file + "'");
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 300);
  EXPECT_EQ(Lines(r.out), 600u);
  // A low hard limit: said once, and every page still comes.
  r = Shell("ulimit -n 256 && exec $P -q -f jsonl -j 1000 --per-host 1000 '" + file + "'");
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 300);
  EXPECT_EQ(Lines(r.out), 600u);
  EXPECT_NE(r.err.find("using -j 64"), std::string::npos) << r.err.substr(0, 300);
}

TEST_F(ExtractHostileInputTest, TheTimeOutIsInSeconds) {
  const auto start = Clock::now();
  const auto r =
      RunProgram({Program(), "-q", "--timeout", "1", List("l.txt", Url("/hang") + "\n")});
  const auto took = Clock::now() - start;
  EXPECT_EQ(r.status, 1);
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 5s);
}

// An international host name, mapped to this machine; run where no name look-up can leave
// it, so that a name that was not converted fails instead of asking a resolver.
TEST(ExtractInternationalNames, AreConvertedBeforeTheyAreLookedUp) {
  const int status = RunInIsolatedNetwork([] {
    // Bring up the loopback interface of this new network.
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    ::ioctl(s, SIOCGIFFLAGS, &ifr);
    ifr.ifr_flags |= IFF_UP;
    if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0) return 3;
    ::close(s);
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

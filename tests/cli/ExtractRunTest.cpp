// The run of orvanel-extract, in process: rows in input order as they are ready, failures
// named, inputs checked before anything is written, and the exit statuses of a run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <chrono>

#include "InProcess.h"
#include "Isolation.h"
#include "LoopbackServer.h"
#include "TempDir.h"
#include "TextFiles.h"
#include "TlsServer.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ExtractRunTest : public ::testing::Test {
 protected:
  ExtractRunTest() {
    server_.Route("/full", [](auto&, auto& c) { c.Respond(200, "<title>Full</title>"); });
    server_.Route("/gone", [](auto&, auto& c) { c.Respond(404, ""); });
    server_.Route("/hang", [](auto&, auto& c) { c.Sleep(20'000); });
    server_.Route("/delay", [](auto& req, auto& c) {
      const int ms = std::atoi(req.path.substr(req.path.find('=') + 1).c_str());
      c.Sleep(ms);
      c.Respond(200, "<title>" + std::to_string(ms) + "</title>");
    });
  }
  LoopbackServer server_;
  TempDir dir_;
};

TEST_F(ExtractRunTest, RowsFollowTheInputOrderWhateverTheDelays) {
  std::string input;
  std::string expected = "URL(s)\tTitle\tKeywords\tDescription\t\r\n";
  for (int i = 0; i < 24; ++i) {
    const int ms = (i * 37) % 5 * 40;
    const std::string url =
        server_.Url("/delay?ms=" + std::to_string(ms)) + "&i=" + std::to_string(i);
    input += url + "\n";
    expected += url + "\t" + std::to_string(ms) + "\t\t\t\r\n";
  }
  const auto r = RunInProcess({"-q", "-j", "8"}, input, InputKind::kPipe);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
}

TEST_F(ExtractRunTest, FailuresAreNamedInOrderAndTheSummaryCountsThem) {
  const std::string refused = "http://127.0.0.1:" + std::to_string(FreePort()) + "/x";
  const auto r = RunInProcess(
      {}, server_.Url("/gone") + "\n\n" + server_.Url("/full") + "\n" + refused + "\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.substr(0, r.err.find("orvanel-extract: ")),
            "URL " + server_.Url("/gone") + " cannot be extracted.\nURL " + refused +
                " cannot be extracted.\n");
  EXPECT_NE(
      r.err.find("orvanel-extract: 3 addresses, 3 rows, 1 fetched, 2 failed (http 1, refused 1), "
                 "19 bytes read, "),
      std::string::npos)
      << r.err;
  EXPECT_EQ(CountLines(r.out), 4u);  // the header and three rows
}

TEST_F(ExtractRunTest, TheStatusSaysWhetherTheRunFinishedAndHow) {
  const std::string good = server_.Url("/full") + "\n";
  const std::string gone = server_.Url("/gone") + "\n";
  EXPECT_EQ(RunInProcess({"-q"}, good).status, 0);
  EXPECT_EQ(RunInProcess({"-q"}, good + gone).status, 1);
  EXPECT_EQ(RunInProcess({"-q", "--finished-ok"}, good + gone).status, 0);
  EXPECT_EQ(RunInProcess({"-q", "--finished-ok", "--bogus"}, good).status, 2);
  // Unfinished: the output cannot be written, or the input not read to its end.
  EXPECT_EQ(RunInProcess({"-q", "--finished-ok", "-o", "/dev/full"}, good).status, 3);
  const auto r = RunInProcess({"-q", "--finished-ok"}, good + std::string("a\0b\n", 4) + good,
                              InputKind::kPipe);
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("standard input: line 2 holds a NUL byte"), std::string::npos) << r.err;
}

TEST_F(ExtractRunTest, BlankLinesAreKeptOnlyWhenAsked) {
  const std::string list = dir_.File("list.txt", server_.Url("/full") + "\n\n");
  auto r = RunInProcess({"-q", "-f", "jsonl", list});
  EXPECT_EQ(CountLines(r.out), 1u);
  r = RunInProcess({"-q", "-f", "jsonl", "--keep-blank-lines", list});
  EXPECT_EQ(CountLines(r.out), 2u);  // "a\n\n" is a and "", as the window reads it
  EXPECT_NE(r.out.find("{\"url\":\"\","), std::string::npos);
}

TEST_F(ExtractRunTest, EveryInputIsCheckedBeforeAnythingIsWritten) {
  const std::string out = dir_.File("out.tsv", "previous results");
  const std::string good = dir_.File("good.txt", server_.Url("/full") + "\n");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-o", out, good, dir_.path() + "/missing.txt"},
           {"-o", out, good, dir_.path()},
           {"-o", out, good,
            dir_.File("nul.txt", server_.Url("/full") + "\n" + std::string("a\0b", 3))},
           {"-o", out, "-m", "tags", "--tags-file", dir_.File("empty.txt", "\n\n"), good},
           {"-o", out, "-m", "all", good}}) {
    SCOPED_TRACE(args.back());
    const auto r = RunInProcess(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
    EXPECT_EQ(ReadAll(out), "previous results");
  }
  auto r = RunInProcess({"-q", good, dir_.File("nul2.txt", std::string("x\n\0", 3))});
  EXPECT_NE(r.err.find("nul2.txt: line 2 holds a NUL byte"), std::string::npos) << r.err;
  // A block device is no list, and is not read through. Made here where we may.
  const std::string disk = dir_.path() + "/disk";
  if (::mknod(disk.c_str(), S_IFBLK | 0600, ::makedev(7, 0)) == 0) {
    const int fd = ::open(disk.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      r = RunInProcess({"-o", out, good, disk});
      EXPECT_EQ(r.status, 2);
      EXPECT_NE(r.err.find("disk: it is a block device"), std::string::npos) << r.err;
      EXPECT_EQ(ReadAll(out), "previous results");
    }
  }
}

// Standard input is read from where it stands, not from the start of its file.
TEST_F(ExtractRunTest, StandardInputIsReadFromWhereItStands) {
  const auto r =
      RunInProcess({"-q", "-f", "jsonl"}, "taken already\n" + server_.Url("/full") + "\n",
                   InputKind::kFileAfterItsFirstLine);
  EXPECT_EQ(r.out.rfind("{\"url\":\"" + server_.Url("/full") + "\",", 0), 0u) << r.out;
  EXPECT_EQ(CountLines(r.out), 1u);
}

TEST_F(ExtractRunTest, TheOutputFileIsReplacedWholeAtTheEnd) {
  const std::string out = dir_.File("out.tsv", "previous results");
  ::chmod(out.c_str(), 0640);
  const auto r = RunInProcess({"-q", "-o", out}, server_.Url("/full") + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadAll(out), "URL(s)\tTitle\tKeywords\tDescription\t\r\n" + server_.Url("/full") +
                              "\tFull\t\t\t\r\n");
  struct stat st {};
  ::stat(out.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(EntriesIn(dir_.path()).size(), 1u);
}

TEST_F(ExtractRunTest, AnyAcceptedJobCountWorksOverALongList) {
  const std::string page = dir_.File("page.htm", "<title>local</title>");
  std::string list;
  for (int i = 0; i < 5000; ++i) list += page + "\n";
  for (const char* jobs : {"1", "1000", "4096"}) {
    const auto r = RunInProcess({"-q", "-f", "jsonl", "-j", jobs}, list);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CountLines(r.out), 5000u) << jobs;
  }
}

// A window of transfers that ends all at once, with many more addresses read and waiting,
// goes straight on to the next ones: it does not wait for a transfer that is not there.
TEST_F(ExtractRunTest, AWindowThatEndsAtOnceGoesStraightOnToTheNextAddresses) {
  const std::string page = dir_.File("page.htm", "<title>local</title>");
  // -j 2: a window of 80 addresses; the first is slow, the rest are done meanwhile, and
  // the whole list is read at once. Timed against the same list led by a quick page, so
  // that a slow machine slows both: the slow one takes its 300 ms more, not a second.
  auto run = [&](const std::string& first) {
    std::string list = first + "\n";
    for (int i = 0; i < 400; ++i) list += page + "\n";
    const auto start = Clock::now();
    const auto r = RunInProcess({"-q", "-j", "2"}, list);
    const auto took = Clock::now() - start;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CountLines(r.out), 402u);  // with the header line
    return took;
  };
  const auto quick = run(server_.Url("/full"));
  const auto slow = run(server_.Url("/delay?ms=300"));
  EXPECT_LT(slow - quick, 900ms) << "a wait of a second with nothing under way";
}

// -j pages are fetched at once: each page here is answered only once four requests have
// come (or, should they never come, after 20 s, as "alone").
TEST_F(ExtractRunTest, AsManyPagesAsJobsAreFetchedAtOnce) {
  std::atomic<int> arrived{0};
  server_.Route("/meet", [&](auto&, auto& c) {
    ++arrived;
    for (int i = 0; i < 2000 && arrived < 4; ++i) c.Sleep(10);
    c.Respond(200, arrived >= 4 ? "<title>met</title>" : "<title>alone</title>");
  });
  std::string list, expected;
  for (int i = 0; i < 4; ++i) {
    const std::string url = server_.Url("/meet?" + std::to_string(i));
    list += url + "\n";
    expected += url + "\tmet\t\t\t\r\n";
  }
  const auto r = RunInProcess({"-q", "-j", "4", "--per-host", "4"}, list);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "URL(s)\tTitle\tKeywords\tDescription\t\r\n" + expected);
}

TEST_F(ExtractRunTest, TheTimeOutIsInSeconds) {
  const auto start = Clock::now();
  const auto r = RunInProcess({"-q", "--timeout", "1"}, server_.Url("/hang") + "\n");
  const auto took = Clock::now() - start;
  EXPECT_EQ(r.status, 1);
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 15s);
}

// Run where no look-up can leave the machine: a path's first folder becomes a host name.
TEST(ExtractNoLocalFiles, FetchesEveryAddressOverTheNetwork) {
  TempDir dir;
  const std::string page = dir.File("secret.htm", "<title>secret</title>");
  const int status = RunInIsolatedNetwork([&] {
    const auto r = RunInProcess({"-q", "-f", "jsonl", "--no-local-files"}, page + "\n");
    return r.status == 1 && r.out.find("\"title\":\"secret\"") == std::string::npos ? 0 : 1;
  });
  if (status < 0) GTEST_SKIP() << "no network namespace can be made here";
  EXPECT_EQ(status, 0);
}

TEST_F(ExtractRunTest, ControlCharactersInAddressesAreShownEscaped) {
  const std::string refused = "http://127.0.0.1:" + std::to_string(FreePort());
  const auto r = RunInProcess({"-q"}, refused +
                                          "/\x1b]0;owned\x07\xC2\x9B"
                                          "31m\n");
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.err.find("\xC2\x9B"), std::string::npos);
  EXPECT_NE(r.err.find("\\x1b]0;owned\\x07\\u009b31m"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace orvanel

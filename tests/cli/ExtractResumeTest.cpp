// --resume: a run killed at any moment and resumed ends with the file an uninterrupted run
// writes, byte for byte; a file that does not belong to the input is left alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "LoopbackServer.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "TextFiles.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

std::string Program() { return ExtractProgram(); }

class ExtractResumeTest : public ::testing::Test {
 protected:
  // 20,000 addresses: local pages (a loopback server here would need a thread for each of
  // 20,000 connections), one in a hundred on the loopback server, one in fifty a path
  // that is no page (it fails).
  ExtractResumeTest() {
    server_.Route("/page",
                  [](auto&, auto& c) { c.Respond(200, "<head><title>Served</title></head>"); });
    for (int i = 0; i < 100; ++i) {
      dir_.File("page-" + std::to_string(i) + ".htm",
                "<head><title>Page " + std::to_string(i) +
                    "</title><meta name=\"keywords\" content=\"k" + std::to_string(i) +
                    "\"></head>");
    }
    std::string list;
    ::mkfifo((dir_.path() + "/not-a-page").c_str(), 0600);
    for (int i = 0; i < 20'000; ++i) {
      list += (i % 100 == 99 ? server_.Url("/page?n=" + std::to_string(i))
               : i % 50 == 7 ? dir_.path() + "/not-a-page"
                             : dir_.path() + "/page-" + std::to_string(i % 100) + ".htm") +
              "\n";
    }
    list_ = dir_.File("list.txt", list);
  }
  LoopbackServer server_;
  TempDir dir_;
  std::string list_;
};

TEST_F(ExtractResumeTest, KilledTenTimesAndResumedItEndsAsOneRunWould) {
  for (const std::string format : {"jsonl", "tsv"}) {
    SCOPED_TRACE(format);
    const std::string reference = dir_.path() + "/reference." + format;
    const std::string reference_failures = dir_.path() + "/reference-failed.txt";
    const auto whole = RunProgram(
        {Program(), "-q", "-f", format, "-o", reference, "--failures", reference_failures, list_});
    ASSERT_EQ(whole.status, 1) << whole.err;
    const std::string out = dir_.path() + "/resumed." + format;
    // In jsonl the failures file covers the whole run; until a run finishes, it stays the
    // older one. (A tsv does not say which of its rows failed.)
    const bool failures = format == "jsonl";
    const std::string failed = dir_.File("failed.txt", "from an older run\n");
    std::vector<std::string> args{Program(), "-q", "-f", format, "--resume", "-o", out};
    if (failures) args.insert(args.end(), {"--failures", failed});
    args.push_back(list_);
    std::mt19937 random(7);
    std::set<std::size_t> sizes;  // of the file after each kill: the runs did get on
    std::size_t last_size = 0;
    bool finished = false;
    for (int kill = 0; kill < 10; ++kill) {
      const pid_t pid = StartInBackground(
          {Program(), "-q", "-f", format, "--resume", "-o", out, list_}, {}, true);
      // Killed once it has written something more, at a random moment soon after.
      auto size = [&] {
        std::error_code ec;
        const auto n = std::filesystem::file_size(out, ec);
        return ec ? std::size_t{0} : static_cast<std::size_t>(n);
      };
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      bool ended = false;
      while (!ended && size() <= last_size && std::chrono::steady_clock::now() < deadline) {
        ended = ::waitpid(pid, nullptr, WNOHANG) == pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (!ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
      last_size = size();
      sizes.insert(last_size);
      finished = finished || ended;
      if (failures && !finished) {
        EXPECT_EQ(ReadAll(failed), "from an older run\n");
      }
      for (const auto& name : EntriesIn(dir_.path())) {
        EXPECT_NE(name[0], '.') << "a temporary file was left: " << name;
      }
    }
    EXPECT_GE(sizes.size(), 3u);
    const auto last = RunProgram(args);
    ASSERT_EQ(last.status, 1) << last.err;
    EXPECT_TRUE(ReadAll(out) == ReadAll(reference)) << "the resumed file differs";
    if (failures) {
      EXPECT_TRUE(ReadAll(failed) == ReadAll(reference_failures));
    }
    std::filesystem::remove(failed);
    std::filesystem::remove(reference_failures);
  }
}

TEST_F(ExtractResumeTest, AFileOfAnotherListIsLeftAlone) {
  const std::string out =
      dir_.File("other.jsonl", "{\"url\":\"http://elsewhere.test/\",\"checked\":true}\n");
  const auto r = RunProgram({Program(), "-q", "-f", "jsonl", "--resume", "-o", out, list_});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("line 1 is not the row of address 1"), std::string::npos) << r.err;
  EXPECT_EQ(ReadAll(out), "{\"url\":\"http://elsewhere.test/\",\"checked\":true}\n");
  EXPECT_EQ(RunProgram({Program(), "-q", "--resume", list_}).status, 2);  // needs -o
  EXPECT_EQ(RunProgram({Program(), "-q", "-m", "head", "--resume", "-o", out, list_}).status,
            2);  // tsv head
}

}  // namespace
}  // namespace orvanel

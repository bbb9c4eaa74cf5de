// The recipes of the README's "Long runs" section that need no other machine, run as
// printed: a resumed run killed with -9, the failures tried again, pieces over processes of
// one machine; and the section and the man page's LONG RUNS print the same commands, each
// one that a test runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "RecipeSupport.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

std::string Program() { return BinaryDir() + "/orvanel-extract"; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

constexpr const char* kFailed = "\"reason\":\"";  // in the row of an address that failed

std::string Url(const std::string& row) {
  const auto start = row.find("\"url\":\"") + 7;
  return row.substr(start, row.find('"', start) - start);
}

// The addresses whose rows say why they failed, in list order, a line each.
std::string FailedAddresses(const std::string& rows) {
  std::string failed;
  for (const auto& row : Lines(rows)) {
    if (row.find(kFailed) != std::string::npos) failed += Url(row) + "\n";
  }
  return failed;
}

TEST(RecipesDocs, TheSectionAndTheManPagePrintTheCommandsThatTestsRun) {
  const auto commands = ReadmeCommands();
  ASSERT_FALSE(commands.empty()) << "no code in the README's \"Long runs\" section";
  for (const auto& command : commands) {
    bool tested = false;
    for (const auto& fragments : recipes::kAll) tested = tested || Matches(command, fragments);
    EXPECT_TRUE(tested) << "no test runs this command of the README: " << command;
  }
  for (const auto& fragments : recipes::kAll) Recipe(fragments);  // each names one command
  std::vector<std::string> man;
  for (const auto& block : ManBlocks()) {
    for (auto& c : Commands(block)) man.push_back(c);
  }
  EXPECT_EQ(man, commands) << "the man page's LONG RUNS and the README's \"Long runs\" differ";
  // The shard script is printed whole, its first line the interpreter's.
  bool script = false;
  for (const auto& block : ReadmeBlocks())
    script = script || block.rfind("#!/bin/sh\n#SBATCH", 0) == 0;
  EXPECT_TRUE(script) << "no shard script in the README";
}

class RecipesLocalTest : public ::testing::Test {
 protected:
  RecipesLocalTest() { AdoptOrphans(); }
  ~RecipesLocalTest() override { EndEverythingStarted(pages_.Pid()); }

  // One uninterrupted run of the whole list, the rows every recipe must end with.
  std::string PlainRun(const std::string& list, std::vector<std::string> options = {}) {
    std::vector<std::string> argv{Program(), "-q", "-f", "jsonl"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(list);
    const auto run = RunProgram(argv);
    EXPECT_EQ(run.status, 1) << run.err;  // some addresses fail
    return run.out;
  }

  TempDir dir_;
  PageServer pages_{dir_.path(), 100};
};

TEST_F(RecipesLocalTest, AResumedRunKilledWithNineEndsWithEveryRowAndEveryFailure) {
  ASSERT_TRUE(pages_.Running());
  const std::string list = dir_.File("sites.txt", pages_.List(600));
  const std::string plain = PlainRun(list, {"--host-errors", "0"});
  const std::string resume = EveryAddressTried(Recipe(recipes::kResume));
  const std::string results = dir_.path() + "/results.jsonl";
  // Killed once rows with a failure among them are on disk, and once more later.
  for (const int failed_rows : {1, 6}) {
    const pid_t run = StartInBackground(InFolder(dir_.path(), "exec " + resume), {}, true);
    const bool written = WaitUntil(
        [&] {
          const auto rows = ReadAll(results);
          std::size_t failed = 0;
          for (auto at = rows.find(kFailed); at != std::string::npos;
               at = rows.find(kFailed, at + 1))
            ++failed;
          return failed >= static_cast<std::size_t>(failed_rows) ||
                 ::waitpid(run, nullptr, WNOHANG) == run;
        },
        120);
    ASSERT_TRUE(written) << "no rows written in two minutes";
    ::kill(run, SIGKILL);
    ::waitpid(run, nullptr, 0);
  }
  ASSERT_LT(Lines(ReadAll(results)).size(), 600u) << "the run ended before it was killed";
  const auto last = RunProgram(InFolder(dir_.path(), resume));
  EXPECT_EQ(last.status, 1) << last.err;
  const std::string resumed = ReadAll(results);
  EXPECT_TRUE(resumed == plain) << "the resumed rows differ from one plain run, "
                                << FirstDifference(resumed, plain);
  const std::string failed = FailedAddresses(plain);
  ASSERT_EQ(Lines(failed).size(), 24u);
  EXPECT_EQ(ReadAll(dir_.path() + "/failed.txt"), failed);

  const auto retried =
      RunProgram(InFolder(dir_.path(), EveryAddressTried(Recipe(recipes::kRetryFailures))));
  EXPECT_EQ(retried.status, 1) << retried.err;
  std::string urls;
  for (const auto& row : Lines(ReadAll(dir_.path() + "/retried.jsonl"))) urls += Url(row) + "\n";
  EXPECT_EQ(urls, failed);
}

TEST_F(RecipesLocalTest, PiecesOverProcessesComeOutInListOrder) {
  if (!Installed("parallel")) GTEST_SKIP() << "GNU parallel is not installed (package parallel)";
  ASSERT_TRUE(pages_.Running());
  dir_.File("all-sites.txt", pages_.List(1200));
  const std::string plain = PlainRun(dir_.path() + "/all-sites.txt", {"--host-errors", "0"});
  const std::string recipe = SmallPieces(Recipe(recipes::kOneMachine));
  const auto run = RunProgram(InFolder(dir_.path(), EveryAddressTried(recipe)));
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string joined = ReadAll(dir_.path() + "/all-results.jsonl");
  EXPECT_TRUE(joined == plain) << "rows out of order or missing, "
                               << FirstDifference(joined, plain);
}

TEST_F(RecipesLocalTest, APieceThatDidNotFinishIsCountedAndItsRowsAreMissing) {
  if (!Installed("parallel")) GTEST_SKIP() << "GNU parallel is not installed (package parallel)";
  ASSERT_TRUE(pages_.Running());
  // Line 250 is too long to be an address: its piece, the third, stops with status 2.
  std::string list;
  for (int i = 0; i < 400; ++i)
    list += (i == 249 ? std::string(70'000, 'x') : pages_.Address(i * 4)) + "\n";
  dir_.File("all-sites.txt", list);
  const auto run = RunProgram(InFolder(dir_.path(), SmallPieces(Recipe(recipes::kOneMachine))));
  EXPECT_EQ(run.status, 1) << "one piece did not finish\n" << run.err;
  // The third piece is read as it arrives: rows for addresses before line 250 may have
  // been written before the long line was reached, never one after it.
  const auto rows = Lines(ReadAll(dir_.path() + "/all-results.jsonl"));
  ASSERT_GE(rows.size(), 300u);
  ASSERT_LT(rows.size(), 300u + 49u);
  const std::size_t third = rows.size() - 300;
  for (std::size_t i = 0; i < 200 + third; ++i)
    ASSERT_EQ(Url(rows[i]), pages_.Address(static_cast<int>(i) * 4)) << "row " << i;
  for (std::size_t i = 0; i < 100; ++i)
    ASSERT_EQ(Url(rows[200 + third + i]), pages_.Address(static_cast<int>(300 + i) * 4))
        << "row " << 200 + third + i;
}

TEST_F(RecipesLocalTest, EachProcessCountsHostErrorsAndConnectionsForItself) {
  if (!Installed("parallel")) GTEST_SKIP() << "GNU parallel is not installed (package parallel)";
  ASSERT_TRUE(pages_.Running());
  dir_.File("all-sites.txt", pages_.List(1200));
  // Split, a dead host's 24 addresses are 2 to a piece: every one is tried and refused.
  // In one process, the host is given up after 10.
  const std::string plain = PlainRun(dir_.path() + "/all-sites.txt");
  const auto run = RunProgram(InFolder(dir_.path(), SmallPieces(Recipe(recipes::kOneMachine))));
  ASSERT_EQ(run.status, 0) << run.err;
  const auto split = Lines(ReadAll(dir_.path() + "/all-results.jsonl"));
  const auto whole = Lines(plain);
  ASSERT_EQ(split.size(), whole.size());
  int skipped_whole = 0, skipped_split = 0, differing = 0;
  for (std::size_t i = 0; i < whole.size(); ++i) {
    skipped_whole += whole[i].find("\"skipped-host\"") != std::string::npos;
    skipped_split += split[i].find("\"skipped-host\"") != std::string::npos;
    if (split[i] != whole[i]) {
      ++differing;
      EXPECT_EQ(i % 50, 13u) << "a row of a live host differs: " << split[i];
    }
  }
  EXPECT_EQ(skipped_whole, 14);
  EXPECT_EQ(skipped_split, 0);
  EXPECT_GE(differing, 14);
}

TEST_F(RecipesLocalTest, EachProcessKeepsItsOwnLimitOfConnectionsToAHost) {
  if (!Installed("parallel")) GTEST_SKIP() << "GNU parallel is not installed (package parallel)";
  ASSERT_TRUE(pages_.Running());
  // Slow pages of one host, four processes of at most 2 connections each.
  std::string list;
  for (int i = 0; i < 400; ++i) list += pages_.Address(4 * i + 1) + "\n";
  dir_.File("all-sites.txt", list);
  const std::string recipe = SmallPieces(Recipe(recipes::kOneMachine));
  const auto run = RunProgram(
      InFolder(dir_.path(), Replaced(recipe, "orvanel-extract ", "orvanel-extract --per-host 2 ")));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_GE(pages_.Peak(), 6) << "the processes' connections did not add up";
}

TEST_F(RecipesLocalTest, EachProcessKeepsItsOwnDelayBetweenRequestsToAHost) {
  if (!Installed("parallel")) GTEST_SKIP() << "GNU parallel is not installed (package parallel)";
  // Two pieces of 5 pages of one host, a second apart in each process.
  std::string list;
  for (int i = 0; i < 10; ++i) list += pages_.Address(4 * i) + "\n";
  dir_.File("all-sites.txt", list);
  const std::string recipe = Replaced(Recipe(recipes::kOneMachine), "10000", "5");
  const auto one = RunProgram({Program(), "-q", "--delay", "1000", dir_.path() + "/all-sites.txt"});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_GE(pages_.ShortestGapMs(), 800) << "one process did not keep its delay";
  PageServer pages(dir_.path() + "/two", 0);
  list.clear();
  for (int i = 0; i < 10; ++i) list += pages.Address(4 * i) + "\n";
  dir_.File("all-sites.txt", list);
  const auto two = RunProgram(
      InFolder(dir_.path(), Replaced(recipe, "orvanel-extract ", "orvanel-extract --delay 1000 ")));
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_LT(pages.ShortestGapMs(), 700) << "two processes kept one delay between them";
}

}  // namespace
}  // namespace orvanel

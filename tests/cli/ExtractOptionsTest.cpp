// The command line of orvanel-extract, read in process: bounds, refusals, and --help made
// from the options structures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "TempDir.h"
#include "cli/OptionTable.h"
#include "cli/Options.h"
#include "lists/TagList.h"

namespace orvanel {
namespace {

using testing::TempDir;

CommandLine Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "orvanel-extract");
  return ParseCommandLine(args);
}

bool Refused(const std::vector<std::string>& args) {
  return Parse(args).action == CommandLine::Action::kUsageError;
}

TEST(ExtractOptions, NumbersAreTakenUpToTheirDocumentedBounds) {
  EXPECT_EQ(Parse({"-j", "4096"}).options.fetch.max_transfers, 4096);  // the maximum itself
  EXPECT_TRUE(Refused({"-j", "4097"}));
  EXPECT_TRUE(Refused({"-j", "0"}));
  EXPECT_TRUE(Refused({"-j", "12x"}));
  EXPECT_EQ(Parse({"--per-host", "1024"}).options.fetch.max_per_host, 1024);
  EXPECT_EQ(Parse({"--timeout", "2"}).options.fetch.timeout_ms, 2000);
  EXPECT_EQ(Parse({"--connect-timeout", "3"}).options.fetch.connect_timeout_ms, 3000);
  // No time-out of 0: libcurl would read it as none at all.
  EXPECT_TRUE(Refused({"--timeout", "0"}));
  EXPECT_TRUE(Refused({"--connect-timeout", "0"}));
  EXPECT_EQ(Parse({"--memory", "16"}).options.fetch.memory_budget, 16u << 20);
  EXPECT_TRUE(Refused({"--memory", "15"}));
  EXPECT_EQ(Parse({"--host-errors", "0"}).options.fetch.host_errors, 0);
}

TEST(ExtractOptions, DelayIsMillisecondsBetweenRequestsToOneHost) {
  EXPECT_EQ(Parse({}).options.fetch.host_delay_ms, 0);
  EXPECT_FALSE(Refused({"--delay", "0"}));
  EXPECT_EQ(Parse({"--delay", "0"}).options.fetch.host_delay_ms, 0);
  EXPECT_EQ(Parse({"--delay", "250"}).options.fetch.host_delay_ms, 250);
  EXPECT_EQ(Parse({"--delay", "600000"}).options.fetch.host_delay_ms, 600'000);
  EXPECT_TRUE(Refused({"--delay", "600001"}));
  EXPECT_TRUE(Refused({"--delay", "-1"}));
  EXPECT_TRUE(Refused({"--delay"}));
}

TEST(ExtractOptions, AnEmptyFileNameIsRefusedByName) {
  EXPECT_EQ(Parse({"-o", ""}).error, "empty output file name");
  EXPECT_EQ(Parse({"--failures", ""}).error, "empty file name for --failures");
}

TEST(ExtractOptions, TextThatGoesIntoRequestHeadersHoldsNoLineBreak) {
  for (const std::string bad : {"X-A: 1\r\nX-B: 2", "X-A: 1\nX-B: 2", "X-A: 1\r"}) {
    EXPECT_TRUE(Refused({"-H", bad})) << bad;
    EXPECT_TRUE(Refused({"--user-agent", "agent/1 " + bad})) << bad;
  }
  EXPECT_TRUE(Refused({"-H", "no colon"}));
  EXPECT_TRUE(Refused({"-H", ": no name"}));
  const auto ok = Parse({"-H", "X-Api-Key: k", "--user-agent", "Mine/2"});
  EXPECT_EQ(ok.options.fetch.headers, std::vector<std::string>{"X-Api-Key: k"});
  EXPECT_EQ(ok.options.fetch.user_agent, "Mine/2");
}

// What the fetcher cannot apply to every request it names is refused, never passed on to
// be ignored (a name then asked of the system's resolver).
TEST(ExtractOptions, ResolveEntriesAreTakenOnlyWhenTheyCanBeApplied) {
  for (const std::string bad : {"a.test:80", "a.test:0:127.0.0.1", "a.test:80:localhost",
                                "-a.test:80", "a.test:80:", ":80:127.0.0.1"}) {
    EXPECT_TRUE(Refused({"--resolve", bad})) << bad;
  }
  const auto ok = Parse({"--resolve", "*:443:127.0.0.1", "--resolve", "bücher.test:80:::1"});
  EXPECT_EQ(ok.options.fetch.resolve,
            (std::vector<std::string>{"*:443:127.0.0.1", "bücher.test:80:::1"}));
}

TEST(ExtractOptions, CertificatesMustBeAReadableRegularFileAndAreNeverWaitedFor) {
  TempDir dir;
  const std::string fifo = dir.path() + "/certs.pem";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  const auto r = Parse({"--cacert", fifo});  // a writer never comes
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(r.action, CommandLine::Action::kUsageError);
  EXPECT_NE(r.error.find("not a regular file"), std::string::npos) << r.error;
  EXPECT_TRUE(Refused({"--cacert", dir.path()}));
  EXPECT_TRUE(Refused({"--cacert", "/dev/zero"}));
  EXPECT_TRUE(Refused({"--cacert", dir.path() + "/none.pem"}));
  const std::string pem = dir.File("ca.pem", "-----BEGIN CERTIFICATE-----\n");
  EXPECT_EQ(Parse({"--cacert", pem}).options.fetch.ca_file, pem);
}

TEST(ExtractOptions, HelpAndVersionAreActionsForTheCaller) {
  EXPECT_EQ(Parse({"-q", "--help", "--bogus"}).action, CommandLine::Action::kHelp);
  EXPECT_EQ(Parse({"-V"}).action, CommandLine::Action::kVersion);
  const auto bad = Parse({"--bogus"});
  EXPECT_EQ(bad.action, CommandLine::Action::kUsageError);
  EXPECT_EQ(bad.error, "unknown option --bogus");
  EXPECT_EQ(Parse({"-f"}).error, "option -f needs a value");
  // A second parse in one process starts afresh.
  EXPECT_EQ(Parse({"a.txt", "b.txt"}).options.files, (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(Parse({}).options.files, std::vector<std::string>{"-"});
}

// A tag given in a Latin-1 terminal is read as the list files are: text that is not
// UTF-8 is windows-1252.
TEST(ExtractOptions, TagsAreTakenAsUtf8Text) {
  EXPECT_EQ(Parse({"-m", "tags", "-t", "caf\xE9", "-t", "caf\xC3\xA9"}).options.tags,
            (std::vector<std::string>{"caf\xC3\xA9", "caf\xC3\xA9"}));
}

TEST(ExtractOptions, CombinationsThatCannotWorkAreRefused) {
  EXPECT_TRUE(Refused({"--resume"}));                                // no -o
  EXPECT_TRUE(Refused({"--resume", "-o", "x", "-m", "head"}));       // tsv in mode head
  EXPECT_TRUE(Refused({"--resume", "-o", "x", "--failures", "f"}));  // tsv and failures
  EXPECT_FALSE(Refused({"--resume", "-o", "x", "--failures", "f", "-f", "jsonl"}));
  EXPECT_FALSE(Refused({"--resume", "-o", "x", "-m", "head", "-f", "jsonl"}));
  EXPECT_TRUE(Parse({"--finished-ok"}).options.finished_ok);
  // Tag entries in a mode that reads none, wherever -m comes.
  EXPECT_TRUE(Refused({"-t", "<h1></h1>"}));
  EXPECT_TRUE(Refused({"-t", "<h1></h1>", "-m", "head"}));
  TempDir dir;
  const std::string tags = dir.File("tags.txt", "<h1></h1>\n");
  const CommandLine refused = Parse({"-m", "title-meta", "--tags-file", tags});
  EXPECT_EQ(refused.action, CommandLine::Action::kUsageError);
  EXPECT_NE(refused.error.find("are for -m tags"), std::string::npos) << refused.error;
  EXPECT_FALSE(Refused({"--tags-file", tags, "-m", "tags"}));
  EXPECT_FALSE(Refused({"-t", "<h1></h1>", "-m", "tags"}));
  EXPECT_FALSE(Refused({"-m", "head"}));
}

TEST(ExtractOptions, TheHelpShowsTheDefaultsOfTheOptionsStructures) {
  const std::string help = UsageText();
  const Options d;
  for (const std::string& expected :
       {"(default " + std::to_string(d.fetch.max_transfers) + ", at most 4096)",
        "one host (default " + std::to_string(d.fetch.max_per_host) + ")",
        "time-out (default " + std::to_string(d.fetch.timeout_ms / 1000) + ")",
        "connection (default " + std::to_string(d.fetch.connect_timeout_ms / 1000) + ")",
        "MiB, " + std::to_string(kMinMemoryMib) + " to " + std::to_string(kMaxMemoryMib) +
            " (default " + std::to_string(d.fetch.memory_budget >> 20) + ")",
        "count (default " + std::to_string(d.fetch.host_errors) + ";",
        "\"" + d.fetch.user_agent + "\"", "\"" + DefaultTags()[0] + "\"",
        std::string("title-meta (default)")}) {
    EXPECT_NE(help.find(expected), std::string::npos) << expected;
  }
  // Lists read as prose, wherever the lines wrap them.
  std::string flat;
  for (std::size_t i = 0; i < help.size(); ++i) {
    if (help[i] != '\n') {
      flat += help[i];
      continue;
    }
    flat += ' ';
    while (i + 1 < help.size() && help[i + 1] == ' ') ++i;
  }
  EXPECT_NE(flat.find(" head, title-meta (default) or tags "), std::string::npos) << flat;
  EXPECT_NE(flat.find("(default: \"<title></title>\" and \"keywords\")"), std::string::npos);
  for (const auto& entry : KnownOptions()) {
    EXPECT_NE(help.find(std::string("--") + entry.name), std::string::npos) << entry.name;
  }
  for (const char* status : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  141 "}) {
    EXPECT_NE(help.find(status), std::string::npos) << status;
  }
  std::size_t start = 0;
  for (std::size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 90u) << help.substr(start, end - start);
  }
}

}  // namespace
}  // namespace orvanel

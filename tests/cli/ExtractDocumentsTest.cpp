// Every orvanel-extract command that --help, the man page and the README's companion
// section show, run as written (in a folder with the files they name), and the options and
// exit statuses each of them documents.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "LoopbackServer.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "TextFiles.h"
#include "cli/OptionTable.h"
#include "cli/Options.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

std::string SourceFile(const std::string& relative) {
  return ReadAll(std::string(ORVANEL_SOURCE_DIR) + "/" + relative);
}

// The README's section of the companion, up to the next section.
std::string CompanionSection() {
  const std::string readme = SourceFile("README.md");
  const auto start = readme.find("## The command-line companion");
  return readme.substr(start, readme.find("\n## ", start + 1) - start);
}

// The man page as text: roff's escapes of "-" and "\" undone.
std::string ManPage() {
  std::string page = SourceFile("packaging/man/orvanel-extract.1");
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"\\-", "-"}, {"\\e", "\\"}}) {
    for (std::size_t at; (at = page.find(from)) != std::string::npos;)
      page.replace(at, from.size(), to);
  }
  return page;
}

// Command lines of a text that start with the program (indented code in the README, the
// lines of --help's and the man page's examples), continuation lines joined, comments cut.
std::vector<std::string> Commands(const std::string& text) {
  std::vector<std::string> commands;
  std::string pending;
  bool other = false;  // inside another program's command (a runner's recipe)
  for (std::string line : SplitLines(text + "\n")) {
    const auto first = line.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    line = line.substr(first);
    const bool continued = line.back() == '\\';
    if (other || (pending.empty() && line.rfind("orvanel-extract ", 0) != 0 &&
                  line.rfind("cat part-", 0) != 0)) {
      other = continued;
      continue;
    }
    pending += (pending.empty() ? "" : " ") + line;
    if (continued) {
      pending.pop_back();
      continue;
    }
    pending = pending.substr(0, pending.find("  # "));
    pending = pending.substr(0, pending.find_last_not_of(' ') + 1);
    commands.push_back(pending);
    pending.clear();
  }
  return commands;
}

class ExtractDocumentsTest : public ::testing::Test {
 protected:
  ExtractDocumentsTest() {
    server_.Route("/page", [](auto&, auto& c) {
      c.Respond(200,
                "<head><title>T</title><meta name=\"description\" content=\"d\"><h1>H</h1></head>");
    });
    std::string list;
    for (int i = 0; i < 6; ++i) list += server_.Url("/page?" + std::to_string(i)) + "\n";
    for (const char* name :
         {"sites.txt", "shop-pages.txt", "piece.txt", "part-1.txt", "part-2.txt", "big.txt"}) {
      dir_.File(name, list);
    }
  }
  // Runs one command line in the folder, with the built program first on the PATH.
  Finished Run(const std::string& command) {
    return RunProgram(
        {"/bin/sh", "-c",
         "cd '" + dir_.path() + "' && PATH='" + BinaryDir() + "':\"$PATH\" && " + command});
  }
  LoopbackServer server_;
  TempDir dir_;
};

TEST_F(ExtractDocumentsTest, EveryCommandShownRunsAsWritten) {
  std::vector<std::string> commands = Commands(CompanionSection());
  const std::string help = RunProgram({ExtractProgram(), "--help"}).out;
  for (const auto& c : Commands(help.substr(help.find("Examples:")))) commands.push_back(c);
  const std::string man = ManPage();
  for (const auto& c : Commands(man.substr(man.find(".SH EXAMPLES")))) commands.push_back(c);
  ASSERT_GE(commands.size(), 12u);
  for (const auto& command : commands) {
    SCOPED_TRACE(command);
    const auto r = Run(command);
    EXPECT_EQ(r.status, 0) << r.err;
    if (command.find("--help") != std::string::npos) {
      EXPECT_NE(r.out.find("Usage: orvanel-extract"), std::string::npos);
      continue;
    }
    if (command.find("||") != std::string::npos) {
      EXPECT_EQ(r.out, "");  // it finished
    }
    // Where the rows went: standard output, or the file named.
    const auto o = command.find(" -o ");
    const auto redirect = command.find(" > ");
    const std::string rows =
        o != std::string::npos
            ? ReadAll(dir_.path() + "/" + command.substr(o + 4, command.find(' ', o + 4) - o - 4))
        : redirect != std::string::npos ? ReadAll(dir_.path() + "/" + command.substr(redirect + 3))
                                        : r.out;
    EXPECT_GE(CountLines(rows), 6u) << rows;
  }
}

// --help's example for one machine with GNU parallel: pieces of the list, rows in list
// order as one plain run writes them.
TEST_F(ExtractDocumentsTest, TheParallelExampleOfTheHelpKeepsTheOrder) {
  if (Run("command -v parallel").status != 0) GTEST_SKIP() << "GNU parallel is not installed";
  std::string list;
  for (int i = 0; i < 40; ++i) list += server_.Url("/page?" + std::to_string(i)) + "\n";
  dir_.File("big.txt", list);
  const std::string help = RunProgram({ExtractProgram(), "--help"}).out;
  auto at = help.find("  parallel ");
  ASSERT_NE(at, std::string::npos);
  std::string command = help.substr(at + 2, help.find("\n", help.find("\n", at) + 1) - at - 2);
  command.erase(command.find("\\\n"), 2);
  // Pieces of 7 addresses, so that there are several.
  command.replace(command.find("-N 10000"), 8, "-N 7");
  const auto r = Run(command);
  EXPECT_EQ(r.status, 0) << command << "\n" << r.err;
  EXPECT_EQ(ReadAll(dir_.path() + "/out.jsonl"), Run("orvanel-extract -q -f jsonl big.txt").out);
}

TEST(ExtractDocuments, EveryOptionAndExitStatusIsInTheManPage) {
  const std::string man = ManPage();
  for (const auto& entry : KnownOptions()) {
    EXPECT_NE(man.find(std::string("\\fB--") + entry.name + "\\fR"), std::string::npos)
        << entry.name;
    if (entry.code < 256) {
      EXPECT_NE(man.find(std::string("\\fB-") + static_cast<char>(entry.code) + "\\fR, \\fB--" +
                         entry.name),
                std::string::npos)
          << entry.name;
    }
  }
  const auto exit_status = man.substr(man.find(".SH EXIT STATUS"));
  const std::string readme = CompanionSection();
  for (const char* status : {"0", "1", "2", "3", "141"}) {
    EXPECT_NE(exit_status.find(std::string(".B ") + status + "\n"), std::string::npos) << status;
    EXPECT_NE(readme.find(std::string("| ") + status + " | "), std::string::npos) << status;
  }
  for (const char* said :
       {"SIGINT, SIGTERM and SIGHUP", "--finished-ok", "--delay", "--failures"}) {
    EXPECT_NE(readme.find(said), std::string::npos) << said;
    EXPECT_NE(man.find(said), std::string::npos) << said;
  }
}

}  // namespace
}  // namespace orvanel

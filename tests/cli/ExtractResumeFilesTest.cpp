// --resume over files an interrupted run left, or that are not the list's at all, run in
// process: rows are counted as written, a torn end is cut, anything else is refused with
// the file untouched, and the failures file covers the whole run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "InProcess.h"
#include "TempDir.h"
#include "TextFiles.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

class ExtractResumeFilesTest : public ::testing::Test {
 protected:
  ExtractResumeFilesTest() {
    for (int i = 0; i < 6; ++i) {
      pages_.push_back(dir_.File("p" + std::to_string(i) + ".htm",
                                 "<title>Page " + std::to_string(i) + "</title>"));
    }
    fifo_ = dir_.path() + "/not-a-page";  // fails (no-file) without a look-up
    ::mkfifo(fifo_.c_str(), 0600);
  }
  std::string List(const std::vector<std::string>& addresses) const {
    std::string text;
    for (const auto& a : addresses) text += a + "\n";
    return dir_.File("list-" + std::to_string(++lists_) + ".txt", text);
  }
  // The file one uninterrupted run writes.
  std::string Reference(std::vector<std::string> args, const std::string& list) {
    const std::string out = dir_.path() + "/reference-" + std::to_string(++lists_);
    args.insert(args.end(), {"-q", "-o", out, list});
    const auto r = RunInProcess(args);
    EXPECT_LE(r.status, 1) << r.err;
    return ReadAll(out);
  }
  std::string Write(const std::string& name, const std::string& text) const {
    const std::string path = dir_.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  InProcessResult Resume(std::vector<std::string> args, const std::string& out,
                         const std::string& list) {
    args.insert(args.end(), {"-q", "--resume", "-o", out, list});
    return RunInProcess(args);
  }

  TempDir dir_;
  std::vector<std::string> pages_;
  std::string fifo_;
  mutable int lists_ = 0;
};

TEST_F(ExtractResumeFilesTest, ATornLastRowIsCutAndFetchedAgain) {
  for (const std::string format : {"jsonl", "tsv"}) {
    SCOPED_TRACE(format);
    const std::string list = List({pages_[0], pages_[1], pages_[2]});
    const std::string whole = Reference({"-f", format}, list);
    const auto lines = SplitLines(whole);
    ASSERT_GE(lines.size(), 3u);
    // Cut in the middle of the last row, and just before its line end.
    for (const std::size_t cut : {whole.size() - lines.back().size() / 2, whole.size() - 1}) {
      const std::string out = Write("torn." + format, whole.substr(0, cut));
      const auto r = Resume({"-f", format}, out, list);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(ReadAll(out), whole);
    }
  }
}

TEST_F(ExtractResumeFilesTest, SomeRowsOfAnAddressAreCutToo) {
  const std::string list = List({pages_[0], pages_[1]});
  const std::vector<std::string> args{"-m", "tags", "-t", "<title></title>", "-t", "keywords"};
  const std::string whole = Reference(args, list);
  const auto lines = SplitLines(whole);  // the header and two rows per address
  ASSERT_EQ(lines.size(), 5u);
  const std::string out = Write("tags.tsv", whole.substr(0, whole.size() - lines[4].size() - 1));
  EXPECT_EQ(Resume(args, out, list).status, 0);
  EXPECT_EQ(ReadAll(out), whole);
}

TEST_F(ExtractResumeFilesTest, RowsWithLineBreaksInTheirCellsAreCountedAsWritten) {
  const std::string multi = dir_.File("multi.htm", "<title>\n  Two\r\n  lines\r</title>");
  const std::string list = List({pages_[0], multi, pages_[1], pages_[2]});
  const std::string whole = Reference({}, list);
  for (std::size_t cut = whole.find(pages_[1]); cut <= whole.size(); cut += 7) {
    const std::string out = Write("multi.tsv", whole.substr(0, cut));
    const auto r = Resume({}, out, list);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(ReadAll(out), whole) << "cut at " << cut;
  }
}

TEST_F(ExtractResumeFilesTest, ATsvWithEmptyRowsOfTitleLessOrFailedPagesGoesOn) {
  const std::string bare = dir_.File("bare.htm", "<p>no title</p>");
  const std::string list = List({pages_[0], bare, fifo_, pages_[1], fifo_});
  const std::string whole = Reference({}, list);
  const auto lines = SplitLines(whole);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2], "\r");  // the empty rows
  EXPECT_EQ(lines[3], "\r");
  for (const std::size_t rows : {2u, 3u, 4u}) {
    std::size_t cut = 0;
    for (std::size_t i = 0; i <= rows; ++i) cut += lines[i].size() + 1;
    const std::string out = Write("empty-rows.tsv", whole.substr(0, cut));
    const auto r = Resume({}, out, list);
    EXPECT_EQ(r.status, 1) << r.err;  // the failed addresses fetched now
    EXPECT_EQ(ReadAll(out), whole);
  }
}

TEST_F(ExtractResumeFilesTest, FilesThatAreNotTheListsAreRefusedUntouched) {
  const std::string list = List({pages_[0], pages_[1], pages_[2]});
  const std::string jsonl = Reference({"-f", "jsonl"}, list);
  const std::string tsv = Reference({}, list);
  const std::string other_list_failed = "URL(s)\tTitle\tKeywords\tDescription\t\r\n\r\n\r\n";
  const std::string two = List({pages_[0], pages_[1]});
  struct Case {
    std::string what;
    std::string contents;
    std::string format;
    std::string list;
    std::vector<std::string> options = {};
  };
  const std::vector<std::string> h1 = {"-m", "tags", "-t", "<h1></h1>"};
  for (const Case& c : std::vector<Case>{
           {"jsonl resumed as tsv", jsonl, "tsv", list},
           {"tsv resumed as jsonl", tsv, "jsonl", list},
           {"a tsv without its header line", tsv.substr(tsv.find('\n') + 1), "tsv", list},
           {"a tsv of another mode", Reference({"-m", "tags"}, list), "tsv", list},
           {"a tsv whose rows name no address", other_list_failed, "tsv", list},
           {"a tsv whose rows name no address, one for each", other_list_failed + "\r\n", "tsv",
            list},
           {"an unrelated text", "Dear diary,\nnothing today.\n", "tsv", list},
           {"an unrelated text", "Dear diary,\nnothing today.\n", "jsonl", list},
           {"more addresses than the list", jsonl, "jsonl", two},
           {"more addresses than the list", tsv, "tsv", two},
           {"another list's rows", jsonl, "jsonl", List({pages_[0], pages_[3]})},
           {"a row that is not whole", SplitLines(jsonl)[0] + "garbage\n", "jsonl", list},
           {"a row whose line ends before its closing brace",
            SplitLines(jsonl)[0].substr(0, SplitLines(jsonl)[0].size() - 1) + "\n", "jsonl", list},
           {"a row closed before its reason",
            SplitLines(jsonl)[0].substr(0, SplitLines(jsonl)[0].find(",\"reason\"")) + "}\n",
            "jsonl", list},
           {"a jsonl of another mode", Reference({"-f", "jsonl", "-m", "head"}, list), "jsonl",
            list},
           {"a jsonl of another mode", jsonl, "jsonl", list, h1},
           {"a jsonl of another tag list",
            Reference({"-f", "jsonl", "-m", "tags", "-t", "description"}, list), "jsonl", list, h1},
       }) {
    SCOPED_TRACE(c.what + " (" + c.format + ")");
    const std::string out = Write("foreign", c.contents);
    std::vector<std::string> options = {"-f", c.format};
    options.insert(options.end(), c.options.begin(), c.options.end());
    const auto r = Resume(options, out, c.list);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << r.err;
    EXPECT_EQ(ReadAll(out), c.contents);
  }
  // The line that is not the list's is named, the header line counted in a tsv.
  const std::string third_differs = List({pages_[0], pages_[1], pages_[4]});
  const std::string out = Write("third", jsonl);
  auto r = Resume({"-f", "jsonl"}, out, third_differs);
  EXPECT_NE(r.err.find(" line 3 is not the row of address 3 of the input;"), std::string::npos)
      << r.err;
  Write("third", tsv);
  r = Resume({}, out, third_differs);
  EXPECT_NE(r.err.find(" line 4 is not the row of address 3 of the input;"), std::string::npos)
      << r.err;
}

// A file whose header line was cut short is begun again; nothing of it is kept.
TEST_F(ExtractResumeFilesTest, AHeaderCutShortIsWrittenAgainWhole) {
  const std::string list = List({pages_[0], pages_[1]});
  const std::string whole = Reference({}, list);
  for (const std::size_t cut : {std::size_t{0}, std::size_t{4}, whole.find('\n')}) {
    const std::string out = Write("cut-header.tsv", whole.substr(0, cut));
    const auto r = Resume({}, out, list);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadAll(out), whole) << "cut at " << cut;
  }
}

TEST_F(ExtractResumeFilesTest, ATabInAPageCellStopsATsvResumeBeforeItCanMislead) {
  // A title crafted to look like the next address's row.
  const std::string next = pages_[1];
  const std::string crafted =
      dir_.File("crafted.htm", "<title>x\t\t\t\r\n" + next + "\tforged</title>");
  const std::string list = List({pages_[0], crafted, next});
  const std::string out = dir_.path() + "/crafted.tsv";
  auto r = Resume({}, out, list);
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("TAB"), std::string::npos) << r.err;
  const auto lines = SplitLines(ReadAll(out));
  EXPECT_EQ(lines.size(), 2u);  // the header and the row before
  r = Resume({}, out, list);    // and so again
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(SplitLines(ReadAll(out)).size(), 2u);
  // Without --resume, or in jsonl, the row is written as it is.
  EXPECT_EQ(RunInProcess({"-q", list}).status, 0);
  EXPECT_EQ(Resume({"-f", "jsonl"}, dir_.path() + "/crafted.jsonl", list).status, 0);
  // A row left empty (a page without a title) writes none of its cells, and a tag's cell
  // is known from the command line: neither stops the run.
  const std::string untitled =
      dir_.File("untitled.htm", "<meta name=\"keywords\" content=\"a\tb\">");
  EXPECT_EQ(Resume({}, dir_.path() + "/untitled.tsv", List({untitled})).status, 0);
  EXPECT_EQ(Resume({"-m", "tags", "-t", "a\tb"}, dir_.path() + "/tag.tsv", List({untitled})).status,
            0);
}

TEST_F(ExtractResumeFilesTest, TheFailuresFileListsTheWholeRunInListOrder) {
  const std::string list = List({pages_[0], fifo_ + "1", pages_[1], fifo_, pages_[2], fifo_});
  ::mkfifo((fifo_ + "1").c_str(), 0600);
  const std::string whole = Reference({"-f", "jsonl"}, list);
  const auto lines = SplitLines(whole);
  std::string older;  // longer than this run's list: none of it may stay behind
  for (int i = 0; i < 40; ++i) older += "from an older run\n";
  for (const std::size_t kept : {0u, 2u, 4u, 6u}) {
    SCOPED_TRACE(kept);
    const std::string failures = Write("failed.txt", older);
    std::size_t cut = 0;
    for (std::size_t i = 0; i < kept; ++i) cut += lines[i].size() + 1;
    const std::string out = Write("results.jsonl", whole.substr(0, cut));
    const auto r = Resume({"-f", "jsonl", "--failures", failures}, out, list);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(ReadAll(out), whole);
    EXPECT_EQ(ReadAll(failures), fifo_ + "1\n" + fifo_ + "\n" + fifo_ + "\n");
  }
  // The summary counts what the file held apart; a tsv does not say which failed.
  std::string out = Write("results.jsonl", whole.substr(0, lines[0].size() + lines[1].size() + 2));
  auto r = RunInProcess({"-f", "jsonl", "--resume", "-o", out, list});
  EXPECT_NE(r.err.find("orvanel-extract: 4 addresses, 4 rows, 2 fetched, 2 failed (no-file 2), "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(", 2 addresses kept from " + out + " (1 failed)\n"), std::string::npos)
      << r.err;
  const std::string tsv = Reference({}, list);
  out = Write("results.tsv", tsv.substr(0, tsv.find('\n', tsv.find('\n') + 1) + 1));
  r = RunInProcess({"--resume", "-o", out, list});
  EXPECT_NE(r.err.find(", 1 addresses kept from " + out + "\n"), std::string::npos) << r.err;
  // With --finished-ok a finished run is 0, failures or not.
  out = Write("results.jsonl", whole.substr(0, lines[0].size() + 1));
  EXPECT_EQ(Resume({"-f", "jsonl", "--finished-ok"}, out, list).status, 0);
}

}  // namespace
}  // namespace orvanel

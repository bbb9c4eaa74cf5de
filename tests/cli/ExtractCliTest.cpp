// orvanel-extract, run as users run it: the built binary against files and a loopback server.
#include <gtest/gtest.h>

#include "LoopbackServer.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "cli/JsonLines.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

class ExtractCliTest : public ::testing::Test {
 protected:
  ExtractCliTest() {
    server_.Route("/full", [](auto&, auto& c) {
      c.Respond(200, "<head><title>Full</title><meta name=\"keywords\" content=\"\"></head>");
    });
    server_.Route("/bare", [](auto&, auto& c) { c.Respond(200, "<p>no title</p>"); });
    server_.Route("/gone", [](auto&, auto& c) { c.Respond(404, ""); });
    server_.Route("/delay", [](auto& req, auto& c) {
      const int ms = std::atoi(req.path.substr(req.path.find('=') + 1).c_str());
      c.Sleep(ms);
      c.Respond(200, "<title>" + std::to_string(ms) + "</title>");
    });
  }
  Finished Run(std::vector<std::string> args, const std::string& input = "",
               std::size_t close_after = 0) {
    args.insert(args.begin(), BinaryDir() + "/orvanel-extract");
    return RunProgram(args, input, close_after);
  }
  LoopbackServer server_;
  TempDir dir_;
};

TEST_F(ExtractCliTest, TsvIsTheDesktopTextFileByteForByte) {
  const auto r = Run({"-q"}, server_.Url("/full") + "\n" + server_.Url("/bare") + "\r\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "URL(s)\tTitle\tKeywords\tDescription\t\r\n" + server_.Url("/full") +
                "\tFull\t\t\t\r\n"
                "\r\n");  // the page without a title is an unchecked row
}

TEST_F(ExtractCliTest, JsonLinesTellNotFoundFromEmpty) {
  const auto r = Run({"-q", "-f", "jsonl"}, server_.Url("/full") + "\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"title\":\"Full\",\"keywords\":\"\",\"description\":null,\"error\":null,"
                       "\"reason\":null,\"detail\":null,\"status\":200"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"charset\":\"utf-8\",\"charset_source\":\"detected\""), std::string::npos);
  EXPECT_EQ(r.out.back(), '\n');
}

TEST_F(ExtractCliTest, EachModeAndTheTagList) {
  const std::string tags = dir_.File("tags.txt", "<title></title>\n\nkeywords\n");
  auto r =
      Run({"-q", "-m", "tags", "--tags-file", tags, "-t", "<p></p>"}, server_.Url("/bare") + "\n");
  EXPECT_EQ(r.out, "URL(s)\tTag(s)\tResult(s)\t\r\n" + server_.Url("/bare") +
                       "\t<title></title>\t\t\r\n" + server_.Url("/bare") + "\tkeywords\t\t\r\n" +
                       server_.Url("/bare") + "\t<p></p>\tno title\t\r\n");
  r = Run({"-q", "-m", "head"}, server_.Url("/full") + "\n" + server_.Url("/bare"));
  EXPECT_EQ(r.out,
            "URL(s)\tHead Tag\t\r\n" + server_.Url("/full") +
                "\t<head><title>Full</title><meta name=\"keywords\" content=\"\"></head>\t\r\n");
}

TEST_F(ExtractCliTest, RowsFollowTheInputOrderWhateverTheDelays) {
  std::string input;
  std::string expected = "URL(s)\tTitle\tKeywords\tDescription\t\r\n";
  for (int i = 0; i < 24; ++i) {
    const int ms = (i * 37) % 5 * 40;
    const std::string url =
        server_.Url("/delay?ms=" + std::to_string(ms)) + "&i=" + std::to_string(i);
    input += url + "\n";
    expected += url + "\t" + std::to_string(ms) + "\t\t\t\r\n";
  }
  const auto r = Run({"-q", "-j", "8"}, input);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
}

TEST_F(ExtractCliTest, FailuresAreReportedInOrderWithExitStatusOne) {
  const auto r = Run({"-q"}, server_.Url("/gone") + "\n\n" + server_.Url("/full") + "\n" +
                                 "http://127.0.0.1:1/x\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "URL " + server_.Url("/gone") +
                       " cannot be extracted.\nURL http://127.0.0.1:1/x cannot be extracted.\n");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4);  // header and three rows
}

TEST_F(ExtractCliTest, BlankLinesAreKeptOnlyWhenAsked) {
  const std::string list = dir_.File("list.txt", server_.Url("/full") + "\n\n");
  auto r = Run({"-q", "-f", "jsonl", list});
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
  r = Run({"-q", "-f", "jsonl", "--keep-blank-lines", list});
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);  // "a\n\n" is a, "", ""
  EXPECT_NE(r.out.find("{\"url\":\"\","), std::string::npos);
}

TEST_F(ExtractCliTest, UsageErrorsAndUnreadableInputsWriteNothing) {
  const std::string out = dir_.File("out.tsv", "previous results");
  auto r = Run({"-q", "-o", out, dir_.path() + "/missing.txt"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("missing.txt"), std::string::npos);
  EXPECT_EQ(ReadAll(out), "previous results");
  for (const auto& bad :
       std::vector<std::vector<std::string>>{{"-m", "all"}, {"-j", "0"}, {"--bogus"}, {"-f"}}) {
    r = Run(bad);
    EXPECT_EQ(r.status, 2) << bad[0];
    EXPECT_NE(r.err.find("orvanel-extract: "), std::string::npos);
  }
  r = Run({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Examples:"), std::string::npos);
}

TEST_F(ExtractCliTest, OutputFileIsReplacedWholeAtTheEnd) {
  const std::string out = dir_.File("out.tsv", "previous results");
  const auto r = Run({"-q", "-o", out}, server_.Url("/full") + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadAll(out).substr(0, 7), "URL(s)\t");
}

TEST_F(ExtractCliTest, AClosedPipeEndsTheRunQuietly) {
  std::string input;
  for (int i = 0; i < 3000; ++i) input += server_.Url("/full") + "?" + std::to_string(i) + "\n";
  const auto r = Run({"-q"}, input, 1);
  EXPECT_EQ(r.status, 141);
  EXPECT_EQ(r.err, "");
}

TEST(JsonLines, AnyBytesGiveValidJson) {
  std::string out;
  AppendJsonString(out, std::string("a\"\\\n\x01\x7f\xff\xc3\xa9", 9));
  EXPECT_EQ(out, "\"a\\\"\\\\\\n\\u0001\\u007f\xEF\xBF\xBD\xC3\xA9\"");
}

}  // namespace
}  // namespace orvanel

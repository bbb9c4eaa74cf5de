#include <gtest/gtest.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "engine/Address.h"

namespace orvanel {
namespace {

using testing::TempDir;

TEST(NormaliseAddress, HttpPrefixFollowsTheLooseTest) {
  struct Case {
    const char* address;
    const char* url;
  } cases[] = {
      {"host/page", "http://host/page"},
      {"Host/HTTP/page", "Host/HTTP/page"},
      {"HTTPS://host/page", "HTTPS://host/page"},
      {"host/http-docs/page", "host/http-docs/page"},
      {"ftp://host/file", "http://ftp://host/file"},
      {"", "http://"},
  };
  for (const auto& c : cases) {
    const auto n = NormaliseAddress(c.address);
    EXPECT_EQ(n.url, c.url) << c.address;
    EXPECT_FALSE(n.local_file);
  }
}

TEST(NormaliseAddress, LocalFilesBecomeEncodedAbsoluteFileUrls) {
  TempDir dir;
  const std::string path = dir.File("my page #1?é%.htm", "x");
  const auto n = NormaliseAddress(path);
  EXPECT_TRUE(n.local_file);
  EXPECT_EQ(n.url, "file://" + dir.path() + "/my%20page%20%231%3F%C3%A9%25.htm");
  // The characters a path may carry as they are stay as they are.
  const std::string plain = dir.File("a~b@c:d!e$f&g'h(i)j*k+l,m;n=o.htm", "x");
  EXPECT_EQ(NormaliseAddress(plain).url, "file://" + plain);
}

TEST(NormaliseAddress, RelativeNamesAreMadeAbsolute) {
  TempDir dir;
  dir.File("rel.htm", "x");
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const auto n = NormaliseAddress("rel.htm");
  std::filesystem::current_path(old);
  EXPECT_EQ(n.url, "file://" + dir.path() + "/rel.htm");
}

// A run's normaliser answers as NormaliseAddress does, the folder "https:" in the working
// folder included, while it looks at the disk once per spelling of the scheme.
TEST(AddressNormaliser, AnswersAsNormaliseAddressDoes) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() + "/https:/host");
  dir.File("https:/host/page.htm", "x");
  dir.File("plain.htm", "x");
  dir.File("http:page.htm", "x");  // "http:" and no "/": a file name, not a scheme
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  // An absent spelling first: its answer must not stand for the others.
  const char* addresses[] = {"http://host/page.htm",
                             "https://host/page.htm",
                             "https://host/missing.htm",
                             "HTTPS://host/page.htm",
                             "https:/host/page.htm",
                             "plain.htm",
                             "host/page",
                             "http:",
                             "https:x/page.htm",
                             "https://host/page.htm",
                             "http:page.htm"};
  AddressNormaliser local(true), remote(false);
  std::vector<std::pair<NormalisedAddress, NormalisedAddress>> got, expected;
  for (const char* a : addresses) {
    got.emplace_back(local(a), remote(a));
    expected.emplace_back(NormaliseAddress(a, true), NormaliseAddress(a, false));
  }
  std::filesystem::current_path(old);
  ASSERT_TRUE(expected[1].first.local_file);  // the case that needs the disk
  ASSERT_TRUE(expected[4].first.local_file);
  ASSERT_TRUE(expected.back().first.local_file);
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].first.url, expected[i].first.url) << addresses[i];
    EXPECT_EQ(got[i].first.local_file, expected[i].first.local_file) << addresses[i];
    EXPECT_EQ(got[i].second.url, expected[i].second.url) << addresses[i];
    EXPECT_FALSE(got[i].second.local_file) << addresses[i];
  }
}

TEST(PathTests, FilesFoldersAndNothing) {
  TempDir dir;
  const std::string file = dir.File("a.txt", "");
  EXPECT_TRUE(IsExistingFile(file));
  EXPECT_TRUE(PathExists(file));
  EXPECT_FALSE(IsExistingFile(dir.path()));
  EXPECT_TRUE(PathExists(dir.path()));
  EXPECT_FALSE(IsExistingFile(""));
  // A name with a NUL in it names no file, not the file named by its part before the NUL.
  EXPECT_FALSE(IsExistingFile(file + std::string("\0.htm", 5)));
  EXPECT_FALSE(PathExists(file + std::string("\0.htm", 5)));
  EXPECT_FALSE(PathExists(""));
  EXPECT_FALSE(PathExists(dir.path() + "/missing"));
  EXPECT_EQ(NormaliseAddress(dir.path()).url, "http://" + dir.path());  // a folder is no file
}

TEST(FileNameFromPath, LocalFilesShowTheirNameAndOtherTextStaysWhole) {
  TempDir dir;
  const std::string file = dir.File("page.htm", "");
  EXPECT_EQ(FileNameFromPath(file), "page.htm");
  EXPECT_EQ(FileNameFromPath("http://host/a/b.htm"), "http://host/a/b.htm");
  EXPECT_EQ(FileNameFromPath(""), "");
}

TEST(ByteArrayToText, EndsBeforeTheFirstNul) {
  EXPECT_EQ(ByteArrayToText(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(ByteArrayToText("caf\xe9"), "caf\xc3\xa9");
  EXPECT_EQ(CannotBeExtractedMessage("http://x"), "URL http://x cannot be extracted.");
}

}  // namespace
}  // namespace orvanel

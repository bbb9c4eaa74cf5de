#include "engine/Address.h"

#include <gtest/gtest.h>

#include "TempDir.h"

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

TEST(PathTests, FilesFoldersAndNothing) {
  TempDir dir;
  const std::string file = dir.File("a.txt", "");
  EXPECT_TRUE(IsExistingFile(file));
  EXPECT_TRUE(PathExists(file));
  EXPECT_FALSE(IsExistingFile(dir.path()));
  EXPECT_TRUE(PathExists(dir.path()));
  EXPECT_FALSE(IsExistingFile(""));
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

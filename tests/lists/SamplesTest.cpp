#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Fakes.h"
#include "TempDir.h"
#include "lists/Samples.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

TEST(ListFilesInFolder, FilesIncludingHiddenButNoFolders) {
  TempDir dir;
  dir.File("b.htm", "");
  dir.File(".hidden", "");
  dir.File("a", "");
  std::filesystem::create_directory(dir.path() + "/sub");
  EXPECT_EQ(ListFilesInFolder(dir.path(), "*.*"),
            (std::vector<std::string>{".hidden", "a", "b.htm"}));
  EXPECT_EQ(ListFilesInFolder(dir.path() + "/", "*.htm"), std::vector<std::string>{"b.htm"});
  EXPECT_THROW(ListFilesInFolder(dir.path() + "/none", "*.*"), Failure);
}

class SamplesTest : public ::testing::Test {
 protected:
  SamplesTest() { list_.AddColumn(" Website(s)"); }
  TempDir program_;
  ListView list_;
  FakeSettings settings_;
  FakeBoxes boxes_;
  FakeShell shell_;
};

TEST_F(SamplesTest, RecordsOnceAndAddsEachSampleOnce) {
  std::filesystem::create_directory(program_.path() + "/Samples");
  program_.File("Samples/one.htm", "1");
  program_.File("Samples/two.htm", "2");
  RecordSamplesSnapshot(settings_, program_.path());
  const std::string one = program_.path() + "/Samples/one.htm";
  const std::string two = program_.path() + "/Samples/two.htm";
  EXPECT_EQ(settings_.values["Snapshot"], one + "|" + two);

  std::filesystem::remove(two);  // gone since the record: skipped quietly
  boxes_.yes_no = {BoxAnswer::kNo, BoxAnswer::kYes};
  LoadSampleFiles(list_, settings_, boxes_, shell_, program_.path());
  LoadSampleFiles(list_, settings_, boxes_, shell_, program_.path());
  ASSERT_EQ(list_.Count(), 1u);
  EXPECT_EQ(list_.Text(1), one);
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>(2, kOpenSampleFolderQuestion));
  EXPECT_EQ(shell_.opened, std::vector<std::string>{program_.path() + "/Samples/"});
}

TEST_F(SamplesTest, NoSamplesRecordsTheEmptyTextAndStillAsks) {
  RecordSamplesSnapshot(settings_, program_.path());
  EXPECT_EQ(settings_.values.at("Snapshot"), "");
  LoadSampleFiles(list_, settings_, boxes_, shell_, program_.path());
  EXPECT_EQ(list_.Count(), 0u);
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{kOpenSampleFolderQuestion});
  EXPECT_TRUE(shell_.opened.empty());
}

TEST(FindProgramFolder, BesideTheProgramThenItsShareFolder) {
  TempDir root;
  std::filesystem::create_directories(root.path() + "/usr/bin");
  std::filesystem::create_directories(root.path() + "/usr/share/orvanel/Samples");
  EXPECT_EQ(FindProgramFolder(root.path() + "/usr/bin"), root.path() + "/usr/share/orvanel");
  std::filesystem::create_directories(root.path() + "/usr/bin/Samples");  // a build tree
  EXPECT_EQ(FindProgramFolder(root.path() + "/usr/bin"), root.path() + "/usr/bin");
  std::filesystem::create_directories(root.path() + "/bare");
  EXPECT_EQ(FindProgramFolder(root.path() + "/bare"), root.path() + "/bare");
  // Any file the program keeps beside itself marks its folder, not only the samples.
  std::filesystem::create_directories(root.path() + "/opt/bin/x");
  std::filesystem::create_directories(root.path() + "/opt/share/orvanel");
  EXPECT_EQ(FindProgramFolder(root.path() + "/opt/bin"), root.path() + "/opt/share/orvanel");
  std::ofstream(root.path() + "/opt/bin/x/o.cjs") << "";
  EXPECT_EQ(FindProgramFolder(root.path() + "/opt/bin"), root.path() + "/opt/bin");
  std::filesystem::remove(root.path() + "/opt/bin/x/o.cjs");
  std::ofstream(root.path() + "/opt/bin/HAND-M.CUR") << "";
  EXPECT_EQ(FindProgramFolder(root.path() + "/opt/bin"), root.path() + "/opt/bin");
}

TEST_F(SamplesTest, APathRecordedTwiceIsAddedOnce) {
  const std::string path = program_.File("page.htm", "");
  settings_.values["Snapshot"] = path + "|" + path + "|" + path;
  AddSampleFilesToList(list_, settings_, boxes_, shell_, program_.path());
  EXPECT_EQ(list_.Count(), 1u);
}

TEST_F(SamplesTest, ComparisonIsCaseSensitive) {
  const std::string path = program_.File("Page.htm", "");
  settings_.values["Snapshot"] = path;
  list_.Add(program_.path() + "/page.htm");
  list_.Add(path + " ");
  AddSampleFilesToList(list_, settings_, boxes_, shell_, program_.path());
  EXPECT_EQ(list_.Count(), 3u);
}

}  // namespace
}  // namespace orvanel

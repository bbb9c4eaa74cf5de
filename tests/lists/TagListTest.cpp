#include <gtest/gtest.h>

#include "Fakes.h"
#include "lists/TagList.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;
using V = std::vector<std::string>;

TEST(TagStorage, RoundTripsAndReadsByTheRule) {
  EXPECT_EQ(TagsToStorage({"<title></title>", "keywords"}),
            "<title></title>|Dravikton|keywords|Dravikton|");
  EXPECT_EQ(TagsToStorage({}), "");
  EXPECT_EQ(TagsFromStorage(""), (V{"<title></title>", "keywords"}));
  EXPECT_EQ(TagsFromStorage("<title></title>|Dravikton|keywords|Dravikton|"),
            (V{"<title></title>", "keywords"}));
  EXPECT_EQ(TagsFromStorage("a|Dravikton||Dravikton| b |Dravikton|a"), (V{"a", " b ", "a"}));
  EXPECT_EQ(TagsFromStorage("|Dravikton|"), V{});                   // stored, but only empty pieces
  EXPECT_EQ(TagsFromStorage("x|dravikton|y"), V{"x|dravikton|y"});  // case-sensitive
  EXPECT_EQ(TagsFromStorage(TagsToStorage({"a|Dravikton|b"})), (V{"a", "b"}));
}

class TagCommandsTest : public ::testing::Test {
 protected:
  TagCommandsTest() { tags_.AddColumn("Tag(s)"); }
  ListView tags_;
  FakeBoxes boxes_;
};

TEST_F(TagCommandsTest, AddDeleteClearAndHelp) {
  boxes_.inputs = {"<h1></h1>", "", "   "};
  for (int i = 0; i < 3; ++i) AddTag(tags_, boxes_);
  EXPECT_EQ(tags_.Count(), 2u);
  EXPECT_EQ(boxes_.prompts[0], "Enter tag:");
  tags_.Select(1);
  DeleteTag(tags_, boxes_);
  ASSERT_EQ(tags_.Count(), 1u);
  EXPECT_EQ(tags_.Text(1), "   ");
  EXPECT_TRUE(boxes_.shown.empty());

  DeleteTag(tags_, boxes_);  // nothing selected: reported at step 102, list unchanged
  ASSERT_EQ(boxes_.shown.size(), 1u);
  EXPECT_NE(boxes_.shown[0].text.find("PushButton12_Click at line 102"), std::string::npos);
  EXPECT_EQ(tags_.Count(), 1u);

  ClearTags(tags_, boxes_);
  DeleteTag(tags_, boxes_);  // empty: nothing, no report
  EXPECT_EQ(boxes_.shown.size(), 1u);

  ShowTagHelp(boxes_);
  EXPECT_EQ(boxes_.shown.back().text,
            "If list entry is a tag like title then extract between <title></title>.\r\n"
            "If list entry is a meta tag like keywords then extract after content=");
}

}  // namespace
}  // namespace orvanel

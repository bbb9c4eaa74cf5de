#include <gtest/gtest.h>

#include "base/Failure.h"
#include "shell/ListView.h"

namespace orvanel {
namespace {

TEST(ListView, ItemsAreOneBasedAndOutOfRangeAccessFails) {
  ListView list;
  list.AddColumn("a");
  list.AddColumn("b");
  EXPECT_EQ(list.Add("x"), 1u);
  EXPECT_EQ(list.Add(""), 2u);
  EXPECT_EQ(list.Text(2), "");
  EXPECT_EQ(list.SubItem(1, 1), "");  // never set
  list.SetSubItem(1, 1, "y");
  EXPECT_EQ(list.Cell(1, 2), "y");
  EXPECT_THROW(list.Text(0), Failure);
  EXPECT_THROW(list.Text(3), Failure);
  EXPECT_THROW(list.SetSubItem(1, 2, "beyond the columns"), Failure);
  EXPECT_THROW(list.Remove(3), Failure);
  EXPECT_THROW(list.Header(3), Failure);
  EXPECT_THROW(list.SelectedIndex(), Failure);
}

TEST(ListView, SelectionFollowsRemovals) {
  ListView list;
  list.AddColumn("a");
  list.AddMany({"1", "2", "3", "4"});
  list.Select(3);
  list.Remove(1);
  EXPECT_EQ(list.Selected(), 2u);
  EXPECT_EQ(list.Text(2), "3");
  list.Remove(2);
  EXPECT_FALSE(list.Selected());
  list.Select(9);
  EXPECT_FALSE(list.Selected());
  list.Select(1);
  list.Clear();
  EXPECT_FALSE(list.Selected());
  EXPECT_EQ(list.ColumnCount(), 1u);
}

}  // namespace
}  // namespace orvanel

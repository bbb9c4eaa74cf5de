#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvanel {

// Sizes are given in twips, as in the form the window was laid out from: 15 to a pixel.
inline constexpr int kTwipsPerPixel = 15;

// Receives every change of a ListView so that a view can follow it. The begin/end pairs
// bracket the change (rows are 0-based here, as views count them).
class ListViewObserver {
 public:
  virtual ~ListViewObserver() = default;
  virtual void BeginInsertRows(std::size_t first, std::size_t last) = 0;
  virtual void EndInsertRows() = 0;
  virtual void BeginRemoveRows(std::size_t first, std::size_t last) = 0;
  virtual void EndRemoveRows() = 0;
  virtual void BeginReset() = 0;
  virtual void EndReset() = 0;
  virtual void ColumnsChanged() = 0;
  virtual void CellChanged(std::size_t row, std::size_t column) = 0;
  virtual void Reveal(std::size_t row) = 0;
};

// The report list behind the address list, the tag list and the results table.
//
// Items and columns are addressed 1-based, as the commands address them. Every access
// outside the list throws Failure, which the calling command reports. Sub-item k of an
// item is shown in column k + 1; one that was never set reads as the empty text.
// Widths are kept in twips. Holds a million items comfortably: an item is its texts and
// a check mark, nothing more.
class ListView {
 public:
  ListView() = default;
  ListView(const ListView&) = delete;
  ListView& operator=(const ListView&) = delete;

  void SetObserver(ListViewObserver* observer) { observer_ = observer; }

  // Columns.
  void AddColumn(std::string header);
  void ClearColumns();
  std::size_t ColumnCount() const { return columns_.size(); }
  const std::string& Header(std::size_t column) const;
  void SetColumnWidth(std::size_t column, int twips);
  int ColumnWidth(std::size_t column) const;

  // Items.
  std::size_t Count() const { return items_.size(); }
  std::size_t Add(std::string text);  // returns the new item's position
  void AddMany(std::vector<std::string> texts);
  void Remove(std::size_t item);
  void Clear();
  const std::string& Text(std::size_t item) const;
  const std::string& SubItem(std::size_t item, std::size_t k) const;
  void SetSubItem(std::size_t item, std::size_t k, std::string text);
  // The text shown in column c: the item's text for c = 1, sub-item c - 1 otherwise.
  const std::string& Cell(std::size_t item, std::size_t column) const;
  bool Checked(std::size_t item) const;
  void SetChecked(std::size_t item, bool checked);
  void Reveal(std::size_t item);

  // Selection: at most one item.
  std::optional<std::size_t> Selected() const { return selected_; }
  // Throws Failure when nothing is selected, as the list control does.
  std::size_t SelectedIndex() const;
  void Select(std::optional<std::size_t> item);

  // Total bytes of text held, for memory accounting in benchmarks.
  std::size_t TextBytes() const;

 private:
  struct Column {
    std::string header;
    int width = 0;
  };
  struct Item {
    std::vector<std::string> cells;  // cells[0] is the item's text
    bool checked = false;
  };
  void CheckItem(std::size_t item) const;
  void CheckColumn(std::size_t column) const;

  std::vector<Column> columns_;
  std::vector<Item> items_;
  std::optional<std::size_t> selected_;
  ListViewObserver* observer_ = nullptr;
};

}  // namespace orvanel

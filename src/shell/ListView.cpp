#include "shell/ListView.h"

#include "base/Failure.h"

namespace orvanel {
namespace {
const std::string kEmpty;
}

void ListView::CheckItem(std::size_t item) const {
  if (item < 1 || item > items_.size()) {
    throw Failure("Index out of bounds: item " + std::to_string(item) + " of " +
                  std::to_string(items_.size()));
  }
}

void ListView::CheckColumn(std::size_t column) const {
  if (column < 1 || column > columns_.size()) {
    throw Failure("Index out of bounds: column " + std::to_string(column) + " of " +
                  std::to_string(columns_.size()));
  }
}

void ListView::AddColumn(std::string header) {
  columns_.push_back({std::move(header), 0});
  if (observer_) observer_->ColumnsChanged();
}

void ListView::ClearColumns() {
  columns_.clear();
  if (observer_) observer_->ColumnsChanged();
}

const std::string& ListView::Header(std::size_t column) const {
  CheckColumn(column);
  return columns_[column - 1].header;
}

void ListView::SetColumnWidth(std::size_t column, int twips) {
  CheckColumn(column);
  columns_[column - 1].width = twips;
  if (observer_) observer_->ColumnsChanged();
}

int ListView::ColumnWidth(std::size_t column) const {
  CheckColumn(column);
  return columns_[column - 1].width;
}

std::size_t ListView::Add(std::string text) {
  const std::size_t row = items_.size();
  if (observer_) observer_->BeginInsertRows(row, row);
  Item item;
  item.cells.push_back(std::move(text));
  items_.push_back(std::move(item));
  if (observer_) observer_->EndInsertRows();
  return items_.size();
}

void ListView::AddMany(std::vector<std::string> texts) {
  if (texts.empty()) return;
  const std::size_t first = items_.size();
  if (observer_) observer_->BeginInsertRows(first, first + texts.size() - 1);
  items_.reserve(first + texts.size());
  for (auto& text : texts) {
    Item item;
    item.cells.push_back(std::move(text));
    items_.push_back(std::move(item));
  }
  if (observer_) observer_->EndInsertRows();
}

void ListView::Remove(std::size_t item) {
  CheckItem(item);
  if (observer_) observer_->BeginRemoveRows(item - 1, item - 1);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(item - 1));
  if (selected_) {
    if (*selected_ == item) {
      selected_.reset();
    } else if (*selected_ > item) {
      --*selected_;
    }
  }
  if (observer_) observer_->EndRemoveRows();
}

void ListView::Clear() {
  if (observer_) observer_->BeginReset();
  items_.clear();
  items_.shrink_to_fit();
  selected_.reset();
  if (observer_) observer_->EndReset();
}

const std::string& ListView::Text(std::size_t item) const {
  CheckItem(item);
  return items_[item - 1].cells[0];
}

const std::string& ListView::SubItem(std::size_t item, std::size_t k) const {
  CheckItem(item);
  const auto& cells = items_[item - 1].cells;
  return k < cells.size() ? cells[k] : kEmpty;
}

void ListView::SetSubItem(std::size_t item, std::size_t k, std::string text) {
  CheckItem(item);
  if (k < 1 || k >= columns_.size()) {
    throw Failure("Index out of bounds: sub-item " + std::to_string(k));
  }
  auto& cells = items_[item - 1].cells;
  if (cells.size() <= k) cells.resize(k + 1);
  cells[k] = std::move(text);
  if (observer_) observer_->CellChanged(item - 1, k);
}

const std::string& ListView::Cell(std::size_t item, std::size_t column) const {
  return column <= 1 ? Text(item) : SubItem(item, column - 1);
}

bool ListView::Checked(std::size_t item) const {
  CheckItem(item);
  return items_[item - 1].checked;
}

void ListView::SetChecked(std::size_t item, bool checked) {
  CheckItem(item);
  items_[item - 1].checked = checked;
  if (observer_) observer_->CellChanged(item - 1, 0);
}

void ListView::Reveal(std::size_t item) {
  CheckItem(item);
  if (observer_) observer_->Reveal(item - 1);
}

std::size_t ListView::SelectedIndex() const {
  if (!selected_) throw Failure("No item is selected");
  return *selected_;
}

void ListView::Select(std::optional<std::size_t> item) {
  if (item && (*item < 1 || *item > items_.size())) item.reset();
  selected_ = item;
}

std::size_t ListView::TextBytes() const {
  std::size_t total = 0;
  for (const auto& item : items_) {
    for (const auto& cell : item.cells) total += cell.size();
  }
  return total;
}

}  // namespace orvanel

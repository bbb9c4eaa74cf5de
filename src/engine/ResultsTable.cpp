#include "engine/ResultsTable.h"

namespace orvanel {

std::vector<ColumnLayoutEntry> ColumnLayout(Mode mode) {
  switch (mode) {
    case Mode::kEntireHeadTag:
      return {{"URL(s)", 2000}, {"Head Tag", 4000}};
    case Mode::kTitleAndMetaTags:
      return {{"URL(s)", 2000}, {"Title", 4000}, {"Keywords", 6000}, {"Description", 6000}};
    case Mode::kOnlyListedTags:
      return {{"URL(s)", 2000}, {"Tag(s)", 4000}, {"Result(s)", 4000}};
  }
  return {};
}

void SetColumnLayout(ListView& table, Mode mode) {
  const auto layout = ColumnLayout(mode);
  table.ClearColumns();
  for (const auto& column : layout) table.AddColumn(column.header);
  for (std::size_t c = 0; c < layout.size(); ++c)
    table.SetColumnWidth(c + 1, layout[c].width_twips);
}

namespace {

// Step numbers of the table operations, per mode.
struct RowSteps {
  long append;
  long check;
  long reveal;
  std::vector<long> cells;  // one per cell after the address
};

RowSteps StepsFor(Mode mode) {
  switch (mode) {
    case Mode::kEntireHeadTag:
      return {192, 196, 198, {194}};
    case Mode::kTitleAndMetaTags:
      return {202, 214, 216, {212, 226, 236}};
    case Mode::kOnlyListedTags:
      return {242, 244, 246, {250, 270}};
  }
  return {};
}

}  // namespace

void AppendRuleRows(ListView& table, StepRunner& runner, Mode mode, const std::string& address,
                    const std::vector<RuleRow>& rows) {
  const RowSteps steps = StepsFor(mode);
  for (const auto& row : rows) {
    std::size_t item = 0;
    runner.Step(steps.append, [&] { item = table.Add(address); });
    for (std::size_t c = 0; c < row.cells.size(); ++c) {
      if (!row.cells[c]) continue;
      const long step = c < steps.cells.size() ? steps.cells[c] : steps.cells.back();
      runner.Step(step, [&] { table.SetSubItem(item, c + 1, *row.cells[c]); });
    }
    if (row.checked) {
      runner.Step(steps.check, [&] { table.SetChecked(item, true); });
      runner.Step(steps.reveal, [&] { table.Reveal(item); });
    }
  }
}

void ClearResults(ListView& table, MessageBoxes& boxes) {
  StepRunner runner(boxes, Command::kClearResults);
  runner.Step(100, [&] { table.Clear(); });
}

void RemoveSelectedItem(ListView& list, const WindowState& window) {
  if (window.IsBusy()) return;
  if (list.Count() == 0) return;
  const auto selected = list.Selected();
  if (!selected) return;  // nothing chosen: nothing to remove, the list stays as it is
  list.Remove(*selected);
}

}  // namespace orvanel

#pragma once

#include <string>
#include <vector>

#include "engine/Rules.h"
#include "shell/ErrorReport.h"
#include "shell/ListView.h"
#include "shell/Services.h"

namespace orvanel {

struct ColumnLayoutEntry {
  const char* header;
  int width_twips;
};

// The results table's columns for a mode.
std::vector<ColumnLayoutEntry> ColumnLayout(Mode mode);

// Removes all columns, adds the mode's headers, then sets their widths.
void SetColumnLayout(ListView& table, Mode mode);

// Appends the rows that the rules gave for one address: each row's first cell is the
// address as listed. Every table operation runs as its own numbered step of `runner`,
// so a failing one is reported and the rest still happen.
void AppendRuleRows(ListView& table, StepRunner& runner, Mode mode, const std::string& address,
                    const std::vector<RuleRow>& rows);

// Clear Results: removes every row, keeps the columns.
void ClearResults(ListView& table, MessageBoxes& boxes);

// The remove-row gesture (double-click or the Delete key) of any of the three lists:
// nothing while the window is busy, on an empty list, or when no item is selected.
void RemoveSelectedItem(ListView& list, const WindowState& window);

}  // namespace orvanel

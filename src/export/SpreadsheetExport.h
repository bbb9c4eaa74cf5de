#pragma once

#include <string>

#include "shell/ListView.h"
#include "shell/MessageBoxes.h"
#include "shell/Services.h"
#include "shell/Workbook.h"

namespace orvanel {

// The availability test: false, after telling the user, when no spreadsheet application
// is installed.
bool IsSpreadsheetAppAvailable(SpreadsheetApp& app, MessageBoxes& boxes);

// Save Results As Excel File (PushButton13): the header row, then the checked rows with
// no gaps; every "=" removed from the cells after the first column; columns fitted; the
// workbook handed to the spreadsheet application.
void SaveResultsAsExcelFile(const ListView& results, SpreadsheetApp& app, WindowState& window,
                            MessageBoxes& boxes, EventPump& pump);

// The messages after a workbook export: no program could open the file; cells were cut.
std::string NoOpenerMessage(const std::string& path);
std::string CutCellsMessage(std::size_t cells);

inline constexpr const char* kExcelMissingForSoftware =
    "Excel is not installed on this computer. You need to have it installed to use this "
    "software without error.";
inline constexpr const char* kExcelMissingForFeature =
    "Excel is not installed on this computer. You need to have it installed to use this feature.";

}  // namespace orvanel

#include "export/SpreadsheetExport.h"

#include <algorithm>

#include "platform/ErrorReport.h"

namespace orvanel {

bool SaveResultsAsExcelFileIsExcelInstalled(SpreadsheetApp& app, MessageBoxes& boxes) {
  bool installed = false;
  try {
    installed = app.IsInstalled();
  } catch (...) {
    installed = false;  // a failing test means the same as a missing application
  }
  if (!installed) boxes.Message(kExcelMissingForSoftware, BoxStyle::kOk);
  return installed;
}

namespace {

std::string WithoutEquals(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '='), text.end());
  return text;
}

}  // namespace

void SaveResultsAsExcelFile(const ListView& results, SpreadsheetApp& app, WindowState& window,
                            MessageBoxes& boxes, EventPump& pump) {
  StepRunner runner(boxes, "PushButton13_Click");
  bool installed = true;
  runner.Step(100, [&] { installed = SaveResultsAsExcelFileIsExcelInstalled(app, boxes); });
  if (!installed) {
    runner.Step(170, [&] { boxes.Message(kExcelMissingForFeature, BoxStyle::kOk); });
    return;
  }
  bool empty = false;
  runner.Step(108, [&] { empty = results.Count() == 0; });
  if (empty) return;
  runner.Step(110, [&] { window.SetPointer(Pointer::kBusy); });
  std::unique_ptr<Workbook> book;
  runner.Step(114, [&] { book = app.NewWorkbook(); });
  auto sheet = [&]() -> Workbook& {
    if (!book) throw Failure("Object variable not set");
    return *book;
  };
  TimedYield yield(pump);
  std::size_t column = 1;
  std::size_t columns = 0;
  runner.Step(118, [&] { columns = results.ColumnCount(); });
  for (std::size_t i = 1; i <= columns; ++i) {
    runner.Step(120, [&] { yield.MaybeYield(); });
    runner.Step(i == 1 ? 124 : 128, [&] { sheet().SetCell(1, column, results.Header(i)); });
    ++column;
  }
  std::size_t sheet_row = 2;
  std::size_t rows = 0;
  runner.Step(136, [&] { rows = results.Count(); });
  for (std::size_t i = 1; i <= rows; ++i) {
    runner.Step(138, [&] { yield.MaybeYield(); });
    if (!runner.Test(140, [&] { return results.Checked(i); })) continue;
    column = 1;
    std::size_t row_columns = 0;
    runner.Step(144, [&] { row_columns = results.ColumnCount(); });
    for (std::size_t k = 1; k <= row_columns; ++k) {
      runner.Step(146, [&] { yield.MaybeYield(); });
      if (k == 1) {
        runner.Step(150, [&] { sheet().SetCell(sheet_row, column, results.Text(i)); });
      } else {
        runner.Step(154, [&] { sheet().SetCell(sheet_row, column, WithoutEquals(results.SubItem(i, k - 1))); });
      }
      ++column;
    }
    ++sheet_row;
  }
  runner.Step(164, [&] { sheet().Autofit(); });
  runner.Step(166, [&] { sheet().Show(); });
  runner.Step(168, [&] { window.SetPointer(Pointer::kDefault); });
}

}  // namespace orvanel

#include "export/SpreadsheetExport.h"

#include <algorithm>

#include "shell/ErrorReport.h"

namespace orvanel {

bool IsSpreadsheetAppAvailable(SpreadsheetApp& app, MessageBoxes& boxes) {
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

std::string NoOpenerMessage(const std::string& path) {
  return "The workbook was saved as " + path +
         ", but no spreadsheet program could be started to open it. Open it from there.";
}

std::string CutCellsMessage(std::size_t cells) {
  return std::to_string(cells) + (cells == 1 ? " cell was" : " cells were") +
         " longer than a workbook cell holds (32,767 characters) and " +
         (cells == 1 ? "was" : "were") +
         " cut at that length. Save Results As Text File keeps every cell whole.";
}

void SaveResultsAsExcelFile(const ListView& results, SpreadsheetApp& app, WindowState& window,
                            MessageBoxes& boxes, EventPump& pump) {
  StepRunner runner(boxes, Command::kSaveResultsAsWorkbook);
  bool installed = true;
  runner.Step(100, [&] { installed = IsSpreadsheetAppAvailable(app, boxes); });
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
  std::size_t cut = 0;  // cells longer than a workbook cell holds
  std::size_t column = 1;
  std::size_t columns = 0;
  runner.Step(118, [&] { columns = results.ColumnCount(); });
  for (std::size_t i = 1; i <= columns; ++i) {
    runner.Step(120, [&] { yield.MaybeYield(); });
    runner.Step(i == 1 ? 124 : 128, [&] { cut += sheet().SetCell(1, column, results.Header(i)); });
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
        runner.Step(150, [&] { cut += sheet().SetCell(sheet_row, column, results.Text(i)); });
      } else {
        runner.Step(154, [&] {
          cut += sheet().SetCell(sheet_row, column, WithoutEquals(results.SubItem(i, k - 1)));
        });
      }
      ++column;
    }
    ++sheet_row;
  }
  runner.Step(164, [&] { sheet().Autofit(); });
  bool shown = true;
  runner.Step(166, [&] { shown = sheet().Show(); });
  runner.Step(168, [&] { window.SetPointer(Pointer::kDefault); });
  // Said once, after the work: what the user must know about the workbook they now have.
  if (!shown) boxes.Message(NoOpenerMessage(book->Location()), BoxStyle::kOk);
  if (cut > 0) boxes.Message(CutCellsMessage(cut), BoxStyle::kOk);
}

}  // namespace orvanel

#pragma once

#include <memory>
#include <string>

namespace orvanel {

// A new workbook of the spreadsheet application. Rows and columns count from 1; every
// value is stored as text, never as a formula or a number.
class Workbook {
 public:
  virtual ~Workbook() = default;
  virtual void SetCell(std::size_t row, std::size_t column, const std::string& text) = 0;
  // Fits every column's width to its contents.
  virtual void Autofit() = 0;
  // Hands the workbook to the user in the spreadsheet application. Throws Failure.
  virtual void Show() = 0;
};

class SpreadsheetApp {
 public:
  virtual ~SpreadsheetApp() = default;
  // True when an application that opens workbooks is installed.
  virtual bool IsInstalled() = 0;
  // Throws Failure when the workbook cannot be created.
  virtual std::unique_ptr<Workbook> NewWorkbook() = 0;
};

class Shell;

// Workbooks written with libxlsxwriter into a private temporary folder (owner-only) and
// opened through `shell` with the desktop's default application.
std::unique_ptr<SpreadsheetApp> MakeXlsxSpreadsheetApp(Shell& shell);

// Whether the desktop has an application registered for .xlsx, or a known spreadsheet
// program is on PATH.
bool DesktopHasSpreadsheetApp();

}  // namespace orvanel

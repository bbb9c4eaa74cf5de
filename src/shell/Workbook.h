#pragma once

#include <memory>
#include <string>
#include <vector>

namespace orvanel {

// A new workbook of the spreadsheet application. Rows and columns count from 1; every
// value is stored as text, never as a formula or a number.
class Workbook {
 public:
  virtual ~Workbook() = default;
  // A text longer than a cell holds (kMaxCellCharacters) is cut at that length, on a
  // character boundary; the answer is true when it was.
  virtual bool SetCell(std::size_t row, std::size_t column, const std::string& text) = 0;
  // Fits every column's width to its contents.
  virtual void Autofit() = 0;
  // Saves the workbook and hands it to the user in a spreadsheet application. False when
  // no application could be started with it; the file stays at Location() then. Throws
  // Failure when the workbook cannot be saved.
  virtual bool Show() = 0;
  virtual std::string Location() const = 0;
};

class SpreadsheetApp {
 public:
  virtual ~SpreadsheetApp() = default;
  // True when an application that opens workbooks is installed: exactly when Show has
  // something to start.
  virtual bool IsInstalled() = 0;
  // Throws Failure when the workbook cannot be created.
  virtual std::unique_ptr<Workbook> NewWorkbook() = 0;
};

// The most characters a workbook cell holds, counted as the spreadsheet programs count
// them (UTF-16 code units).
inline constexpr std::size_t kMaxCellCharacters = 32767;

// `text` cut to at most kMaxCellCharacters, never inside a character.
std::string CutToCellLength(const std::string& text, bool& cut);

}  // namespace orvanel

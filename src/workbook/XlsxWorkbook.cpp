#include "workbook/XlsxWorkbook.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "base/Failure.h"
#include "shell/Services.h"
#include "text/Utf8.h"
#include "workbook/ProgramLauncher.h"
#include "workbook/WorkbookFolder.h"

namespace orvanel {
namespace {

// Width in characters of the longest line of a text.
std::size_t WidestLine(const std::string& text) {
  std::size_t widest = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    widest = std::max(widest, CodePointCount(std::string_view(text).substr(start, end - start)));
    start = end + 1;
  }
  return widest;
}

// How long an opener is watched for an early failure (xdg-open without a working
// handler, a program that cannot start) before it counts as started.
constexpr std::chrono::milliseconds kOpenerGrace(1500);

class XlsxWorkbook final : public Workbook {
 public:
  XlsxWorkbook(WorkbookFolder& folder, EventPump* pump) : folder_(folder), pump_(pump) {
    path_ = folder_.NewWorkbook();
    workbook_ = workbook_new(path_.c_str());
    if (!workbook_) throw Failure("Cannot create the workbook " + path_);
    sheet_ = workbook_add_worksheet(workbook_, nullptr);
    if (!sheet_) throw Failure("Cannot add a sheet to the workbook");
  }
  ~XlsxWorkbook() override {
    // A workbook never shown (its export failed part-way) is written out as it stands, for
    // the user to find; a failure to write it has nobody left to tell and is ignored.
    if (workbook_) {
      if (workbook_close(workbook_) == LXW_NO_ERROR) {
        folder_.MarkExported(path_);
      } else {
        ::unlink(path_.c_str());  // nothing whole to find
      }
    }
  }

  bool SetCell(std::size_t row, std::size_t column, const std::string& text) override {
    ThrowIfClosed();
    if (row < 1 || column < 1 || row > LXW_ROW_MAX || column > LXW_COL_MAX) {
      throw Failure("Cell out of the sheet's range");
    }
    // The sheet only holds valid UTF-8 of at most 32767 characters per cell.
    bool cut = false;
    const std::string value = CutToCellLength(SanitiseUtf8(text), cut);
    const lxw_error rc =
        worksheet_write_string(sheet_, static_cast<lxw_row_t>(row - 1),
                               static_cast<lxw_col_t>(column - 1), value.c_str(), nullptr);
    if (rc != LXW_NO_ERROR) throw Failure(std::string("Cannot write a cell: ") + lxw_strerror(rc));
    if (widths_.size() < column) widths_.resize(column, 0);
    widths_[column - 1] = std::max(widths_[column - 1], WidestLine(value));
    return cut;
  }

  void Autofit() override {
    ThrowIfClosed();
    for (std::size_t c = 0; c < widths_.size(); ++c) {
      const double width = std::min<double>(255.0, static_cast<double>(widths_[c]) + 1.0);
      worksheet_set_column(sheet_, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c), width,
                           nullptr);
    }
  }

  bool Show() override {
    ThrowIfClosed();
    const lxw_error rc = workbook_close(workbook_);
    workbook_ = nullptr;
    if (rc != LXW_NO_ERROR) {
      // Ignored on purpose when it fails: an empty or broken workbook goes at the next
      // clean-up anyway.
      ::unlink(path_.c_str());
      throw Failure(std::string("Cannot save the workbook: ") + lxw_strerror(rc));
    }
    // Written into the file the folder made for it, owner-only; should the library have
    // made a new one, it is made so here. Ignored on purpose when it fails: the folder is
    // the owner's only.
    ::chmod(path_.c_str(), 0600);
    folder_.MarkExported(path_);
    // The desktop's opener first; when it fails, the programs that made the availability
    // test pass, one after the other.
    for (auto argv : SpreadsheetOpeners()) {
      argv.push_back(path_);
      if (LaunchProgram(argv, kOpenerGrace, pump_)) return true;
    }
    return false;
  }

  std::string Location() const override { return path_; }

 private:
  void ThrowIfClosed() const {
    if (!workbook_) throw Failure("The workbook is closed");
  }

  WorkbookFolder& folder_;
  EventPump* pump_;
  std::string path_;
  lxw_workbook* workbook_ = nullptr;
  lxw_worksheet* sheet_ = nullptr;
  std::vector<std::size_t> widths_;
};

class XlsxSpreadsheetApp final : public SpreadsheetApp {
 public:
  // The program starts or ends: the workbooks that may go, go (also those of a program
  // that ended without its clean-up, by a signal or a crash).
  XlsxSpreadsheetApp(EventPump* pump, std::string folder)
      : pump_(pump), folder_(std::move(folder)) {
    folder_.RemoveOld();
  }
  ~XlsxSpreadsheetApp() override { folder_.RemoveOld(); }
  bool IsInstalled() override { return !SpreadsheetOpeners().empty(); }
  std::unique_ptr<Workbook> NewWorkbook() override {
    folder_.RemoveOld();
    return std::make_unique<XlsxWorkbook>(folder_, pump_);
  }

 private:
  EventPump* pump_;
  WorkbookFolder folder_;
};

}  // namespace

std::unique_ptr<SpreadsheetApp> MakeXlsxSpreadsheetApp(EventPump* pump, std::string folder) {
  return std::make_unique<XlsxSpreadsheetApp>(pump, std::move(folder));
}

}  // namespace orvanel

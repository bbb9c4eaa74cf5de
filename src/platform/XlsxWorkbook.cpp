#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/Utf8.h"
#include "platform/Failure.h"
#include "platform/Services.h"
#include "platform/Workbook.h"

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

std::string PrivateFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvanel-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw Failure("Cannot create a folder for the workbook");
  ::chmod(buffer.data(), 0700);  // mkdtemp already makes it owner-only; say so plainly
  return buffer.data();
}

class XlsxWorkbook final : public Workbook {
 public:
  explicit XlsxWorkbook(Shell& shell) : shell_(shell) {
    path_ = PrivateFolder() + "/Results.xlsx";
    workbook_ = workbook_new(path_.c_str());
    if (!workbook_) throw Failure("Cannot create the workbook " + path_);
    sheet_ = workbook_add_worksheet(workbook_, nullptr);
    if (!sheet_) throw Failure("Cannot add a sheet to the workbook");
  }
  ~XlsxWorkbook() override {
    if (workbook_) workbook_close(workbook_);
  }

  void SetCell(std::size_t row, std::size_t column, const std::string& text) override {
    if (!workbook_) throw Failure("The workbook is closed");
    if (row < 1 || column < 1 || row > LXW_ROW_MAX || column > LXW_COL_MAX) {
      throw Failure("Cell out of the sheet's range");
    }
    // The sheet only holds valid UTF-8 of at most 32767 characters per cell.
    std::string value = SanitiseUtf8(text);
    const lxw_error rc = worksheet_write_string(sheet_, static_cast<lxw_row_t>(row - 1),
                                                static_cast<lxw_col_t>(column - 1), value.c_str(), nullptr);
    if (rc != LXW_NO_ERROR) throw Failure(std::string("Cannot write a cell: ") + lxw_strerror(rc));
    if (widths_.size() < column) widths_.resize(column, 0);
    widths_[column - 1] = std::max(widths_[column - 1], WidestLine(value));
  }

  void Autofit() override {
    if (!workbook_) throw Failure("The workbook is closed");
    for (std::size_t c = 0; c < widths_.size(); ++c) {
      const double width = std::min<double>(255.0, static_cast<double>(widths_[c]) + 1.0);
      worksheet_set_column(sheet_, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c), width, nullptr);
    }
  }

  void Show() override {
    if (!workbook_) throw Failure("The workbook is closed");
    const lxw_error rc = workbook_close(workbook_);
    workbook_ = nullptr;
    if (rc != LXW_NO_ERROR) throw Failure(std::string("Cannot save the workbook: ") + lxw_strerror(rc));
    ::chmod(path_.c_str(), 0600);
    shell_.Open(path_);  // the desktop's answer is not examined
  }

 private:
  Shell& shell_;
  std::string path_;
  lxw_workbook* workbook_ = nullptr;
  lxw_worksheet* sheet_ = nullptr;
  std::vector<std::size_t> widths_;
};

class XlsxSpreadsheetApp final : public SpreadsheetApp {
 public:
  explicit XlsxSpreadsheetApp(Shell& shell) : shell_(shell) {}
  bool IsInstalled() override { return DesktopHasSpreadsheetApp(); }
  std::unique_ptr<Workbook> NewWorkbook() override { return std::make_unique<XlsxWorkbook>(shell_); }

 private:
  Shell& shell_;
};

bool OnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string dirs = path;
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool DesktopHasSpreadsheetApp() {
  for (const char* name : {"libreoffice", "localc", "soffice", "gnumeric", "et"}) {
    if (OnPath(name)) return true;
  }
  if (!OnPath("xdg-mime")) return false;
  FILE* pipe = ::popen(
      "xdg-mime query default application/vnd.openxmlformats-officedocument.spreadsheetml.sheet "
      "2>/dev/null",
      "r");
  if (!pipe) return false;
  char line[512] = {};
  const bool answered = std::fgets(line, sizeof line, pipe) != nullptr && line[0] != '\n';
  ::pclose(pipe);
  return answered;
}

std::unique_ptr<SpreadsheetApp> MakeXlsxSpreadsheetApp(Shell& shell) {
  return std::make_unique<XlsxSpreadsheetApp>(shell);
}

}  // namespace orvanel

#pragma once

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace orvanel {

// The folder that keeps the workbooks of the spreadsheet export, where the user finds them
// again: one file per export, named after its date and time
// ("Results-2024-05-01-140307.xlsx", with "-2", "-3"... for more in the same second),
// readable by the owner only, its modification time that of its name.
//
// They do not pile up: RemoveOld removes the workbooks of earlier exports, except one
//   - that a program has open (a descriptor of a process this user may look at, or the
//     lock file LibreOffice keeps beside a document it shows),
//   - changed since the export (saved from the spreadsheet program: its modification
//     time is no longer that of its name), unless it is empty (an export that could not
//     write it),
//   - or younger than kWorkbookGrace (a program started to open it may not hold it yet).
// Only names of this form are touched; any other file in the folder stays.
//
// Not thread-safe; every call touches the file system.
class WorkbookFolder {
 public:
  explicit WorkbookFolder(std::string path) : path_(std::move(path)) {}

  // "$XDG_CACHE_HOME/orvanel" (an absolute XDG_CACHE_HOME only), else "$HOME/.cache/orvanel".
  static std::string UserPath();

  const std::string& path() const { return path_; }

  // Makes the folder (owner-only) when it is missing, and reserves the name of a new
  // workbook for an export at `now` by creating it empty. Throws Failure.
  std::string NewWorkbook(std::time_t now = std::time(nullptr));

  // Marks the workbook at `path`, written since NewWorkbook, as unchanged since its export.
  // Ignores a failure: the workbook is then kept as one changed since.
  void MarkExported(const std::string& path);

  // Removes the workbooks of earlier exports that may go (see above), as of `now`. Never
  // fails: a workbook that cannot be removed stays.
  void RemoveOld(std::time_t now = std::time(nullptr));

 private:
  std::string path_;
};

// Workbooks younger than this are kept by RemoveOld.
inline constexpr std::chrono::seconds kWorkbookGrace{60};

// The export time a workbook's file name gives, or nullopt for any other name.
std::optional<std::time_t> ExportTimeOfWorkbook(std::string_view name);

}  // namespace orvanel

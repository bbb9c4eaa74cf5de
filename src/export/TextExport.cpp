#include "export/TextExport.h"

#include "shell/ErrorReport.h"
#include "storage/AtomicFile.h"
#include "storage/Links.h"

namespace orvanel {

namespace {

// The whole format of the text file: every cell followed by a TAB, every line by CR LF.
void AppendCell(std::string& out, std::string_view cell) {
  out += cell;
  out += '\t';
}
void EndLine(std::string& out) { out += "\r\n"; }

}  // namespace

void AppendHeaderLine(std::string& out, const std::vector<std::string>& headers) {
  for (const auto& header : headers) AppendCell(out, header);
  EndLine(out);
}

void AppendRowLine(std::string& out, bool checked, const std::vector<std::string_view>& cells) {
  if (checked) {
    for (const auto& cell : cells) AppendCell(out, cell);
  }
  EndLine(out);
}

std::string BuildTextFile(const ListView& list, EventPump& pump) {
  TimedYield yield(pump);
  std::string text;
  for (std::size_t c = 1; c <= list.ColumnCount(); ++c) {
    yield.MaybeYield();
    AppendCell(text, list.Header(c));
  }
  EndLine(text);
  const std::size_t rows = list.Count();
  for (std::size_t r = 1; r <= rows; ++r) {
    yield.MaybeYield();
    if (list.Checked(r)) {
      const std::size_t columns = list.ColumnCount();
      for (std::size_t c = 1; c <= columns; ++c) AppendCell(text, list.Cell(r, c));
    }
    EndLine(text);
  }
  return text;
}

void SaveListViewAsTextFile(const ListView& list, const std::string& path, EventPump& pump) {
  // A link stays a link: its target gets the text, as the settings file's does.
  WriteFileAtomically(FollowLinks(path), BuildTextFile(list, pump));
}

void SaveResultsAsTextFile(const ListView& results, WindowState& window, MessageBoxes& boxes,
                           FileDialog& dialog, EventPump& pump) {
  StepRunner runner(boxes, Command::kSaveResultsAsText);
  // Steps 106 to 110 set the flags (no overwrite question), the title and the filter.
  std::string name;
  runner.Step(112, [&] { name = dialog.SaveFileName("Save", kTextFileFilter); });
  bool cancelled = false;
  runner.Step(116, [&] { cancelled = name.empty(); });
  if (cancelled) return;
  runner.Step(118, [&] { window.SetPointer(Pointer::kBusy); });
  runner.Step(120, [&] { SaveListViewAsTextFile(results, name, pump); });
  runner.Step(122, [&] { window.SetPointer(Pointer::kDefault); });
}

}  // namespace orvanel

#include "export/ClipboardExport.h"

#include <vector>

#include "shell/ErrorReport.h"
#include "text/Utf8.h"

namespace orvanel {

std::string BuildClipboardText(const ListView& list, EventPump& pump) {
  TimedYield yield(pump);
  std::vector<std::size_t> widths;
  const std::size_t columns = list.ColumnCount();
  for (std::size_t c = 1; c <= columns; ++c) {
    std::size_t widest = 0;
    for (std::size_t r = 1; r <= list.Count(); ++r) {
      yield.MaybeYield();
      widest = std::max(widest, CodePointCount(list.Cell(r, c)));
    }
    widths.push_back(widest);
  }
  std::string text;
  const std::size_t rows = list.Count();
  for (std::size_t r = 1; r <= rows; ++r) {
    yield.MaybeYield();
    if (!list.Checked(r)) continue;
    const std::size_t line_start = text.size();
    const std::size_t row_columns = list.ColumnCount();
    for (std::size_t c = 1; c <= row_columns; ++c) {
      const std::string& cell = list.Cell(r, c);
      const std::size_t length = CodePointCount(cell);
      text += cell;
      // A column added since the width pass has no width: its cells get no blanks.
      if (c - 1 < widths.size() && widths[c - 1] >= length)
        text.append(widths[c - 1] - length, ' ');
      text += '\t';
    }
    if (text.size() > line_start) text.pop_back();  // the line's final TAB
    while (text.size() > line_start && text.back() == ' ') text.pop_back();
    text += "\r\n";
  }
  return text;
}

namespace {

template <typename F>
bool Retry(F&& attempt) {
  bool ok = false;
  for (int attempts = 0; attempts < 1000 && !ok; ++attempts) {
    try {
      ok = attempt();
    } catch (...) {
      ok = false;  // a busy clipboard is tried again; nothing is reported
    }
  }
  return ok;
}

}  // namespace

void ClearClipboard(Clipboard& clipboard) {
  Retry([&] { return clipboard.Clear(); });
}

bool SetClipboardText(Clipboard& clipboard, const std::string& text) {
  return Retry([&] { return clipboard.SetText(text); });
}

void CopyListViewToClipboard(const ListView& list, Clipboard& clipboard, EventPump& pump) {
  if (list.Count() == 0) return;
  const std::string text = BuildClipboardText(list, pump);
  ClearClipboard(clipboard);
  SetClipboardText(clipboard, text);
}

void CopyResultsToClipboard(const ListView& results, Clipboard& clipboard, MessageBoxes& boxes,
                            EventPump& pump) {
  StepRunner runner(boxes, Command::kCopyResultsToClipboard);
  runner.Step(106, [&] { CopyListViewToClipboard(results, clipboard, pump); });
  runner.Step(108, [&] { boxes.Message(kCopiedMessage, BoxStyle::kOk); });
}

}  // namespace orvanel

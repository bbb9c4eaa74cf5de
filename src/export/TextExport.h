#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "shell/ListView.h"
#include "shell/MessageBoxes.h"
#include "shell/Services.h"

namespace orvanel {

// The tab-separated text format, line by line: each header followed by TAB, then CR LF;
// a checked row writes each cell followed by TAB, then CR LF; an unchecked row CR LF alone.
void AppendHeaderLine(std::string& out, const std::vector<std::string>& headers);
void AppendRowLine(std::string& out, bool checked, const std::vector<std::string_view>& cells);

// The whole text of a list view in that format. Yields to the event loop now and then;
// the row count is read once, the column count again for each checked row.
std::string BuildTextFile(const ListView& list, EventPump& pump);

// Builds the text and writes it to `path` atomically (the old file stays whole when the
// write fails). Throws Failure.
void SaveListViewAsTextFile(const ListView& list, const std::string& path, EventPump& pump);

// Save Results As Text File (PushButton8).
void SaveResultsAsTextFile(const ListView& results, WindowState& window, MessageBoxes& boxes,
                           FileDialog& dialog, EventPump& pump);

}  // namespace orvanel

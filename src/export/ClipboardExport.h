#pragma once

#include <string>

#include "shell/ListView.h"
#include "shell/MessageBoxes.h"
#include "shell/Services.h"

namespace orvanel {

// The clipboard text of a list view: the checked rows, every cell padded with blanks to
// its column's width (in characters, over all rows), TAB between cells, the last TAB and
// trailing blanks of each line removed, CR LF after each line; no header.
std::string BuildClipboardText(const ListView& list, EventPump& pump);

// Empties the clipboard, retrying up to 1000 times; failures are never reported.
void ClearClipboard(Clipboard& clipboard);
// Sets the text, retrying up to 1000 times. True when the last attempt succeeded.
bool SetClipboardText(Clipboard& clipboard, const std::string& text);

// Puts the clipboard text of `list` on the clipboard; does nothing for an empty list.
void CopyListViewToClipboard(const ListView& list, Clipboard& clipboard, EventPump& pump);

// Copy Results To Clipboard (PushButton1).
void CopyResultsToClipboard(const ListView& results, Clipboard& clipboard, MessageBoxes& boxes,
                            EventPump& pump);

inline constexpr const char* kCopiedMessage =
    "Results have been copied to the clipboard.\r\r"
    "Click a text area where you normally type and press Ctrl+V to paste the clipboard.";

}  // namespace orvanel

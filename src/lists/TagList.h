#pragma once

#include <string>
#include <vector>

#include "shell/ListView.h"
#include "shell/MessageBoxes.h"
#include "shell/Services.h"

namespace orvanel {

inline constexpr const char* kTagSeparator = "|Dravikton|";

// The saved form of the tag list: every entry followed by the separator.
std::string TagsToStorage(const std::vector<std::string>& entries);

// Reads the saved form back: the two default entries when the text is empty, otherwise
// every non-empty piece between separators, in order.
std::vector<std::string> TagsFromStorage(const std::string& stored);

std::vector<std::string> DefaultTags();

// Add Tag (PushButton11).
void AddTag(ListView& tags, MessageBoxes& boxes);
// Delete Tag (PushButton12): with items but none selected, a failure report at step 102.
void DeleteTag(ListView& tags, MessageBoxes& boxes);
// Clear (PushButton10).
void ClearTags(ListView& tags, MessageBoxes& boxes);
// Help (PushButton14).
void ShowTagHelp(MessageBoxes& boxes);

inline constexpr const char* kTagHelp =
    "If list entry is a tag like title then extract between <title></title>.\r\n"
    "If list entry is a meta tag like keywords then extract after content=";

}  // namespace orvanel

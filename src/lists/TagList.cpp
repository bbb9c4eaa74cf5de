#include "lists/TagList.h"

#include <string_view>

#include "lists/InputToList.h"
#include "shell/ErrorReport.h"

namespace orvanel {

std::string TagsToStorage(const std::vector<std::string>& entries) {
  std::string stored;
  for (const auto& entry : entries) {
    stored += entry;
    stored += kTagSeparator;
  }
  return stored;
}

std::vector<std::string> DefaultTags() { return {"<title></title>", "keywords"}; }

std::vector<std::string> TagsFromStorage(const std::string& stored) {
  if (stored.empty()) return DefaultTags();
  std::vector<std::string> entries;
  const std::string_view separator = kTagSeparator;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = stored.find(separator, start);
    const std::size_t end = at == std::string::npos ? stored.size() : at;
    if (end > start) entries.push_back(stored.substr(start, end - start));
    if (at == std::string::npos) break;
    start = at + separator.size();
  }
  return entries;
}

void AddTag(ListView& tags, MessageBoxes& boxes) {
  AddAnswerToList(tags, boxes, Command::kAddTag, "Enter tag:");
}

void DeleteTag(ListView& tags, MessageBoxes& boxes) {
  StepRunner runner(boxes, Command::kDeleteTag);
  if (runner.Test(100, [&] { return tags.Count() == 0; })) return;
  runner.Step(102, [&] { tags.Remove(tags.SelectedIndex()); });
}

void ClearTags(ListView& tags, MessageBoxes& boxes) {
  StepRunner runner(boxes, Command::kClearTags);
  runner.Step(100, [&] { tags.Clear(); });
}

void ShowTagHelp(MessageBoxes& boxes) {
  StepRunner runner(boxes, Command::kShowTagHelp);
  runner.Step(100, [&] { boxes.Message(kTagHelp, BoxStyle::kOk); });
}

}  // namespace orvanel

#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvanel {

enum class Mode { kEntireHeadTag, kTitleAndMetaTags, kOnlyListedTags };

// One results row as the rules produce it, before it reaches the table. `cells` are the
// cells after the address (cell 2 onwards); nullopt is a pattern that was not found, which
// the table shows as an empty cell just like a found but empty text.
struct RuleRow {
  std::vector<std::optional<std::string>> cells;
  bool checked = false;
};

// The rows that one page gives in `mode`. Plain text search: the first occurrence of each
// pattern, ASCII letter case ignored, extracted text copied unchanged. `tags` is the tag
// list, used by kOnlyListedTags only.
std::vector<RuleRow> ExtractRows(Mode mode, std::string_view page,
                                 const std::vector<std::string>& tags);

// True when every search that ExtractRows makes in `mode` has found its match inside
// `received`, the beginning of a longer document; or when `received` holds a NUL, where
// the document's text ends. Reading the rest of the document then cannot change a row.
bool IsDecided(Mode mode, std::string_view received, const std::vector<std::string>& tags);

// The meta pattern of a name: <meta name="N" content=" (exactly so, one blank before content).
std::string MetaPattern(std::string_view name);

// An element-pair entry (it holds "<" and ">") split into its opening and closing tag;
// nullopt when the entry has no "><" to split at. A meta-name entry is not an element pair.
struct ElementPair {
  std::string open;
  std::string close;
};
bool IsElementPairEntry(std::string_view entry);
std::optional<ElementPair> SplitElementPair(std::string_view entry);

}  // namespace orvanel

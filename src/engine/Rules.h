#pragma once

#include <memory>
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

// The same rows with cells that point into `page` and `tags` instead of copying them: for
// a caller that copies each cell once, onwards, while both are alive (a head is tens of
// kilobytes).
struct RuleRowView {
  std::vector<std::optional<std::string_view>> cells;
  bool checked = false;
};
std::vector<RuleRowView> ExtractRowViews(Mode mode, std::string_view page,
                                         const std::vector<std::string>& tags);

// True when every search that ExtractRows makes in `mode` has found its match inside
// `received`, the beginning of a longer document; or when `received` holds a NUL, where
// the document's text ends. Reading the rest of the document then cannot change a row.
bool IsDecided(Mode mode, std::string_view received, const std::vector<std::string>& tags);

// IsDecided, chunk after chunk: each call goes on from where the last one stopped, so a
// document is scanned once however it arrives.
class RowDecision {
 public:
  RowDecision(Mode mode, const std::vector<std::string>& tags);
  // `received`: the document's beginning so far, the last call's grown (a shorter one, or
  // the first call, starts over). Returns the length of the shortest beginning of it that
  // already fixes the rows (a NUL ends the text: its position + 1), or 0 while more bytes
  // may still change a row. With `whole`, `received` is the whole document: what was not
  // found is not there, and the answer is never 0.
  std::size_t Decide(std::string_view received, bool whole = false);

 private:
  // The first `first` at or after the scan, then the first `second` at or after its
  // position + `offset`: the end of `second` is where the search is decided. The patterns
  // are shared by every copy (a copy is made for each page); where a search stands is each
  // copy's own.
  struct Pattern {
    std::string first;
    std::string second;
    std::size_t offset = 0;
  };
  struct Chain {
    std::size_t first_at = std::string_view::npos;
    std::size_t scan = 0;  // next position a search starts at
    std::size_t end = 0;   // set once found
  };
  static bool Advance(const Pattern& pattern, Chain& chain, std::string_view text);
  void Restart();

  std::shared_ptr<const std::vector<Pattern>> patterns_;
  std::vector<Chain> chains_;  // one for each pattern
  std::size_t seen_ = 0;       // bytes looked at for a NUL
  std::size_t nul_ = std::string_view::npos;
  std::size_t pending_ = 0;  // chains not yet decided
  std::size_t decided_end_ = 0;
};

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

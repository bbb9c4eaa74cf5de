#include "engine/Rules.h"

#include <algorithm>
#include <cstring>

#include "engine/TextSearch.h"

namespace orvanel {
namespace {

constexpr std::string_view kHeadOpen = "<head>";
constexpr std::string_view kHeadClose = "</head>";
constexpr std::string_view kTitleOpen = "<title>";
constexpr std::string_view kTitleClose = "</title>";
constexpr char kQuote = '"';

// Where a search of the rules landed: [begin, end) of the extracted text, plus whether the
// search came to a decision at all (a miss is only final once the whole text is known).
struct Span {
  std::size_t begin = kNotFound;
  std::size_t end = kNotFound;
  bool found() const { return begin != kNotFound; }
};

// The text between `open` and the first `close` after it.
Span Between(std::string_view page, std::string_view open, std::string_view close) {
  const std::size_t s = FindNoCase(page, open, 0);
  if (s == kNotFound) return {};
  const std::size_t v = s + open.size();
  const std::size_t e = FindNoCase(page, close, v);
  if (e == kNotFound) return {};
  return {v, e};
}

Span MetaValue(std::string_view page, std::string_view name) {
  const std::string pattern = MetaPattern(name);
  const std::size_t s = FindNoCase(page, pattern, 0);
  if (s == kNotFound) return {};
  const std::size_t v = s + pattern.size();
  const std::size_t e = page.find(kQuote, v);
  if (e == std::string_view::npos) return {};
  return {v, e};
}

Span Head(std::string_view page) {
  const std::size_t s = FindNoCase(page, kHeadOpen, 0);
  if (s == kNotFound) return {};
  // The closing tag is searched from the opening tag itself, not after it.
  const std::size_t e = FindNoCase(page, kHeadClose, s);
  if (e == kNotFound) return {};
  return {s, e + kHeadClose.size()};
}

std::optional<std::string_view> Take(std::string_view page, Span span) {
  if (!span.found()) return std::nullopt;
  return page.substr(span.begin, span.end - span.begin);
}

// A listed entry's search; `needs_search` is false for an element pair that cannot be split,
// which extracts nothing whatever the page holds.
struct EntrySearch {
  Span span;
  bool needs_search = true;
};

EntrySearch SearchEntry(std::string_view page, const std::string& entry) {
  if (IsElementPairEntry(entry)) {
    const auto pair = SplitElementPair(entry);
    if (!pair) return {{}, false};
    return {Between(page, pair->open, pair->close), true};
  }
  return {MetaValue(page, entry), true};
}

}  // namespace

std::string MetaPattern(std::string_view name) {
  std::string pattern = "<meta name=\"";
  pattern += name;
  pattern += "\" content=\"";
  return pattern;
}

bool IsElementPairEntry(std::string_view entry) {
  return entry.find('<') != std::string_view::npos && entry.find('>') != std::string_view::npos;
}

std::optional<ElementPair> SplitElementPair(std::string_view entry) {
  const std::size_t cut = entry.find("><");
  if (cut == std::string_view::npos) return std::nullopt;
  // Pieces after the second are ignored: the closing tag is "<" + the second piece.
  const std::size_t second_begin = cut + 2;
  std::size_t second_end = entry.find("><", second_begin);
  if (second_end == std::string_view::npos) second_end = entry.size();
  ElementPair pair;
  pair.open.assign(entry.substr(0, cut)).push_back('>');
  pair.close.push_back('<');
  pair.close.append(entry.substr(second_begin, second_end - second_begin));
  return pair;
}

std::vector<RuleRowView> ExtractRowViews(Mode mode, std::string_view page,
                                         const std::vector<std::string>& tags) {
  std::vector<RuleRowView> rows;
  switch (mode) {
    case Mode::kEntireHeadTag: {
      const Span head = Head(page);
      if (head.found()) rows.push_back({{Take(page, head)}, true});
      break;
    }
    case Mode::kTitleAndMetaTags: {
      RuleRowView row;
      const Span title = Between(page, kTitleOpen, kTitleClose);
      row.checked = title.found();
      row.cells.push_back(Take(page, title));
      row.cells.push_back(Take(page, MetaValue(page, "keywords")));
      row.cells.push_back(Take(page, MetaValue(page, "description")));
      rows.push_back(std::move(row));
      break;
    }
    case Mode::kOnlyListedTags: {
      rows.reserve(tags.size());
      for (const auto& entry : tags) {
        RuleRowView row;
        row.checked = true;
        row.cells.push_back(entry);
        row.cells.push_back(Take(page, SearchEntry(page, entry).span));
        rows.push_back(std::move(row));
      }
      break;
    }
  }
  return rows;
}

std::vector<RuleRow> ExtractRows(Mode mode, std::string_view page,
                                 const std::vector<std::string>& tags) {
  std::vector<RuleRow> rows;
  for (const auto& view : ExtractRowViews(mode, page, tags)) {
    RuleRow& row = rows.emplace_back();
    row.checked = view.checked;
    row.cells.reserve(view.cells.size());
    for (const auto& cell : view.cells) {
      if (cell) {
        row.cells.emplace_back(std::in_place, *cell);
      } else {
        row.cells.emplace_back();
      }
    }
  }
  return rows;
}

bool IsDecided(Mode mode, std::string_view received, const std::vector<std::string>& tags) {
  if (received.find('\0') != std::string_view::npos) return true;
  switch (mode) {
    case Mode::kEntireHeadTag:
      return Head(received).found();
    case Mode::kTitleAndMetaTags:
      return Between(received, kTitleOpen, kTitleClose).found() &&
             MetaValue(received, "keywords").found() && MetaValue(received, "description").found();
    case Mode::kOnlyListedTags:
      for (const auto& entry : tags) {
        const EntrySearch search = SearchEntry(received, entry);
        if (search.needs_search && !search.span.found()) return false;
      }
      return true;
  }
  return false;
}

RowDecision::RowDecision(Mode mode, const std::vector<std::string>& tags) {
  auto patterns = std::make_shared<std::vector<Pattern>>();
  auto between = [&](std::string first, std::string second, std::size_t offset) {
    const std::size_t skip = offset == kNotFound ? first.size() : offset;
    patterns->push_back({std::move(first), std::move(second), skip});
  };
  auto meta = [&](std::string_view name) { between(MetaPattern(name), "\"", kNotFound); };
  switch (mode) {
    case Mode::kEntireHeadTag:
      // The closing tag is searched from the opening tag itself.
      between(std::string(kHeadOpen), std::string(kHeadClose), 0);
      break;
    case Mode::kTitleAndMetaTags:
      between(std::string(kTitleOpen), std::string(kTitleClose), kNotFound);
      meta("keywords");
      meta("description");
      break;
    case Mode::kOnlyListedTags:
      for (const auto& entry : tags) {
        if (!IsElementPairEntry(entry)) {
          meta(entry);
        } else if (auto pair = SplitElementPair(entry)) {
          between(std::move(pair->open), std::move(pair->close), kNotFound);
        }
      }
      break;
  }
  chains_.resize(patterns->size());
  patterns_ = std::move(patterns);
  Restart();
}

void RowDecision::Restart() {
  for (auto& chain : chains_) chain = Chain{};
  seen_ = 0;
  nul_ = std::string_view::npos;
  pending_ = chains_.size();
  decided_end_ = 0;
}

bool RowDecision::Advance(const Pattern& pattern, Chain& chain, std::string_view text) {
  // A pattern can only end in bytes not searched yet: the next search starts that much
  // before the end.
  auto search = [&](const std::string& needle, std::size_t& found) {
    const std::size_t at = FindNoCase(text, needle, chain.scan);
    if (at != kNotFound) {
      found = at;
      return true;
    }
    if (text.size() >= needle.size())
      chain.scan = std::max(chain.scan, text.size() - needle.size() + 1);
    return false;
  };
  if (chain.first_at == std::string_view::npos) {
    if (!search(pattern.first, chain.first_at)) return false;
    chain.scan = chain.first_at + pattern.offset;
  }
  std::size_t second = 0;
  if (!search(pattern.second, second)) return false;
  chain.end = second + pattern.second.size();
  return true;
}

std::size_t RowDecision::Decide(std::string_view received, bool whole) {
  if (received.size() < seen_) Restart();
  if (nul_ == std::string_view::npos) {
    const auto* found = received.size() > seen_
                            ? std::memchr(received.data() + seen_, '\0', received.size() - seen_)
                            : nullptr;
    if (found) nul_ = static_cast<std::size_t>(static_cast<const char*>(found) - received.data());
    seen_ = received.size();
  }
  // Matches past the NUL cannot count: the text ends there.
  const std::string_view text =
      nul_ == std::string_view::npos ? received : received.substr(0, nul_);
  for (std::size_t i = 0; i < chains_.size(); ++i) {
    Chain& chain = chains_[i];
    if (chain.end != 0 || !Advance((*patterns_)[i], chain, text)) continue;
    decided_end_ = std::max(decided_end_, chain.end);
    --pending_;
  }
  if (pending_ == 0) return decided_end_;
  if (nul_ != std::string_view::npos) return nul_ + 1;
  // The searches still pending find nothing in the rest: the rows are those of the
  // beginning through the last match found (at least one byte, so that 0 keeps its sense).
  return whole ? std::max<std::size_t>(decided_end_, 1) : 0;
}

}  // namespace orvanel

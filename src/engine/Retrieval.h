#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Address.h"
#include "engine/Charset.h"
#include "engine/Rules.h"
#include "fetch/Fetcher.h"

namespace orvanel {

// A page as the rules see it, and what the transfer knows of it.
struct Page {
  NormalisedAddress address;
  std::string text;  // UTF-8; empty when the document could not be had
  bool ok = false;
  std::string message;                    // "URL ... cannot be extracted." when !ok
  std::string error;                      // the transfer's own description when !ok
  FetchError reason = FetchError::kNone;  // never kNone when !ok
  long status = 0;
  std::string final_url;
  std::string charset;
  std::optional<CharsetSource> charset_source;
  std::uint64_t bytes_read = 0;  // bytes received, kept or not
  // Of the document read (all of it, or the beginning that fixed the rows): with `steady`
  // (see MakePage), the same for the same answers however they came.
  std::uint64_t document_bytes = 0;
  bool cut_early = false;
};

// Whether the tags of `mode` are plain ASCII (always so outside mode kOnlyListedTags).
bool TagsAreAscii(Mode mode, const std::vector<std::string>& tags);

// Whether the bytes received so far already fix the rows of `mode` and `tags`: the
// charset is settled by them and the rules cannot change with more bytes.
bool RowsAreDecided(Mode mode, const std::vector<std::string>& tags, bool ascii_tags,
                    std::string_view bytes, std::string_view content_type);

// RowsAreDecided, chunk after chunk, as a FetchRequest's `decided` test: each call goes on
// from where the last stopped. Returns the length of the shortest beginning that fixes
// the rows (and decodes as the whole would), 0 while it is not decided. With `whole`, the
// bytes are the whole document: the beginning that gives its rows, its charset and its
// text as far as the rows read it (all of it when its charset is only detected).
class EarlyDecision {
 public:
  EarlyDecision(Mode mode, const std::vector<std::string>& tags)
      : rows_(mode, tags), decoding_(TagsAreAscii(mode, tags)) {}
  std::size_t operator()(std::string_view bytes, std::string_view content_type, bool whole);

 private:
  RowDecision rows_;
  DecodingWatch decoding_;
};

// The request for one address. With `early_stop`, the transfer ends as soon as reading
// further cannot change the rows of `mode`.
FetchRequest MakeFetchRequest(const NormalisedAddress& address, Mode mode,
                              const std::vector<std::string>& tags, bool early_stop);

// Turns a finished transfer into page text. With `steady`, a page stopped early is read
// only as far as its decision went (FetchResult::decided_at): the same answers then give
// the same text, charset and length whatever the timing of their arrival; the rows are
// the same either way. With `brief`, the caller drops the page as soon as it has its rows:
// its text may then keep the document's whole buffer rather than a copy of its beginning,
// and a document read whole is decoded only as far as FetchResult::enough_at.
Page MakePage(const NormalisedAddress& address, FetchResult result, bool steady = false,
              bool brief = false);

// Fetches one address and waits for it: normalise, fetch, decode.
Page FetchPage(Fetcher& fetcher, const std::string& address, Mode mode,
               const std::vector<std::string>& tags, bool early_stop);

}  // namespace orvanel

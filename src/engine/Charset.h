#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "text/Utf8.h"

namespace orvanel {

enum class CharsetSource { kByteOrderMark, kHeader, kMeta, kDetected, kFallback };

const char* CharsetSourceName(CharsetSource source);  // "bom", "header", "meta", ...

struct DecodedDocument {
  std::string text;     // valid UTF-8, cut just before the first NUL
  std::string charset;  // canonical lower-case name, e.g. "utf-8", "windows-1252"
  CharsetSource source = CharsetSource::kFallback;
};

// Decodes a fetched document. The charset comes from a byte-order mark, else the charset
// parameter of `content_type` (the HTTP Content-Type header), else a <meta charset> or
// http-equiv declaration in the first 1024 bytes, else UTF-8 when the bytes are valid
// UTF-8, else windows-1252. Bytes the charset cannot decode become U+FFFD.
DecodedDocument DecodeDocument(std::string_view bytes, std::string_view content_type);
// The same for a document the caller gives up: a document in UTF-8 may become the text
// without a copy, when its buffer holds little more than the text or, with `brief`, the
// caller drops the text as soon as it has read it.
DecodedDocument DecodeOwnedDocument(std::string&& bytes, std::string_view content_type,
                                    bool brief = false);

// True when the beginning `prefix` of a document (its Content-Type being `content_type`)
// already fixes how the document's text up to its last byte is decoded, in a charset in
// which every ASCII byte stands for its ASCII character; so plain searches for ASCII
// patterns in the raw bytes agree with searches in the decoded text. `ascii_patterns`
// says whether every pattern searched for is ASCII (else only UTF-8 qualifies).
bool IsDecodingSettled(std::string_view prefix, std::string_view content_type, bool ascii_patterns);

// Whether the decoding of a document is settled by its beginning, chunk after chunk:
// each call's `prefix` is the last call's grown (a shorter one starts over), and only the
// new bytes are looked at. `rows_end` is the length of the beginning that fixes the rows
// (0 while they are not fixed). nullopt while the decoding is not settled; once it is,
// the length n >= rows_end of the shortest beginning that DecodeDocument reads as the
// whole document in all the rows use of it. n depends on the document alone, never on how
// it arrived: it is the first length at which the answer is yes, and stays yes. With
// `whole`, `prefix` is the whole document, which always reads as itself: the answer is
// then never nullopt, and no more than its length.
class DecodingWatch {
 public:
  explicit DecodingWatch(bool ascii_patterns) : ascii_patterns_(ascii_patterns) {}
  std::optional<std::size_t> Settled(std::string_view prefix, std::string_view content_type,
                                     std::size_t rows_end, bool whole = false);

 private:
  std::optional<std::size_t> Judge(std::string_view prefix, std::string_view content_type,
                                   std::size_t rows_end, bool whole);

  bool ascii_patterns_;
  std::size_t seen_ = 0;  // bytes looked at for a NUL
  std::size_t nul_ = std::string_view::npos;
  std::size_t ascii_checked_ = 0;  // the beginning last checked for bytes past ASCII
  bool ascii_ = false;             // and whether it held none
  bool header_done_ = false;
  bool meta_done_ = false;
  int family_ = 0;  // of the charset declared; 0 while none is known
  bool transparent_ = false;
  std::size_t declared_end_ = 0;  // the end of the meta tag that declared it
  int text_is_utf8_ = -1;         // of the text before the NUL, once known
};

}  // namespace orvanel

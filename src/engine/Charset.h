#pragma once

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

// True when the beginning `prefix` of a document (its Content-Type being `content_type`)
// already fixes how the document's text up to its last byte is decoded, in a charset in
// which every ASCII byte stands for its ASCII character; so plain searches for ASCII
// patterns in the raw bytes agree with searches in the decoded text. `ascii_patterns`
// says whether every pattern searched for is ASCII (else only UTF-8 qualifies).
bool IsDecodingSettled(std::string_view prefix, std::string_view content_type, bool ascii_patterns);

}  // namespace orvanel

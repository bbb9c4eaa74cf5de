#include "engine/Charset.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "engine/IconvDecode.h"
#include "engine/TextSearch.h"
#include "text/Utf16.h"

namespace orvanel {
namespace {

constexpr std::size_t kSniffWindow = 1024;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

bool IsLabelChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == ':';
}

// The charset label after "charset" in `text`, skipping blanks, "=" and a quote.
std::optional<std::string> LabelAfterCharset(std::string_view text) {
  std::size_t at = FindNoCase(text, "charset");
  while (at != kNotFound) {
    std::size_t i = at + 7;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < text.size() && text[i] == '=') {
      ++i;
      while (i < text.size() &&
             (text[i] == ' ' || text[i] == '\t' || text[i] == '"' || text[i] == '\''))
        ++i;
      std::size_t end = i;
      while (end < text.size() && IsLabelChar(text[end])) ++end;
      if (end > i) return std::string(text.substr(i, end - i));
    }
    at = FindNoCase(text, "charset", at + 7);
  }
  return std::nullopt;
}

enum class Family { kUtf8, kWindows1252, kUtf16Le, kUtf16Be, kOther, kUnknown };

struct Charset {
  Family family = Family::kUnknown;
  std::string name;  // canonical, lower case
};

// `from_meta`: a meta declaration of UTF-16 means UTF-8, since the page was read as ASCII.
Charset ResolveLabel(std::string_view label, bool from_meta) {
  const std::string l = Lower(label);
  if (l == "utf-8" || l == "utf8" || l == "unicode-1-1-utf-8") return {Family::kUtf8, "utf-8"};
  if (l == "windows-1252" || l == "cp1252" || l == "iso-8859-1" || l == "iso8859-1" ||
      l == "latin1" || l == "l1" || l == "us-ascii" || l == "ascii" || l == "iso_8859-1" ||
      l == "x-cp1252" || l == "cp819" || l == "ibm819") {
    return {Family::kWindows1252, "windows-1252"};
  }
  if (l == "utf-16" || l == "utf-16le" || l == "utf-16be" || l == "unicode") {
    if (from_meta) return {Family::kUtf8, "utf-8"};
    if (l == "utf-16be") return {Family::kUtf16Be, "utf-16be"};
    return {Family::kUtf16Le, "utf-16le"};
  }
  // UTF-7 is no page's charset: browsers refuse it, since it would make tags of text
  // ("+ADw-title+AD4-" is "<title>") that a browser shows as it is.
  const bool utf7 = l.find("utf-7") != std::string::npos || l.find("utf7") != std::string::npos;
  if (!l.empty() && !utf7 && IconvKnows(l)) return {Family::kOther, l};
  return {};
}

std::optional<std::string> HeaderLabel(std::string_view content_type) {
  return LabelAfterCharset(content_type);
}

// The label of the first <meta> tag in the sniff window that declares one, outside
// comments, as browsers look for it; `tag_end` is set past that tag's ">".
std::optional<std::string> MetaLabel(std::string_view bytes, std::size_t* tag_end = nullptr) {
  const std::string_view window = bytes.substr(0, std::min(bytes.size(), kSniffWindow));
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = FindNoCase(window, "<meta", from);
    if (at == kNotFound) return std::nullopt;
    const std::size_t comment = window.substr(0, at).find("<!--", from);
    if (comment != std::string_view::npos) {
      // "<!-->" closes at once; a comment that runs past the window hides the rest.
      const std::size_t close = window.find("-->", comment + 2);
      if (close == std::string_view::npos) return std::nullopt;
      from = close + 3;
      continue;
    }
    const std::size_t end = window.find('>', at);
    if (end == std::string_view::npos) return std::nullopt;  // tag cut by the window
    if (auto label = LabelAfterCharset(window.substr(at, end - at))) {
      if (tag_end) *tag_end = end + 1;
      return label;
    }
    from = end;
  }
}

std::string DecodeUtf8(std::string_view bytes) { return SanitiseUtf8(bytes); }

std::string DecodeUtf16(std::string_view bytes, bool big_endian) {
  std::string out;
  out.reserve(bytes.size());
  Utf16Decoder decoder(big_endian ? Utf16Decoder::ByteOrder::kBigEndian
                                  : Utf16Decoder::ByteOrder::kLittleEndian);
  decoder.Feed(bytes, out);
  decoder.Finish(out);
  return out;
}

std::string CutAtNul(std::string text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

bool IsAscii(std::string_view bytes) {
  // Eight bytes at a time: none has its high bit set.
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; i < bytes.size(); ++i) {
    if (static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
  }
  return true;
}

// Charsets in which every byte below 0x80 always stands for that ASCII character.
bool IsAsciiTransparent(const Charset& charset) {
  if (charset.family == Family::kUtf8 || charset.family == Family::kWindows1252) return true;
  if (charset.family != Family::kOther) return false;
  const std::string& n = charset.name;
  return n.rfind("iso-8859-", 0) == 0 || n.rfind("windows-125", 0) == 0 ||
         n.rfind("koi8", 0) == 0 || n.rfind("euc-", 0) == 0;
}

}  // namespace

const char* CharsetSourceName(CharsetSource source) {
  switch (source) {
    case CharsetSource::kByteOrderMark:
      return "bom";
    case CharsetSource::kHeader:
      return "header";
    case CharsetSource::kMeta:
      return "meta";
    case CharsetSource::kDetected:
      return "detected";
    case CharsetSource::kFallback:
      return "fallback";
  }
  return "fallback";
}

namespace {

// The text of a document in UTF-8. Valid bytes are the text as they are: taken over from
// `owned`, whose beginning they are, when its buffer holds little more than them (so that
// a page waiting to be written holds no more than a copy would) or the text is `brief`
// (dropped soon); copied otherwise.
std::string Utf8Text(std::string_view bytes, bool known_valid, std::string* owned, bool brief) {
  if (!known_valid && ValidUtf8Prefix(bytes) != bytes.size()) return SanitiseUtf8(bytes);
  if (owned != nullptr && bytes.data() == owned->data() &&
      (brief || owned->capacity() - bytes.size() <= bytes.size() / 8 + 64)) {
    owned->resize(bytes.size());
    return std::move(*owned);
  }
  return std::string(bytes);
}

DecodedDocument Decode(std::string_view bytes, std::string_view content_type, std::string* owned,
                       bool brief) {
  DecodedDocument doc;
  // 1. Byte-order mark.
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    doc.charset = "utf-8";
    doc.source = CharsetSource::kByteOrderMark;
    doc.text = CutAtNul(DecodeUtf8(bytes.substr(3)));
    return doc;
  }
  if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF") {
    const bool big = bytes[0] == '\xFE';
    doc.charset = big ? "utf-16be" : "utf-16le";
    doc.source = CharsetSource::kByteOrderMark;
    doc.text = CutAtNul(DecodeUtf16(bytes.substr(2), big));
    return doc;
  }
  // 2. The Content-Type header.
  Charset charset;
  if (auto label = HeaderLabel(content_type)) {
    charset = ResolveLabel(*label, false);
    if (charset.family != Family::kUnknown) doc.source = CharsetSource::kHeader;
  }
  if (charset.family == Family::kUtf16Le || charset.family == Family::kUtf16Be) {
    doc.charset = charset.name;
    doc.text = CutAtNul(DecodeUtf16(bytes, charset.family == Family::kUtf16Be));
    return doc;
  }
  if (charset.family == Family::kOther && !IsAsciiTransparent(charset)) {
    // Multi-byte charsets may hold NUL inside characters: decode first, then cut.
    doc.charset = charset.name;
    doc.text = CutAtNul(DecodeWithIconv(bytes, charset.name));
    return doc;
  }
  // The rest reads ASCII as ASCII: the document ends at its first NUL byte.
  const std::size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  // 3. A meta declaration near the start.
  if (charset.family == Family::kUnknown) {
    if (auto label = MetaLabel(bytes)) {
      charset = ResolveLabel(*label, true);
      if (charset.family != Family::kUnknown) doc.source = CharsetSource::kMeta;
    }
  }
  // 4. Detection.
  bool valid_utf8 = false;  // known to be: decoding it is a copy
  if (charset.family == Family::kUnknown) {
    valid_utf8 = ValidUtf8Prefix(bytes) == bytes.size();
    if (valid_utf8) {
      charset = {Family::kUtf8, "utf-8"};
      doc.source = CharsetSource::kDetected;
    } else {
      charset = {Family::kWindows1252, "windows-1252"};
      doc.source = CharsetSource::kFallback;
    }
  }
  doc.charset = charset.name;
  switch (charset.family) {
    case Family::kUtf8:
      doc.text = Utf8Text(bytes, valid_utf8, owned, brief);
      break;
    case Family::kWindows1252:
      doc.text = DecodeWindows1252(bytes);
      break;
    default:
      doc.text = CutAtNul(DecodeWithIconv(bytes, charset.name));
      break;
  }
  return doc;
}

}  // namespace

DecodedDocument DecodeDocument(std::string_view bytes, std::string_view content_type) {
  return Decode(bytes, content_type, nullptr, false);
}

DecodedDocument DecodeOwnedDocument(std::string&& bytes, std::string_view content_type,
                                    bool brief) {
  return Decode(bytes, content_type, &bytes, brief);
}

bool IsDecodingSettled(std::string_view prefix, std::string_view content_type,
                       bool ascii_patterns) {
  if (prefix.substr(0, 3) == "\xEF\xBB\xBF") return true;
  if (prefix.size() < 2) return false;
  if (prefix.substr(0, 2) == "\xFF\xFE" || prefix.substr(0, 2) == "\xFE\xFF") return false;
  Charset charset;
  if (auto label = HeaderLabel(content_type)) charset = ResolveLabel(*label, false);
  const std::size_t nul = prefix.find('\0');
  const bool complete = nul != std::string_view::npos;  // the text ends at the NUL
  std::string_view text = complete ? prefix.substr(0, nul) : prefix;
  if (charset.family == Family::kUnknown) {
    // A declaration whose tag is complete in the prefix is the one the whole document
    // gives; without one, a declaration may still come until the sniff window is in.
    if (auto label = MetaLabel(text)) {
      charset = ResolveLabel(*label, true);
    } else if (!complete && text.size() < kSniffWindow) {
      return false;
    }
  }
  if (charset.family == Family::kUnknown) {
    // Detection looks at every byte: only a document that is ASCII so far and ends here,
    // or that stays ASCII in all we use of it, decodes the same either way.
    if (complete) return ascii_patterns || ValidUtf8Prefix(text) == text.size();
    return IsAscii(text);
  }
  if (!IsAsciiTransparent(charset)) return false;
  return ascii_patterns || charset.family == Family::kUtf8;
}

std::optional<std::size_t> DecodingWatch::Settled(std::string_view prefix,
                                                  std::string_view content_type,
                                                  std::size_t rows_end, bool whole) {
  const auto settled = Judge(prefix, content_type, rows_end, whole);
  if (!whole) return settled;
  return std::min(settled.value_or(prefix.size()), prefix.size());
}

std::optional<std::size_t> DecodingWatch::Judge(std::string_view prefix,
                                                std::string_view content_type, std::size_t rows_end,
                                                bool whole) {
  if (prefix.size() < seen_) *this = DecodingWatch(ascii_patterns_);
  if (prefix.substr(0, 3) == "\xEF\xBB\xBF") {
    if (rows_end == 0) return std::nullopt;
    return std::max<std::size_t>(rows_end, 3);
  }
  if (prefix.size() < 2) return std::nullopt;
  if (prefix.substr(0, 2) == "\xFF\xFE" || prefix.substr(0, 2) == "\xFE\xFF") return std::nullopt;
  auto take = [this](const Charset& charset) {
    family_ = static_cast<int>(charset.family) + 1;
    transparent_ = IsAsciiTransparent(charset);
  };
  if (!header_done_) {
    header_done_ = true;
    if (auto label = HeaderLabel(content_type)) {
      const Charset charset = ResolveLabel(*label, false);
      if (charset.family != Family::kUnknown) {
        take(charset);
        meta_done_ = true;
      }
    }
  }
  // The new bytes, for the first NUL: the text ends there.
  if (nul_ == std::string_view::npos && seen_ < prefix.size()) {
    const void* at = std::memchr(prefix.data() + seen_, 0, prefix.size() - seen_);
    if (at) nul_ = static_cast<std::size_t>(static_cast<const char*>(at) - prefix.data());
    seen_ = prefix.size();
  }
  const bool complete = nul_ != std::string_view::npos;
  const std::string_view text = complete ? prefix.substr(0, nul_) : prefix;
  if (!meta_done_) {
    // A declaration whose tag is complete is the one the whole document gives; without
    // one, a declaration may still come until the sniff window is in.
    std::size_t end = 0;
    if (auto label = MetaLabel(text, &end)) {
      const Charset charset = ResolveLabel(*label, true);
      if (charset.family != Family::kUnknown) {
        take(charset);
        declared_end_ = end;
      }
      meta_done_ = true;
    } else if (complete || whole || text.size() >= kSniffWindow) {
      meta_done_ = true;
    } else {
      return std::nullopt;
    }
  }
  if (rows_end == 0) return std::nullopt;
  if (family_ != 0) {
    if (!transparent_) return std::nullopt;
    if (!ascii_patterns_ && family_ != static_cast<int>(Family::kUtf8) + 1) return std::nullopt;
    return std::max(rows_end, declared_end_);
  }
  // Detected from every byte of a whole document: only all of it names the same charset.
  if (whole) return std::nullopt;
  // Detected: only a beginning that is ASCII through the sniff window and the rows, or a
  // text that ends at a NUL and reads the same either way, decodes as the whole does.
  std::optional<std::size_t> settled;
  if (complete) {
    if (text_is_utf8_ < 0) text_is_utf8_ = ValidUtf8Prefix(text) == text.size();
    if (ascii_patterns_ || text_is_utf8_) settled = std::max(rows_end, nul_ + 1);
  }
  const std::size_t ascii_through = std::max(kSniffWindow, rows_end);
  const bool in = complete ? nul_ >= ascii_through : prefix.size() >= ascii_through;
  if (in) {
    // Looked at once: the rows, and so `ascii_through`, are fixed by now.
    if (ascii_checked_ != ascii_through) {
      ascii_checked_ = ascii_through;
      ascii_ = IsAscii(prefix.substr(0, ascii_through));
    }
    if (ascii_) settled = std::min(settled.value_or(ascii_through), ascii_through);
  }
  return settled;
}

}  // namespace orvanel

#include "storage/IniDocument.h"

#include <cctype>
#include <cstdint>

#include "text/Hex.h"
#include "text/Utf16.h"
#include "text/Utf8.h"

namespace orvanel {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The one-letter escapes of values, and the control characters they stand for.
constexpr std::string_view kEscapeLetters = "abfnrtv";
constexpr std::string_view kEscapedControls = "\a\b\f\n\r\t\v";

// Keys and section names: "%XX" stands for a byte.
std::string PercentDecode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string PercentEncode(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      AppendHexByte(out, static_cast<unsigned char>(c), /*upper=*/true);
    }
  }
  return out;
}

}  // namespace

std::string EscapeIniValue(std::string_view value) {
  std::string result;
  if (!value.empty() && value.front() == '@') result += '@';
  bool needs_quotes = false;
  bool escape_next_if_digit = false;
  for (const char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == ';' || c == ',' || c == '=') needs_quotes = true;
    if (escape_next_if_digit && HexValue(ch) >= 0) {
      result += "\\x";
      AppendHexByte(result, static_cast<unsigned char>(c));
      continue;
    }
    escape_next_if_digit = false;
    const std::size_t control = c == 0 ? std::string_view::npos : kEscapedControls.find(ch);
    if (control != std::string_view::npos) {
      result += '\\';
      result += kEscapeLetters[control];
    } else if (c == '"' || c == '\\') {
      result += '\\';
      result += ch;
    } else if (c == 0) {
      result += "\\0";
      escape_next_if_digit = true;
    } else if (c <= 0x1F) {
      result += "\\x";
      if (c >= 16) result += kLowerHexDigits[c >> 4];
      result += kLowerHexDigits[c & 15];
      escape_next_if_digit = true;
    } else {
      result += ch;
    }
  }
  if (needs_quotes || (!result.empty() && (result.front() == ' ' || result.back() == ' '))) {
    result.insert(result.begin(), '"');
    result += '"';
  }
  return result;
}

std::string UnescapeIniValue(std::string_view raw) {
  raw = Trim(raw);
  std::string out;
  std::size_t kept = 0;  // length of `out` up to its last character that is not an unquoted blank
  bool quoted = false;
  // UTF-16 code units from "\x" and octal escapes, paired into code points.
  Utf16Decoder units(Utf16Decoder::ByteOrder::kLittleEndian);
  auto flush_surrogate = [&] { units.Finish(out); };
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '"') {
      flush_surrogate();
      quoted = !quoted;
      continue;
    }
    if (c == ';' && !quoted) {
      // The rest of the line is a comment; blanks before it are not part of the value.
      while (out.size() > kept && IsBlank(out.back())) out.pop_back();
      break;
    }
    if (c != '\\' || i + 1 == raw.size()) {
      flush_surrogate();
      out += c;
      if (quoted || !IsBlank(c)) kept = out.size();
      continue;
    }
    const char e = raw[++i];
    const std::size_t letter = kEscapeLetters.find(e);
    if (letter != std::string_view::npos) {
      flush_surrogate();
      out += kEscapedControls[letter];
    } else if (e == 'x') {
      std::uint32_t unit = 0;
      std::size_t digits = 0;
      while (i + 1 < raw.size() && HexValue(raw[i + 1]) >= 0) {
        unit = (unit * 16 + static_cast<std::uint32_t>(HexValue(raw[++i]))) & 0xFFFF;
        ++digits;
      }
      if (digits == 0) {
        flush_surrogate();
        out += 'x';
      } else {
        units.FeedUnit(static_cast<char16_t>(unit), out);
      }
    } else if (e >= '0' && e <= '7') {
      std::uint32_t unit = static_cast<std::uint32_t>(e - '0');
      while (i + 1 < raw.size() && raw[i + 1] >= '0' && raw[i + 1] <= '7') {
        unit = (unit * 8 + static_cast<std::uint32_t>(raw[++i] - '0')) & 0xFFFF;
      }
      units.FeedUnit(static_cast<char16_t>(unit), out);
    } else {
      flush_surrogate();
      out += e;  // \" \' \\ \? and anything unknown stand for the character itself
    }
    kept = out.size();
  }
  flush_surrogate();
  // QSettings marks typed values with "@"; a text starting with "@" is stored as "@@".
  std::string_view v = out;
  if (v.size() >= 2 && v.substr(0, 2) == "@@") return std::string(v.substr(1));
  for (std::string_view prefix : {"@String(", "@ByteArray("}) {
    if (v.substr(0, prefix.size()) == prefix && v.back() == ')') {
      return std::string(v.substr(prefix.size(), v.size() - prefix.size() - 1));
    }
  }
  return out;
}

IniDocument IniDocument::Parse(std::string_view text) {
  IniDocument doc;
  doc.sections_.push_back({});
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
    doc.damaged_ = true;
  }
  if (text.find('\0') != std::string_view::npos) doc.damaged_ = true;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    // A CR LF line end is a line end too: the CR is no part of the line.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (ValidUtf8Prefix(line) != line.size() || line.find('\0') != std::string_view::npos) {
      doc.damaged_ = true;
      continue;
    }
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') {
      doc.sections_.back().entries.push_back({"", "", std::string(line)});
      continue;
    }
    if (trimmed.front() == '[') {
      const std::size_t close = trimmed.find(']');
      // Text after the "]" is not written back: the file counts as damaged.
      if (close == std::string_view::npos || !Trim(trimmed.substr(close + 1)).empty()) {
        doc.damaged_ = true;
      }
      const std::string_view name =
          trimmed.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
      Section section;
      section.name = PercentDecode(name);
      section.raw = "[" + std::string(name) + "]";
      doc.sections_.push_back(std::move(section));
      continue;
    }
    const std::size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos || Trim(trimmed.substr(0, equals)).empty()) {
      doc.damaged_ = true;
      continue;
    }
    Entry entry;
    entry.key = PercentDecode(Trim(trimmed.substr(0, equals)));
    entry.value = UnescapeIniValue(trimmed.substr(equals + 1));
    entry.raw = std::string(line);
    doc.sections_.back().entries.push_back(std::move(entry));
  }
  return doc;
}

const std::string* IniDocument::Find(std::string_view section, std::string_view key) const {
  const std::string* found = nullptr;
  for (const auto& s : sections_) {
    if (s.name != section) continue;
    for (const auto& e : s.entries) {
      if (!e.key.empty() && e.key == key) found = &e.value;
    }
  }
  return found;
}

void IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
  const std::string raw = PercentEncode(key) + "=" + EscapeIniValue(value);
  Section* target = nullptr;
  bool found = false;
  for (auto& s : sections_) {
    if (section.empty() || s.name != section) continue;
    if (!target) target = &s;
    // Every copy of a repeated key gets the value, so that whichever one a reader takes
    // reads the new value.
    for (auto& e : s.entries) {
      if (!e.key.empty() && e.key == key) {
        e.value = std::string(value);
        e.raw = raw;
        found = true;
      }
    }
  }
  if (found) return;
  if (!target) {
    Section s;
    s.name = std::string(section);
    s.raw = "[" + PercentEncode(section) + "]";
    sections_.push_back(std::move(s));
    target = &sections_.back();
  }
  // In key order among the keys, as QSettings writes them.
  auto& entries = target->entries;
  std::size_t at = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].key.empty()) continue;
    if (entries[i].key > key) {
      at = i;
      break;
    }
    at = i + 1;
  }
  entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(at),
                 Entry{std::string(key), std::string(value), raw});
}

std::string IniDocument::Serialise() const {
  std::string out;
  for (const auto& s : sections_) {
    if (s.raw.empty() && s.entries.empty()) continue;
    if (!s.raw.empty()) {
      if (!out.empty() && out.size() >= 2 && out.substr(out.size() - 2) != "\n\n") out += '\n';
      out += s.raw + "\n";
    }
    for (const auto& e : s.entries) out += e.raw + "\n";
  }
  return out;
}

}  // namespace orvanel

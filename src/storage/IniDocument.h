#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvanel {

// The parsed form of an INI settings file in the layout QSettings reads and writes:
// "[section]" lines, "key=value" lines with QSettings' escapes, ";" and "#" comments,
// LF or CR LF line ends. Every line is kept as it was, so that sections and keys of other
// programs survive a rewrite untouched; lines that cannot be read are dropped on rewrite.
//
// A plain value: no file access, no locking. Not thread-safe.
class IniDocument {
 public:
  static IniDocument Parse(std::string_view text);

  // The unescaped value of `key` in `section`, or nullptr when absent. Of a key given more
  // than once, the last one counts, as QSettings reads it.
  const std::string* Find(std::string_view section, std::string_view key) const;
  // Sets `key` in `section`: every copy of a repeated key gets the value. A missing section
  // is added at the end, a missing key in key order, as QSettings sorts them.
  void Set(std::string_view section, std::string_view key, std::string_view value);
  // The text of the document, LF line ends.
  std::string Serialise() const;

  // True when anything in the text could not be read, and so is lost on rewrite: a line
  // that is neither a section, a key nor a comment, a section with an unclosed "[" or with
  // text after its "]", a NUL byte, bytes that are not UTF-8, or a byte-order mark.
  bool damaged() const { return damaged_; }

 private:
  struct Entry {
    std::string key;    // unescaped; empty for a comment or blank line
    std::string value;  // unescaped
    std::string raw;    // the line as it stands in the file, without its line end
  };
  struct Section {
    std::string name;  // unescaped; empty for the lines before the first section
    std::string raw;
    std::vector<Entry> entries;
  };
  std::vector<Section> sections_;
  bool damaged_ = false;
};

// QSettings' escaped form of a text value, and its inverse (lenient: any text gives a
// value). Exposed for tests.
std::string EscapeIniValue(std::string_view value);
std::string UnescapeIniValue(std::string_view raw);

}  // namespace orvanel

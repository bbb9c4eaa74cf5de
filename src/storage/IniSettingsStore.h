#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "shell/Services.h"

namespace orvanel {

// The parsed form of an INI settings file in the layout QSettings reads and writes:
// "[section]" lines, "key=value" lines with QSettings' escapes, ";" and "#" comments.
// Every line is kept as it was, so that sections and keys of other programs survive a
// rewrite untouched; lines that cannot be read are counted and dropped on rewrite.
class IniDocument {
 public:
  static IniDocument Parse(std::string_view text);

  // The unescaped value of `key` in `section`, or nullptr when absent.
  const std::string* Find(std::string_view section, std::string_view key) const;
  // Sets `key` in `section`, adding the section (at the end) and the key (in key order,
  // as QSettings sorts them) when needed.
  void Set(std::string_view section, std::string_view key, std::string_view value);
  std::string Serialise() const;

  // True when anything in the text could not be read: a line that is neither a section,
  // a key nor a comment, an unclosed section, a NUL byte, bytes that are not UTF-8, or a
  // byte-order mark. Such a file loses that part on rewrite.
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

// The per-user settings store as an INI file, section "Orvanel".
//
// Every Get reads the file afresh. Every Save takes an exclusive lock on the file (a lock
// the kernel drops when its holder dies, so a killed copy of the program never delays a
// later save), rereads it, and replaces it whole through a temporary file, readable and
// writable by the owner only. A file that cannot be read completely is copied beside
// itself as "<name>.damaged" before it is first replaced, and what could be read is kept.
//
// Not thread-safe: one thread (the window's) uses a store. Save may block for at most
// `lock_wait` while another live process holds the lock, then fails.
class IniSettingsStore : public SettingsStore {
 public:
  explicit IniSettingsStore(std::string path,
                            std::chrono::milliseconds lock_wait = std::chrono::seconds(5));
  std::string Get(const std::string& key, const std::string& fallback) override;
  void Save(const std::string& key, const std::string& value) override;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::chrono::milliseconds lock_wait_;
};

// "$XDG_CONFIG_HOME/Dravikton.ini", or "~/.config/Dravikton.ini".
std::string UserSettingsPath();

}  // namespace orvanel

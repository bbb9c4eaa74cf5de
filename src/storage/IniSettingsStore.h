#pragma once

#include <chrono>
#include <string>

#include "shell/Services.h"
#include "storage/IniDocument.h"

namespace orvanel {

// The per-user settings store as an INI file (see IniDocument), section kSettingsSection.
//
// Every Get reads the file afresh. Every Save takes an exclusive lock on the file (a lock
// the kernel drops when its holder dies, so a killed copy of the program never delays a
// later save), rereads it, and replaces it whole through a temporary file, readable and
// writable by the owner only. A file that cannot be read completely is copied beside
// itself as "<name>.damaged" before it is first replaced, and what could be read is kept.
// Temporary files that an earlier save left behind (killed while it wrote) are removed by
// the next save.
//
// A symbolic link is written through: the file it points to is replaced (created when it
// does not exist yet, in its folder), and the link stays.
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

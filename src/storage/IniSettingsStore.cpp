#include "storage/IniSettingsStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "base/Failure.h"
#include "storage/AtomicFile.h"
#include "storage/FileRead.h"
#include "storage/Links.h"
#include "storage/UniqueFd.h"

namespace orvanel {
namespace {

// A settings file this large is not ours: refuse to read it into memory.
constexpr std::size_t kMaxSettingsFile = 64u << 20;
// Symbolic links followed from the settings path at most, as the kernel counts them.

Failure SaveFailure(const std::string& key, const std::string& file, const std::string& reason) {
  return Failure("Cannot save the setting " + key + " to " + file + ": " + reason);
}

std::string ReadFileBounded(int fd, const std::string& path) {
  const Failure too_large = ReadFailure(path, "the file is larger than a settings file can be");
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw ReadFailure(path, errno);
  if (static_cast<std::uint64_t>(st.st_size) > kMaxSettingsFile) throw too_large;
  std::string text;
  if (::lseek(fd, 0, SEEK_SET) != 0) throw ReadFailure(path, errno);
  const int error = ReadChunks(fd, [&](std::string_view chunk) {
    text.append(chunk);
    if (text.size() > kMaxSettingsFile) throw too_large;
  });
  if (error != 0) throw ReadFailure(path, error);
  return text;
}

void MakeParentFolders(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return;
  std::error_code ec;
  if (std::filesystem::is_directory(parent, ec)) return;
  // A folder that cannot be made is reported by the open that needs it.
  std::filesystem::create_directories(parent, ec);
  // Configuration folders are the owner's only, as the desktop makes them. Ignored on
  // purpose when it fails: the settings file itself is the owner's only either way.
  ::chmod(parent.c_str(), 0700);
}

// A copy of a damaged file beside it: "<path>.damaged", or a numbered name when an earlier
// copy with other contents is already there.
void KeepDamagedCopy(const std::string& path, const std::string& contents) {
  for (int n = 0; n < 100; ++n) {
    const std::string copy = path + ".damaged" + (n == 0 ? "" : "." + std::to_string(n));
    const UniqueFd existing(::open(copy.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!existing) {
      WriteFileAtomically(copy, contents, 0600);
      return;
    }
    std::string kept;
    try {
      kept = ReadFileBounded(existing.get(), copy);
    } catch (const Failure&) {
      // Unreadable: it is not our copy, and the next name is tried.
    }
    if (kept == contents) return;  // already kept
  }
  throw Failure("Cannot keep a copy of the damaged settings file " + path);
}

// Whether `name` is a temporary file of this store's writes to the file `base`: of the
// file itself, or of one of its damaged copies.
bool IsTemporaryOfTheStore(std::string_view name, const std::string& base) {
  if (IsTemporaryNameOf(name, base) || IsTemporaryNameOf(name, base + ".damaged")) return true;
  const std::string numbered = "." + base + ".damaged.";
  if (name.substr(0, numbered.size()) != numbered) return false;
  const std::string_view rest = name.substr(numbered.size());
  const std::size_t digits = std::min(rest.find_first_not_of("0123456789"), rest.size());
  return digits > 0 &&
         IsTemporaryNameOf(name, base + ".damaged." + std::string(rest.substr(0, digits)));
}

// Removes the temporary files that saves cut short (a kill, a crash) left beside `target`.
// The caller holds the lock on `target`, and a save writes its temporary files only while
// it holds that lock: none of them is in use. Only regular files are removed.
void RemoveStaleTemporaries(const std::string& target) {
  const std::filesystem::path file(target);
  const std::string base = file.filename().string();
  const std::string folder = file.has_parent_path() ? file.parent_path().string() : ".";
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;  // ignored on purpose: leftovers harm nothing, the save goes on
  while (const dirent* entry = ::readdir(dir)) {
    if (!IsTemporaryOfTheStore(entry->d_name, base)) continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
      ::unlinkat(::dirfd(dir), entry->d_name, 0);  // as above: a leftover that stays harms nothing
    }
  }
  ::closedir(dir);
}

}  // namespace

IniSettingsStore::IniSettingsStore(std::string path, std::chrono::milliseconds lock_wait)
    : path_(std::move(path)), lock_wait_(lock_wait) {}

std::string IniSettingsStore::Get(const std::string& key, const std::string& fallback) {
  const UniqueFd file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) {
    if (errno == ENOENT || errno == ENOTDIR) return fallback;
    throw ReadFailure("the settings file " + path_, errno);
  }
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    throw ReadFailure("the settings file " + path_, "not a regular file");
  }
  const IniDocument doc = IniDocument::Parse(ReadFileBounded(file.get(), path_));
  const std::string* value = doc.Find(kSettingsSection, key);
  return value ? *value : fallback;
}

void IniSettingsStore::Save(const std::string& key, const std::string& value) {
  std::string target;
  try {
    target = FollowLinks(path_);
  } catch (const Failure& f) {
    throw SaveFailure(key, path_, f.what());
  }
  // The store's own folder is made when missing; the folder a link points into is the
  // user's, and a missing one is reported.
  if (target == path_) MakeParentFolders(target);
  const auto deadline = std::chrono::steady_clock::now() + lock_wait_;
  for (;;) {
    constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;
    UniqueFd file(::open(target.c_str(), kFlags));
    // Made here only to be locked: a save that fails removes it again (see below).
    bool made = false;
    if (!file && errno == ENOENT) {
      file.Reset(::open(target.c_str(), kFlags | O_CREAT | O_EXCL, 0600));
      made = static_cast<bool>(file);
      if (!file && errno == EEXIST) continue;  // made meanwhile by another copy
    }
    if (!file) throw SaveFailure(key, target, std::strerror(errno));
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      throw SaveFailure(key, target, "not a regular file");
    }
    // The lock lives as long as the descriptor and dies with its process.
    while (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        throw Failure("Cannot lock the settings file " + target + ": " + std::strerror(errno));
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        throw SaveFailure(key, target, "another program keeps the file locked");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Another copy may have replaced the file between our open and our lock: the lock
    // then guards a file nobody reads any more. Start over on the new one.
    struct stat now {};
    if (::stat(target.c_str(), &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
      if (std::chrono::steady_clock::now() >= deadline) {
        throw SaveFailure(key, target, "the file keeps changing");
      }
      continue;
    }
    RemoveStaleTemporaries(target);
    const std::string before = ReadFileBounded(file.get(), target);
    IniDocument doc = IniDocument::Parse(before);
    if (doc.damaged()) KeepDamagedCopy(target, before);
    doc.Set(kSettingsSection, key, value);
    try {
      WriteFileAtomically(target, doc.Serialise(), 0600);
    } catch (const Failure& f) {
      // The empty file made for the lock, if it is still that file, goes: a full disk
      // leaves no stray file. Ignored on purpose when it cannot be removed.
      struct stat there {};
      if (made && ::stat(target.c_str(), &there) == 0 && there.st_ino == st.st_ino &&
          there.st_dev == st.st_dev && there.st_size == 0)
        ::unlink(target.c_str());
      throw SaveFailure(key, target, f.what());
    }
    return;
  }
}

std::string UserSettingsPath() {
  const std::string name = std::string(kSettingsApplication) + ".ini";
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/" + name;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/" + name;
}

}  // namespace orvanel

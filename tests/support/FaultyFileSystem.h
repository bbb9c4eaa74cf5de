#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "storage/FileSystem.h"

namespace orvanel::testing {

// The system's calls, recorded by name (a folder's sync is "sync-folder", then the
// "sync(folder)" and "close" it makes); the call named in `fail` fails with EIO instead.
class FaultyFileSystem : public FileSystem {
 public:
  ssize_t Write(int fd, const void* data, std::size_t size) override {
    if (interrupted > 0) {
      --interrupted;
      errno = EINTR;
      return -1;
    }
    if (Fails("write")) return -1;
    return FileSystem::Write(fd, data, std::min(size, most_per_write));
  }
  // The sync of a folder is recorded as "sync(folder)".
  int Sync(int fd) override {
    struct stat st {};
    const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    return Fails(folder ? "sync(folder)" : "sync") ? -1 : FileSystem::Sync(fd);
  }
  int Close(int fd) override {
    const int rc = FileSystem::Close(fd);  // the descriptor is gone either way
    return Fails("close") ? -1 : rc;
  }
  int Rename(const std::string& from, const std::string& to) override {
    return Fails("rename") ? -1 : FileSystem::Rename(from, to);
  }
  int SyncFolder(const std::string& folder) override {
    return Fails("sync-folder") ? -1 : FileSystem::SyncFolder(folder);
  }
  std::string fail;
  std::vector<std::string> calls;
  int interrupted = 0;  // that many writes are cut by a signal before anything is written
  std::size_t most_per_write = static_cast<std::size_t>(-1);

 private:
  bool Fails(const std::string& call) {
    calls.push_back(call);
    if (call != fail) return false;
    errno = EIO;
    return true;
  }
};

}  // namespace orvanel::testing

#include "storage/FileSystem.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace orvanel {
namespace {

FileSystem& System() {
  static FileSystem system;
  return system;
}

FileSystem* g_current = nullptr;

}  // namespace

ssize_t FileSystem::Write(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);
}
int FileSystem::Sync(int fd) { return ::fsync(fd); }
int FileSystem::Close(int fd) { return ::close(fd); }
int FileSystem::Rename(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str());
}

int FileSystem::SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const int rc = Sync(fd);
  const int error = errno;
  // Only the sync matters: a folder opened for reading has nothing to lose at its close.
  Close(fd);
  errno = error;
  return rc;
}

FileSystem& CurrentFileSystem() { return g_current ? *g_current : System(); }

ScopedFileSystem::ScopedFileSystem(FileSystem& fs) : previous_(g_current) { g_current = &fs; }
ScopedFileSystem::~ScopedFileSystem() { g_current = previous_; }

}  // namespace orvanel

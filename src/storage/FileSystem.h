#pragma once

#include <sys/types.h>

#include <string>

namespace orvanel {

// The file-system calls that durable writes make (the atomic writer, and through it the
// settings store and the text exports). The system's own calls are the default; a test
// puts another in place (ScopedFileSystem) to make one call fail or to record the calls.
// Each returns what the system call returns and sets errno as it does.
//
// Threads: the one in place is read on every call; replace it only while no write runs.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual ssize_t Write(int fd, const void* data, std::size_t size);
  virtual int Sync(int fd);
  virtual int Close(int fd);
  virtual int Rename(const std::string& from, const std::string& to);
  // Makes a rename in `folder` durable: opens the folder, and Syncs and Closes it through
  // the two calls above.
  virtual int SyncFolder(const std::string& folder);
};

// The file system in place.
FileSystem& CurrentFileSystem();

class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem& fs);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  FileSystem* previous_;
};

}  // namespace orvanel

#include "storage/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/Failure.h"
#include "storage/FileSystem.h"

namespace orvanel {
namespace {

std::string Describe(const std::string& what, const std::string& path, int error) {
  return what + " " + path + ": " + std::strerror(error);
}

}  // namespace

AtomicFileWriter::AtomicFileWriter(std::string path, int forced_mode, TempFile temp)
    : path_(std::move(path)) {
  if (path_.empty()) throw Failure("No file name given");
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    throw Failure("Cannot write " + path_ + ": it is a folder");
  }
  const std::size_t slash = path_.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  std::string pattern = (slash == std::string::npos ? "" : folder) + "." + base + ".XXXXXX";
  if (temp == TempFile::kHidden) {
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    // Commit names it through /proc; without /proc it is named from the start.
    if (fd_ >= 0 && ::access(("/proc/self/fd/" + std::to_string(fd_)).c_str(), F_OK) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  if (fd_ < 0) {
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    fd_ = ::mkostemp(buffer.data(), O_CLOEXEC);
    if (fd_ < 0) throw Failure(Describe("Cannot write", path_, errno));
    temp_path_ = buffer.data();
  } else {
    hidden_pattern_ = std::move(pattern);
  }
  // Keep the permissions of the file being replaced; a new file gets the usual ones.
  const mode_t mode = forced_mode >= 0 ? static_cast<mode_t>(forced_mode)
                      : ::stat(path_.c_str(), &st) == 0
                          ? (st.st_mode & 07777)
                          : [] {
                              const mode_t mask = ::umask(0);
                              ::umask(mask);
                              return static_cast<mode_t>(0666 & ~mask);
                            }();
  ::fchmod(fd_, mode);
}

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ >= 0) CurrentFileSystem().Close(fd_);
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

void AtomicFileWriter::Write(std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = CurrentFileSystem().Write(fd_, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Failure(Describe("Cannot write", path_, errno));
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Gives the hidden file a name of the temporary form, so that it can be renamed.
void AtomicFileWriter::NameHiddenFile() {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  // Names need only differ from what is there; a taken one is simply tried again.
  std::uint64_t seed =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(::getpid()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = hidden_pattern_;
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      name[i] = kLetters[(seed >> 33) % 62];
    }
    if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temp_path_ = std::move(name);
      return;
    }
    if (errno != EEXIST) break;
  }
  throw Failure(Describe("Cannot write", path_, errno));
}

void AtomicFileWriter::Commit() {
  FileSystem& fs = CurrentFileSystem();
  // The contents reach the disk before the name points at them.
  if (fs.Sync(fd_) != 0) throw Failure(Describe("Cannot write", path_, errno));
  if (temp_path_.empty()) NameHiddenFile();
  const int fd = fd_;
  fd_ = -1;
  if (fs.Close(fd) != 0) throw Failure(Describe("Cannot write", path_, errno));
  if (fs.Rename(temp_path_, path_) != 0) throw Failure(Describe("Cannot replace", path_, errno));
  temp_path_.clear();
  // Make the rename itself durable. A failure here is not reported: the new file is in
  // place and whole either way.
  const std::size_t slash = path_.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : path_.substr(0, slash == 0 ? 1 : slash);
  fs.SyncFolder(folder);
}

void WriteFileAtomically(const std::string& path, std::string_view contents, int mode) {
  AtomicFileWriter writer(path, mode);
  writer.Write(contents);
  writer.Commit();
}

}  // namespace orvanel

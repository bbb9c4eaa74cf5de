#include "storage/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <random>
#include <string_view>

#include "base/Failure.h"
#include "storage/FileSystem.h"

namespace orvanel {
namespace {

std::string Describe(const std::string& what, const std::string& path, int error) {
  return what + " " + path + ": " + std::strerror(error);
}

constexpr std::size_t kUniqueLength = 6;
constexpr std::string_view kNameLetters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// Creates a file of a new name "<folder>.<base>.XXXXXX" (the X's letters or digits) with
// `mode`, less what the umask (or a default ACL of the folder) takes away, as for any new
// file. Returns its descriptor, or -1 with errno set.
std::string UniqueName(const std::string& prefix) {
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::string name = prefix;
  for (std::size_t i = 0; i < kUniqueLength; ++i)
    name += kNameLetters[random() % kNameLetters.size()];
  return name;
}

int CreateUniqueFile(const std::string& folder, const std::string& base, mode_t mode,
                     std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = UniqueName(folder + "." + base + ".");
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

bool IsTemporaryNameOf(std::string_view name, std::string_view target_name) {
  if (name.size() != target_name.size() + 2 + kUniqueLength || name[0] != '.' ||
      name.substr(1, target_name.size()) != target_name || name[1 + target_name.size()] != '.') {
    return false;
  }
  for (const char c : name.substr(name.size() - kUniqueLength)) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

AtomicFileWriter::AtomicFileWriter(std::string path, int forced_mode, TempFile temp)
    : path_(std::move(path)) {
  if (path_.empty()) throw Failure("No file name given");
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    throw Failure("Cannot write " + path_ + ": it is a folder");
  }
  const std::size_t slash = path_.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  // The mode asked for, else that of the file being replaced, else the one any new file
  // gets (0666 less the umask).
  std::optional<mode_t> exact;
  if (forced_mode >= 0) {
    exact = static_cast<mode_t>(forced_mode);
  } else if (::stat(path_.c_str(), &st) == 0) {
    exact = st.st_mode & 07777;
  }
  if (temp == TempFile::kHidden) {
    // No name until Commit: nothing is left behind, not even by a kill.
    fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC,
                 exact.value_or(0666));
    // Commit names it through /proc; without /proc it is named from the start.
    if (fd_ >= 0 && ::access(("/proc/self/fd/" + std::to_string(fd_)).c_str(), F_OK) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
    if (fd_ >= 0) hidden_prefix_ = folder + "." + base + ".";
  }
  if (fd_ < 0) fd_ = CreateUniqueFile(folder, base, exact.value_or(0666), temp_path_);
  if (fd_ < 0) {
    const int error = errno;
    temp_path_.clear();
    throw Failure(Describe("Cannot write", path_, error));
  }
  // The umask may have taken bits of a mode that must be kept exactly. A failed chmod is
  // ignored on purpose: the file is then only more private than it should be.
  if (exact) {
    exact_mode_ = static_cast<int>(*exact);
    ::fchmod(fd_, *exact);
  }
}

AtomicFileWriter::~AtomicFileWriter() {
  // An abandoned write: the temporary file is thrown away, so failures to close or remove it
  // are ignored on purpose (a leftover is removed by the next write that knows its name).
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
  // A name taken meanwhile is simply tried again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = UniqueName(hidden_prefix_);
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
  // A write by a user without the privilege to keep them takes the set-user-ID and
  // set-group-ID bits away: the mode is set again once the contents are in (ignored on
  // failure as above).
  if (exact_mode_ >= 0) ::fchmod(fd_, static_cast<mode_t>(exact_mode_));
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

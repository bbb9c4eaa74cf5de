#include "cli/Output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>

#include "base/Failure.h"
#include "cli/ExitStatus.h"
#include "cli/Messages.h"
#include "storage/FileLock.h"
#include "storage/Links.h"

namespace orvanel {
namespace {

constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The descriptor a name stands for when it names one of this process's open descriptors
// (/dev/stdout, /dev/fd/N, /proc/self/fd/N, or a link to one of them): such a name is the
// stream as the shell opened it, appending or not, never a file to replace.
std::optional<int> DescriptorNamed(const std::string& name) {
  std::filesystem::path path = std::filesystem::path(name).lexically_normal();
  const std::string own = "/proc/" + std::to_string(::getpid()) + "/fd/";
  for (int depth = 0; depth < 40; ++depth) {
    const std::string p = path.string();
    if (p == "/dev/stdin") return 0;
    if (p == "/dev/stdout") return 1;
    if (p == "/dev/stderr") return 2;
    for (const std::string& prefix : {std::string("/dev/fd/"), std::string("/proc/self/fd/"),
                                      std::string("/proc/thread-self/fd/"), own}) {
      if (p.rfind(prefix, 0) != 0 || p.size() == prefix.size() || p.size() > prefix.size() + 9)
        continue;
      const std::string digits = p.substr(prefix.size());
      if (digits.find_first_not_of("0123456789") == std::string::npos) return std::stoi(digits);
    }
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec)) return std::nullopt;
    const auto target = std::filesystem::read_symlink(path, ec);
    if (ec) return std::nullopt;
    path = (target.is_absolute() ? target : path.parent_path() / target).lexically_normal();
  }
  return std::nullopt;
}

}  // namespace

OutputFile::OutputFile(const std::optional<std::string>& path, bool append, int standard_output)
    : fd_(standard_output), append_(append) {
  if (!path) return;
  name_ = *path;
  if (const auto descriptor = DescriptorNamed(name_)) {
    if (append_)
      throw Failure("cannot resume into " + name_ + ": it names an open stream, not a file");
    owned_.Reset(::fcntl(*descriptor, F_DUPFD_CLOEXEC, 3));
    if (!owned_) throw Failure(CannotWrite(name_));
    fd_ = owned_.get();
    return;
  }
  // What the name stands for, as the kernel follows it.
  struct stat st {};
  const bool exists = ::stat(name_.c_str(), &st) == 0;
  if (exists && append_ && !S_ISREG(st.st_mode)) {
    throw Failure("cannot resume into " + name_ + ": not a regular file");
  }
  if (exists && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
    OpenDirect(name_);
    return;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    throw Failure("cannot write " + name_ + ": it is " +
                  (S_ISDIR(st.st_mode) ? "a folder" : "neither a file nor a stream"));
  }
  // A regular file, or a name not taken yet, is replaced: by its own path, links followed.
  // (a dangling link's target is made, as the shell's ">" makes it)
  try {
    target_ = FollowLinks(name_);
  } catch (const Failure& f) {
    throw Failure("cannot follow the link " + name_ + ": " + f.what());
  }
  if (exists) {
    // Replacing is writing: a file nobody may write to is not replaced (root too would
    // need a write bit).
    if (::access(target_.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0) {
      throw Failure("cannot write " + target_ + ": the file is read-only");
    }
  }
  LockTarget(target_);
  if (append_) {
    fd_ = lock_.get();
    return;
  }
  file_ = std::make_unique<AtomicFileWriter>(target_, -1, TempFile::kHidden);
  if (!file_->temp_path().empty()) temp_cleanup_.Cover(file_->temp_path());
}

void OutputFile::OpenDirect(const std::string& target) {
  owned_.Reset(::open(target.c_str(), O_WRONLY | kOpenFlags));
  if (!owned_) throw Failure(CannotWrite(target));
  fd_ = owned_.get();
}

// Opens the target (making it when the name is free) and locks it for the run.
void OutputFile::LockTarget(const std::string& target) {
  const int access_mode = append_ ? O_RDWR : O_RDONLY;
  for (int attempt = 0; attempt < 3 && !lock_; ++attempt) {
    lock_.Reset(::open(target.c_str(), access_mode | kOpenFlags | O_NONBLOCK));
    if (!lock_ && errno == EACCES && !append_) {
      lock_.Reset(::open(target.c_str(), O_WRONLY | kOpenFlags | O_NONBLOCK));  // write-only
    }
    if (lock_ || errno != ENOENT) break;
    lock_.Reset(::open(target.c_str(),
                       (append_ ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | kOpenFlags, 0666));
    made_target_ = static_cast<bool>(lock_);
    if (!lock_ && errno != EEXIST) break;  // EEXIST: made meanwhile by another; open that
  }
  if (!lock_) throw Failure(CannotWrite(target));
  struct stat st {};
  if (::fstat(lock_.get(), &st) != 0) throw Failure(CannotWrite(target));
  if (!S_ISREG(st.st_mode)) throw Failure("cannot write " + target + ": not a regular file");
  if (TryLockExclusive(lock_.get()) == LockResult::kBusy) {
    made_target_ = false;  // the other run's now
    throw Refusal(name_ + " is in use by another run");
  }
  if (made_target_ && !append_) made_target_cleanup_.Cover(target);
}

OutputFile::~OutputFile() {
  temp_cleanup_.Release();
  made_target_cleanup_.Release();
  if (!made_target_ || committed_ || !lock_) return;
  // The empty file this run made to hold its lock goes again, if it is still that file
  // and still empty.
  struct stat mine {
  }, there{};
  if (::fstat(lock_.get(), &mine) == 0 && ::stat(target_.c_str(), &there) == 0 &&
      SameFile(mine, there) && there.st_size == 0) {
    ::unlink(target_.c_str());
  }
  // file_ removes its temporary file unless committed.
}

void OutputFile::StartAppending(std::uint64_t bytes) {
  if (::ftruncate(fd_, static_cast<off_t>(bytes)) != 0 || ::lseek(fd_, 0, SEEK_END) < 0) {
    throw Failure(CannotWrite(name_));
  }
  whole_bytes_ = bytes;
}

void OutputFile::Sync() {
  if (::fsync(fd_) != 0) throw Failure(CannotWrite(name_));
  synced_ = std::chrono::steady_clock::now();
  dirty_ = false;
}

void OutputFile::SyncIfDue() {
  if (append_ && dirty_ && std::chrono::steady_clock::now() - synced_ >= std::chrono::seconds(1)) {
    Sync();
  }
}

void OutputFile::Write(std::string_view data) {
  if (data.empty()) return;
  if (file_) return file_->Write(data);
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EPIPE) throw BrokenPipe{};
    if (n < 0) {
      const int error = errno;
      // A resumed file keeps whole rows only: the piece written in part goes.
      if (append_ && ::ftruncate(fd_, static_cast<off_t>(whole_bytes_)) == 0) ::fsync(fd_);
      throw Failure(CannotWrite(name_.empty() ? "the output" : name_, error));
    }
    done += static_cast<std::size_t>(n);
  }
  if (!append_) return;
  whole_bytes_ += data.size();
  // A resumed run loses at most the last second of rows to a crash.
  dirty_ = true;
  SyncIfDue();
}

void OutputFile::Commit() {
  if (append_) {
    Sync();
    committed_ = true;  // the run's file, though it holds no row
    return;
  }
  if (!file_) return;
  // From here the names are the finished file's: no signal may remove them.
  temp_cleanup_.Release();
  made_target_cleanup_.Release();
  file_->Commit();
  committed_ = true;
}

}  // namespace orvanel

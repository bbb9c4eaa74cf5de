#include "cli/Output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "base/Failure.h"

namespace orvanel {
namespace {

// The temporary file to remove if a signal ends the program, as a plain array so that
// the handler reads it without calling anything unsafe.
char g_pending_temp[PATH_MAX + 1] = {};

void OnFatalSignal(int sig) {
  if (g_pending_temp[0] != '\0') ::unlink(g_pending_temp);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void SetPending(const std::string& path) {
  if (path.size() > PATH_MAX) return;
  // Write the text first, then its first byte: the handler never sees half a name.
  g_pending_temp[0] = '\0';
  std::memcpy(g_pending_temp + 1, path.c_str() + 1, path.size());
  g_pending_temp[0] = path.empty() ? '\0' : path[0];
}

}  // namespace

void InstallOutputSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnFatalSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

void OpenClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) ::close(opened);
  }
}

RowOutput::RowOutput(const std::optional<std::string>& path, bool append) : append_(append) {
  if (!path) return;
  name_ = *path;
  std::string target = *path;
  std::error_code ec;
  if (std::filesystem::is_symlink(target, ec)) {
    const auto resolved = std::filesystem::weakly_canonical(target, ec);
    if (ec) throw Failure("cannot follow the link " + target + ": " + ec.message());
    target = resolved.string();
  }
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    if (append_ && !S_ISREG(st.st_mode))
      throw Failure("cannot resume into " + target + ": not a regular file");
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
      fd_ = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      if (fd_ < 0) throw Failure("cannot write " + target + ": " + std::strerror(errno));
      own_fd_ = true;
      return;
    }
    if (!S_ISREG(st.st_mode)) {
      throw Failure("cannot write " + target + ": it is " +
                    (S_ISDIR(st.st_mode) ? "a folder" : "neither a file nor a stream"));
    }
    // Replacing is writing: a file nobody may write to is not replaced (root too would
    // need a write bit).
    if (::access(target.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0) {
      throw Failure("cannot write " + target + ": the file is read-only");
    }
  }
  if (append_) {
    fd_ = ::open(target.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd_ < 0) throw Failure("cannot write " + target + ": " + std::strerror(errno));
    own_fd_ = true;
    return;
  }
  file_ = std::make_unique<AtomicFileWriter>(target);
  SetPending(file_->temp_path());
}

void RowOutput::StartAppending(std::uint64_t bytes) {
  if (::ftruncate(fd_, static_cast<off_t>(bytes)) != 0 || ::lseek(fd_, 0, SEEK_END) < 0) {
    throw Failure("cannot write " + name_ + ": " + std::strerror(errno));
  }
}

void RowOutput::Sync() {
  if (::fsync(fd_) != 0) throw Failure("cannot write " + name_ + ": " + std::strerror(errno));
  synced_ = std::chrono::steady_clock::now();
  dirty_ = false;
}

void RowOutput::SyncIfDue() {
  if (append_ && dirty_ && std::chrono::steady_clock::now() - synced_ >= std::chrono::seconds(1))
    Sync();
}

RowOutput::~RowOutput() {
  SetPending("");
  if (own_fd_) ::close(fd_);
  // file_ removes its temporary file unless committed.
}

void RowOutput::Write(std::string_view data) {
  if (data.empty()) return;
  if (file_) {
    file_->Write(data);
    return;
  }
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EPIPE) throw BrokenPipe{};
    if (n < 0) throw Failure(std::string("cannot write the output: ") + std::strerror(errno));
    done += static_cast<std::size_t>(n);
  }
  // A resumed run loses at most the last second of rows to a crash.
  dirty_ = true;
  SyncIfDue();
}

void RowOutput::Commit() {
  if (append_) return Sync();
  if (!file_) return;
  file_->Commit();
  SetPending("");
}

}  // namespace orvanel

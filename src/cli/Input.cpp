#include "cli/Input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/Failure.h"
#include "cli/Messages.h"
#include "storage/FileRead.h"
#include "text/Utf8.h"

namespace orvanel {

namespace {

// Reads a regular file through from where it stands, then puts its offset back there.
template <typename F>
void ReadThrough(int fd, const std::string& name, F&& chunk) {
  const off_t start = std::max<off_t>(0, ::lseek(fd, 0, SEEK_CUR));
  const int error = ReadChunks(fd, chunk);
  ::lseek(fd, start, SEEK_SET);
  if (error != 0) throw Failure(CannotRead(name, error));
}

}  // namespace

AddressInput::AddressInput(const std::vector<std::string>& files, bool keep_blank,
                           int standard_input)
    : keep_blank_(keep_blank) {
  try {
    for (const auto& name : files) {
      // Each file is opened here, once, and closed with the others from here on.
      File& f = files_.emplace_back();
      const bool is_stdin = name == "-";
      f.name = is_stdin ? "standard input" : name;
      f.fd = is_stdin ? standard_input : OpenForReading(name.c_str());
      if (f.fd < 0) throw Failure(CannotRead(name));
      f.owned = !is_stdin;
      struct stat st {};
      if (::fstat(f.fd, &st) != 0) throw Failure(CannotRead(f.name));
      if (S_ISDIR(st.st_mode)) throw Failure("cannot read " + f.name + ": it is a folder");
      if (S_ISBLK(st.st_mode)) throw Failure("cannot read " + f.name + ": it is a block device");
      f.regular = S_ISREG(st.st_mode);
      f.fifo = S_ISFIFO(st.st_mode);
      f.identity = {st.st_dev, st.st_ino};
      if (f.regular) {
        // Refused text stops the run before anything is written.
        ListTextDecoder check(f.name, ListReader([](std::string_view) {}));
        ReadThrough(f.fd, f.name, [&](std::string_view chunk) { check.Feed(chunk); });
        check.Finish();
      }
    }
  } catch (...) {
    CloseAll();
    throw;
  }
}

AddressInput::~AddressInput() { CloseAll(); }

void AddressInput::CloseAll() {
  for (auto& f : files_) {
    if (f.owned && f.fd >= 0) ::close(f.fd);
    f.fd = -1;
  }
}

std::vector<FileIdentity> AddressInput::WritableIdentities() const {
  std::vector<FileIdentity> identities;
  for (const auto& f : files_) {
    if (f.regular || f.fifo) identities.push_back(f.identity);
  }
  return identities;
}

int AddressInput::WaitFd() const {
  if (Done() || files_[current_].regular) return -1;
  return files_[current_].fd;
}

void AddressInput::ReadSome(std::deque<std::string>& out) {
  if (Done()) return;
  File& f = files_[current_];
  if (!decoder_) {
    decoder_ = std::make_unique<ListTextDecoder>(f.name, ListReader([this](std::string_view item) {
                                                   if (keep_blank_ || !item.empty())
                                                     sink_->push_back(ToUtf8Text(item));
                                                 }));
  }
  sink_ = &out;
  char buffer[65536];
  ssize_t n;
  do {
    n = ::read(f.fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n < 0) throw Failure(CannotRead(f.name));
  if (n > 0) {
    decoder_->Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
    return;
  }
  decoder_->Finish();  // each file ends its own last line
  decoder_.reset();
  if (f.owned) ::close(f.fd);
  f.fd = -1;
  ++current_;
}

std::vector<std::string> ReadTagFile(const std::string& path) {
  AddressInput input({path}, false);
  std::deque<std::string> lines;
  while (!input.Done()) input.ReadSome(lines);
  return {lines.begin(), lines.end()};
}

}  // namespace orvanel

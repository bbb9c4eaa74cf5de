#include "fetch/LocalFile.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "fetch/MemoryBudget.h"

namespace orvanel {

LocalFile::LocalFile(const std::string& url, std::size_t max_bytes, Clock::time_point deadline)
    : max_bytes_(max_bytes), deadline_(deadline) {
  result_.final_url = url;
  CURLU* u = curl_url();
  char* p = nullptr;
  if (u && curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(u, CURLUPART_PATH, &p, CURLU_URLDECODE) == CURLUE_OK && p) {
    path_ = p;
    curl_free(p);
  }
  curl_url_cleanup(u);
}

LocalFile::~LocalFile() {
  if (fd_ >= 0) ::close(fd_);
}

LocalFile::Step LocalFile::Fail(FetchError error, std::string text) {
  result_.ok = false;
  result_.error = error;
  result_.error_text = std::move(text);
  result_.bytes.clear();
  result_.bytes.shrink_to_fit();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  return Step::kDone;
}

LocalFile::Step LocalFile::Read(const std::function<bool(std::size_t)>& grow) {
  if (fd_ < 0) {
    if (path_.empty() || path_.find('\0') != std::string::npos)
      return Fail(FetchError::kFile, "Not a file address: " + result_.final_url);
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd_ < 0)
      return Fail(FetchError::kFile, "Cannot open " + path_ + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
      return Fail(FetchError::kFile, path_ + " is not a regular file");
    size_hint_ = static_cast<std::size_t>(st.st_size);
  }
  const auto now = Clock::now();
  // Time held back for room in the budget does not count, as for transfers.
  if (held_since_) deadline_ += now - std::exchange(*held_since_, now);
  if (now >= deadline_) return Fail(FetchError::kTimeout, "Reading " + path_ + " took too long");
  std::string& bytes = result_.bytes;
  // One byte past the cap tells a file that is too large, however large it is. The room
  // made for the file's length and one byte more (its end) is filled before any more is
  // made: the whole file is read into one buffer, never copied to a larger one.
  std::size_t want = std::min(kPiece, max_bytes_ + 1 - bytes.size());
  if (MemoryBudget::HeapBytes(bytes) > bytes.size())
    want = std::min(want, bytes.capacity() - bytes.size());
  const std::size_t need = bytes.size() + want;
  if (need > bytes.capacity()) {
    const std::size_t to = MemoryBudget::NextCapacity(
        bytes.capacity(), need, static_cast<long long>(std::min(size_hint_ + 1, max_bytes_ + 1)),
        false, max_bytes_ + 1);
    const std::size_t before = MemoryBudget::HeapBytes(bytes);
    if (!grow(to - before)) {
      if (!held_since_) held_since_ = now;
      return Step::kHeldBack;
    }
    held_since_.reset();
    std::string grown;  // exactly this size: growing in place may double it
    grown.reserve(to);
    grown.append(bytes);
    bytes.swap(grown);
  }
  const std::size_t start = bytes.size();
  bytes.resize(start + want);
  ssize_t n;
  do {
    n = ::read(fd_, bytes.data() + start, want);
  } while (n < 0 && errno == EINTR);
  bytes.resize(start + (n > 0 ? static_cast<std::size_t>(n) : 0));
  if (n < 0) return Fail(FetchError::kFile, "Cannot read " + path_ + ": " + std::strerror(errno));
  if (bytes.size() > max_bytes_) {
    return Fail(FetchError::kTooLarge,
                "Document larger than " + std::to_string(max_bytes_) + " bytes");
  }
  if (n > 0) return Step::kMore;
  ::close(fd_);
  fd_ = -1;
  result_.ok = true;
  result_.bytes_read = bytes.size();
  return Step::kDone;
}

}  // namespace orvanel

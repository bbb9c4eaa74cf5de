#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "fetch/Fetcher.h"

namespace orvanel {

// A local document, read a piece at a time on the fetcher's worker between its network
// work, so that a huge or slow file holds back no transfer. Only a regular file is read
// (a named pipe, a device or a folder is a document that cannot be had), opened without
// blocking; reading stops at max_bytes + 1 (a larger file is too large, however large it
// is or keeps growing), and at the deadline.
class LocalFile {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kPiece = 256 * 1024;

  LocalFile(const std::string& url, std::size_t max_bytes, Clock::time_point deadline);
  ~LocalFile();
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  enum class Step { kMore, kHeldBack, kDone };
  // Reads the next piece. The document's buffer grows only by what `grow(bytes)` allows
  // (it says whether there is room, and counts it): kHeldBack when it did not.
  Step Read(const std::function<bool(std::size_t)>& grow);

  // The document once Read said kDone. Its bytes' memory is counted by `grow`.
  FetchResult& result() { return result_; }

 private:
  Step Fail(FetchError error, std::string text);

  int fd_ = -1;
  std::string path_;
  std::size_t max_bytes_;
  std::size_t size_hint_ = 0;  // the file's length when opened
  Clock::time_point deadline_;
  std::optional<Clock::time_point> held_since_;  // held back for room since
  FetchResult result_;
};

}  // namespace orvanel

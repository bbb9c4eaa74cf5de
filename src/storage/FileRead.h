#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "base/Failure.h"

namespace orvanel {

// Opens `path` for reading without waiting for a named pipe's writer (a plain open
// would block there until one comes); reads on the descriptor then wait as usual.
// Returns the descriptor, or -1 with errno set.
inline int OpenForReading(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

// The failure to read `path`, in the one wording the user sees for it: "Cannot read
// <path>: <reason>"; from an errno value, or in words.
inline Failure ReadFailure(const std::string& path, const std::string& reason) {
  return Failure("Cannot read " + path + ": " + reason);
}
inline Failure ReadFailure(const std::string& path, int error) {
  return ReadFailure(path, std::strerror(error));
}

// The one loop that reads files: `fd` to its end, in chunks of at most 64 KiB handed to
// `chunk` (which may throw to stop); a read interrupted by a signal is made again. Returns
// 0, or the errno of the read that failed. The caller words the message.
template <typename F>
int ReadChunks(int fd, F&& chunk) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    chunk(std::string_view(buffer, static_cast<std::size_t>(n)));
  }
}

}  // namespace orvanel

#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace orvanel {

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

#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace orvanel::testing {

// The lines of `text`, each without its "\n"; a last piece without one is not a line.
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

inline std::size_t CountLines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Lets a reader still waiting for a writer of `fifo` go (it reads the end at once), as when
// the program under test never opened it; nothing happens when no reader waits.
inline void LetFifoReaderGo(const std::string& fifo) {
  if (const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); writer >= 0)
    ::close(writer);
}

// The names in `dir` (not "." and ".."), in no particular order.
inline std::vector<std::string> EntriesIn(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    names.push_back(e.path().filename().string());
  }
  return names;
}

// Waits until `done` holds, looking every few milliseconds, for at most `bound` (generous:
// it is there so that a broken program fails the test instead of hanging it). Returns
// whether it came.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds bound = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace orvanel::testing

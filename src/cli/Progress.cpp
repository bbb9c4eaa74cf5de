#include "cli/Progress.h"

#include <cstdio>
#include <string>

namespace orvanel {

Progress::Progress(const MessageStream& err, bool shown)
    : err_(err), shown_(shown), start_(Clock::now()), last_(start_) {}

void Progress::Update(std::size_t done, std::size_t known, bool all_known, std::size_t failed) {
  if (!shown_) return;
  const auto now = Clock::now();
  if (now - last_ < std::chrono::milliseconds(200)) return;
  last_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  std::string left = "?";
  if (all_known && rate > 0) {
    left = std::to_string(static_cast<long>(static_cast<double>(known - done) / rate)) + "s";
  }
  char line[160];
  std::snprintf(line, sizeof line, "\r\033[K%zu/%zu%s  %.1f/s  %zu failed  %s left", done, known,
                all_known ? "" : "+", rate, failed, left.c_str());
  err_.Raw(line);
  drawn_ = true;
}

void Progress::Clear() {
  if (drawn_) err_.Raw("\r\033[K");
  drawn_ = false;
}

}  // namespace orvanel

#include "cli/Progress.h"

#include <cstdio>
#include <string>

namespace orvanel {

Progress::Progress(bool shown) : shown_(shown), start_(Clock::now()), last_(start_) {}

void Progress::Update(std::size_t done, std::size_t known, bool all_known, std::size_t failed) {
  if (!shown_) return;
  const auto now = Clock::now();
  if (now - last_ < std::chrono::milliseconds(200)) return;
  last_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  std::string left = "?";
  if (all_known && rate > 0) left = std::to_string(static_cast<long>(static_cast<double>(known - done) / rate)) + "s";
  std::fprintf(stderr, "\r\033[K%zu/%zu%s  %.1f/s  %zu failed  %s left", done, known, all_known ? "" : "+", rate,
               failed, left.c_str());
  drawn_ = true;
}

void Progress::Clear() {
  if (drawn_) std::fputs("\r\033[K", stderr);
  drawn_ = false;
}

}  // namespace orvanel

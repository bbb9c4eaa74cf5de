#pragma once

#include <chrono>
#include <cstddef>

#include "cli/Messages.h"

namespace orvanel {

// The progress line on standard error, redrawn at most five times a second; drawn only
// when `shown` (a terminal, no -q).
class Progress {
 public:
  Progress(const MessageStream& err, bool shown);
  void Update(std::size_t done, std::size_t known, bool all_known, std::size_t failed);
  // Wipes the line, before anything else is written to standard error.
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  const MessageStream& err_;
  bool shown_;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point last_;
};

}  // namespace orvanel

#include "cli/Summary.h"

#include <cstdio>

namespace orvanel {

void Summary::Count(const Page& page, std::size_t rows) {
  ++done_;
  rows_ += rows;
  bytes_ += page.bytes_read;
  if (!page.ok) {
    ++failed_;
    ++by_reason_[FetchErrorName(page.reason)];
  }
}

void Summary::CountKept(std::optional<bool> failed) {
  ++kept_;
  if (!failed) kept_failures_known_ = false;
  if (failed.value_or(false)) ++kept_failed_;
}

std::string Summary::Line(const std::string& resumed_file) const {
  std::string reasons;
  for (const auto& [reason, count] : by_reason_) {
    reasons += (reasons.empty() ? " (" : ", ") + reason + " " + std::to_string(count);
  }
  if (!reasons.empty()) reasons += ")";
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", seconds);
  std::string line = std::to_string(done_) + " addresses, " + std::to_string(rows_) + " rows, " +
                     std::to_string(done_ - failed_) + " fetched, " + std::to_string(failed_) +
                     " failed" + reasons + ", " + std::to_string(bytes_) + " bytes read, " + time;
  if (kept_ > 0) {
    line += ", " + std::to_string(kept_) + " addresses kept from " + resumed_file;
    if (kept_failures_known_) line += " (" + std::to_string(kept_failed_) + " failed)";
  }
  return line;
}

}  // namespace orvanel

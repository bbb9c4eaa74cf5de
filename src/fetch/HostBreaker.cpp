#include "fetch/HostBreaker.h"

namespace orvanel {

namespace {

bool IsConnectionLevel(FetchError error) {
  switch (error) {
    case FetchError::kResolve:
    case FetchError::kRefused:
    case FetchError::kConnectTimeout:
    case FetchError::kTls:
      return true;
    default:
      return false;
  }
}

}  // namespace

void HostBreaker::Record(const std::string& host, FetchError error, const std::string& detail) {
  if (threshold_ <= 0) return;
  const auto it = records_.find(host);
  if (error == FetchError::kNone) {
    if (it != records_.end()) {
      recent_.erase(it->second.recent);
      records_.erase(it);
    }
    return;
  }
  if (!IsConnectionLevel(error)) return;
  if (it == records_.end()) {
    if (records_.size() >= max_records_) {
      records_.erase(recent_.back());
      recent_.pop_back();
    }
    recent_.push_front(host);
    Record_ fresh;
    fresh.failures = 1;
    fresh.last = detail;
    fresh.recent = recent_.begin();
    records_.emplace(host, std::move(fresh));
    return;
  }
  ++it->second.failures;
  it->second.last = detail;
  recent_.splice(recent_.begin(), recent_, it->second.recent);
}

std::optional<std::string> HostBreaker::GivenUp(const std::string& host) const {
  if (threshold_ <= 0) return std::nullopt;
  const auto it = records_.find(host);
  if (it == records_.end() || it->second.failures < threshold_) return std::nullopt;
  // The threshold, not the count: transfers under way when it was reached add failures
  // as they end, in an order no run repeats, and rows must not differ by it.
  return "Not tried: " + std::to_string(threshold_) + " failures in a row on " + host +
         "; the last: " + it->second.last;
}

}  // namespace orvanel

#include "fetch/NameCachePolicy.h"

namespace orvanel {

long NameCachePolicy::SecondsFor(const std::string& host, Clock::time_point now) {
  if (!started_ || now - since_ > std::chrono::seconds(kKeepSeconds)) {
    recent_.clear();
    since_ = now;
    started_ = true;
  }
  if (recent_.size() < limit_) recent_.insert(host);
  return recent_.size() < limit_ ? kKeepSeconds : 0L;
}

}  // namespace orvanel

#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_set>

namespace orvanel {

// How long a host's looked-up addresses are kept. libcurl walks a whole name cache at the
// end of every transfer that uses it, so a cache holding every host of a long run costs
// hours over a million hosts. Names are kept a minute while a run meets fewer than
// `new_hosts_to_cache` new hosts a minute (each cache then holds a few dozen); past that,
// only while a transfer uses them.
//
// Threads: not thread-safe; the fetcher's worker owns it.
class NameCachePolicy {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kNewHostsToCache = 16'384;
  static constexpr long kKeepSeconds = 60;

  explicit NameCachePolicy(std::size_t new_hosts_to_cache = kNewHostsToCache)
      : limit_(new_hosts_to_cache) {}

  // Seconds to keep the names of `host`, met at `now`: kKeepSeconds or 0.
  long SecondsFor(const std::string& host, Clock::time_point now);

 private:
  std::size_t limit_;
  std::unordered_set<std::string> recent_;  // met since since_
  Clock::time_point since_{};
  bool started_ = false;
};

}  // namespace orvanel

#pragma once

#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>

#include "fetch/Fetcher.h"

namespace orvanel {

// Gives up on a host after `threshold` failures in a row to connect to it (its name, a
// refused or timed-out connection, TLS); a page had from it starts the count again, and
// any other outcome (an error page, a slow page on a live host) leaves the count as it
// is. 0 never gives up.
//
// At most `max_records` hosts are remembered, the most recently failing ones, so that a
// run over millions of dead hosts holds a bounded record.
//
// Threads: not thread-safe; the fetcher's worker owns it.
class HostBreaker {
 public:
  static constexpr std::size_t kDefaultRecords = 16384;

  explicit HostBreaker(int threshold, std::size_t max_records = kDefaultRecords)
      : threshold_(threshold), max_records_(max_records) {}

  // Counts the outcome of a transfer to `host`.
  void Record(const std::string& host, FetchError error, const std::string& detail);
  // When `host` is given up: the words for its addresses that are not tried.
  std::optional<std::string> GivenUp(const std::string& host) const;

  std::size_t Remembered() const { return records_.size(); }

 private:
  struct Record_ {
    int failures = 0;
    std::string last;
    std::list<std::string>::iterator recent;
  };
  int threshold_;
  std::size_t max_records_;
  std::unordered_map<std::string, Record_> records_;
  std::list<std::string> recent_;  // most recent failure first
};

}  // namespace orvanel

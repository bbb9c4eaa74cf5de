#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "engine/Retrieval.h"

namespace orvanel {

// What a run counts for its summary line and its exit status.
class Summary {
 public:
  // An address whose rows the run wrote.
  void Count(const Page& page, std::size_t rows);
  // An address whose rows an earlier run left in a resumed file; `failed` is unknown for
  // a tsv, whose rows do not say.
  void CountKept(std::optional<bool> failed);

  std::size_t done() const { return done_; }
  std::size_t failed() const { return failed_; }
  // Failed addresses of the whole run, those of a resumed file included.
  std::size_t failed_in_all() const { return failed_ + kept_failed_; }
  // "N addresses, R rows, F fetched, X failed (reason n, ...), B bytes read, S s[, K
  // addresses kept from FILE[ (Y failed)]]".
  std::string Line(const std::string& resumed_file) const;

 private:
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::size_t done_ = 0;
  std::size_t failed_ = 0;
  std::size_t rows_ = 0;
  std::uint64_t bytes_ = 0;
  std::size_t kept_ = 0;
  std::size_t kept_failed_ = 0;
  bool kept_failures_known_ = true;
  std::map<std::string, std::size_t> by_reason_;
};

}  // namespace orvanel

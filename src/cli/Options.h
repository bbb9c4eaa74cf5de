#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/Rules.h"
#include "fetch/Fetcher.h"

namespace orvanel {

// What the command line of orvanel-extract asks for.
struct Options {
  Mode mode = Mode::kTitleAndMetaTags;
  std::vector<std::string> tags;
  bool jsonl = false;
  std::optional<std::string> output;
  std::optional<std::string> failures;  // --failures FILE
  bool resume = false;
  FetcherOptions fetch = [] {
    FetcherOptions defaults;
    defaults.host_errors = 10;  // the companion gives up on dead hosts; the window never
    return defaults;
  }();
  bool early_stop = true;
  bool keep_blank = false;
  bool quiet = false;
  std::vector<std::string> files;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the arguments; --help and --version print and exit. Throws UsageError, also for a
// tag file that cannot be read or holds no entries.
Options ParseOptions(int argc, char** argv);

}  // namespace orvanel

#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/Rules.h"
#include "fetch/Fetcher.h"

namespace orvanel {

// What the command line of orvanel-extract asks for. The defaults here are the ones that
// --help shows.
struct Options {
  Mode mode = Mode::kTitleAndMetaTags;
  std::vector<std::string> tags;
  std::vector<std::string> tag_files;  // --tags-file, read whole while parsing
  bool jsonl = false;
  std::optional<std::string> output;    // -o; standard output when absent
  std::optional<std::string> failures;  // --failures FILE
  bool resume = false;
  bool finished_ok = false;  // a finished run exits 0 even with failed addresses
  FetcherOptions fetch = [] {
    FetcherOptions defaults;
    defaults.host_errors = 10;  // the companion gives up on dead hosts; the window never
    return defaults;
  }();
  bool early_stop = true;
  bool keep_blank = false;
  bool quiet = false;
  std::vector<std::string> files;  // "-" is standard input
};

// The bounds of the numeric options.
inline constexpr long kMaxJobs = 4096;
inline constexpr long kMaxPerHost = 1024;
inline constexpr long kMaxTimeoutSeconds = 86'400;
inline constexpr long kMaxConnectTimeoutSeconds = 3'600;
inline constexpr long kMaxHostErrors = 1'000'000;
inline constexpr long kMinMemoryMib = 16;
inline constexpr long kMaxMemoryMib = 1L << 20;
inline constexpr long kMaxDelayMs = 600'000;

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  Options options;    // for kRun
  std::string error;  // for kUsageError: what was wrong, in one line
};

// Reads the arguments (`args[0]` is the program's name). Never exits and never prints: a
// usage error, also a tag file that cannot be read or holds no entries, comes back as
// kUsageError; --help and --version as their actions. Not thread-safe (getopt).
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The text of --help, its defaults taken from Options.
std::string UsageText();

}  // namespace orvanel

#include "cli/Options.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "base/Failure.h"
#include "cli/ExitStatus.h"
#include "cli/Input.h"
#include "cli/Messages.h"
#include "cli/OptionTable.h"
#include "fetch/TransferTarget.h"
#include "lists/TagList.h"
#include "storage/UniqueFd.h"
#include "text/Utf8.h"

namespace orvanel {
namespace {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

long ParseNumber(const std::string& text, const char* option, long low, long high) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < low || value > high) {
    throw UsageError(std::string("invalid value for ") + option + ": '" + text + "' (" +
                     std::to_string(low) + " to " + std::to_string(high) + ")");
  }
  return value;
}

// Text that becomes part of a request header: a line break would start a header of its
// own.
void RefuseLineBreaks(const std::string& text, const std::string& what) {
  if (text.find_first_of("\r\n") != std::string::npos) {
    throw UsageError("invalid " + what + " '" + text + "' (it holds a line break)");
  }
}

// The certificates must be a readable regular file, opened without waiting (a named
// pipe would block here for ever).
void CheckCertificateFile(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) throw UsageError(CannotRead(path));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw UsageError(CannotRead(path));
  if (!S_ISREG(st.st_mode)) throw UsageError("cannot read " + path + ": not a regular file");
}

void ParseResolve(const std::string& entry, Options& o) {
  // Only entries the fetcher can apply to every request they name are taken.
  if (const auto why = ResolveTable::Check(entry))
    throw UsageError("invalid value for --resolve: " + *why);
  o.fetch.resolve.push_back(entry);
}

void AddTagFile(const std::string& path, Options& o) {
  std::vector<std::string> from_file;
  try {
    from_file = ReadTagFile(path);
  } catch (const Failure& f) {
    throw UsageError(f.what());
  }
  if (from_file.empty()) throw UsageError("no tag entries in " + path);
  o.tags.insert(o.tags.end(), from_file.begin(), from_file.end());
  o.tag_files.push_back(path);
}

// Applies one option (not --help or --version, which end the parsing) to `o`.
void Apply(int code, const std::string& value, Options& o, bool& tags_given) {
  switch (code) {
    case kOptMode: {
      for (const auto& m : kModeNames) {
        if (value == m.name) {
          o.mode = m.mode;
          return;
        }
      }
      throw UsageError("unknown mode '" + value + "' (head, title-meta or tags)");
    }
    case kOptTag:
      o.tags.push_back(ToUtf8Text(value));
      tags_given = true;
      return;
    case kOptTagsFile:
      AddTagFile(value, o);
      tags_given = true;
      return;
    case kOptFormat:
      if (value != "tsv" && value != "jsonl") {
        throw UsageError("unknown format '" + value + "' (tsv or jsonl)");
      }
      o.jsonl = value == "jsonl";
      return;
    case kOptOutput:
      if (value.empty()) throw UsageError("empty output file name");
      o.output = value;
      return;
    case kOptJobs:
      o.fetch.max_transfers = static_cast<int>(ParseNumber(value, "--jobs", 1, kMaxJobs));
      return;
    case kOptPerHost:
      o.fetch.max_per_host = static_cast<int>(ParseNumber(value, "--per-host", 1, kMaxPerHost));
      return;
    case kOptDelay:
      o.fetch.host_delay_ms = ParseNumber(value, "--delay", 0, kMaxDelayMs);
      return;
    case kOptTimeout:
      o.fetch.timeout_ms = ParseNumber(value, "--timeout", 1, kMaxTimeoutSeconds) * 1000;
      return;
    case kOptConnectTimeout:
      o.fetch.connect_timeout_ms =
          ParseNumber(value, "--connect-timeout", 1, kMaxConnectTimeoutSeconds) * 1000;
      return;
    case kOptHostErrors:
      o.fetch.host_errors =
          static_cast<int>(ParseNumber(value, "--host-errors", 0, kMaxHostErrors));
      return;
    case kOptUserAgent:
      RefuseLineBreaks(value, "user agent");
      o.fetch.user_agent = value;
      return;
    case kOptNoEarlyStop:
      o.early_stop = false;
      return;
    case kOptKeepBlank:
      o.keep_blank = true;
      return;
    case kOptNoLocalFiles:
      o.fetch.allow_local_files = false;
      return;
    case kOptResolve:
      ParseResolve(value, o);
      return;
    case kOptHeader: {
      RefuseLineBreaks(value, "header");
      const auto colon = value.find(':');
      if (colon == std::string::npos || colon == 0) {
        throw UsageError("invalid header '" + value + "' (Name: value)");
      }
      o.fetch.headers.push_back(value);
      return;
    }
    case kOptCacert:
      CheckCertificateFile(value);
      o.fetch.ca_file = value;
      return;
    case kOptInsecure:
      o.fetch.insecure = true;
      return;
    case kOptMemory:
      o.fetch.memory_budget =
          static_cast<std::size_t>(ParseNumber(value, "--memory", kMinMemoryMib, kMaxMemoryMib))
          << 20;
      return;
    case kOptFailures:
      if (value.empty()) throw UsageError("empty file name for --failures");
      o.failures = value;
      return;
    case kOptResume:
      o.resume = true;
      return;
    case kOptFinishedOk:
      o.finished_ok = true;
      return;
    case kOptQuiet:
      o.quiet = true;
      return;
    default:
      throw std::logic_error("an option without its case");
  }
}

// What the options say together.
void CheckCombination(Options& o, bool tags_given) {
  if (!tags_given) o.tags = DefaultTags();
  // Entries another mode would not read: the run would not be the one asked for.
  if (tags_given && o.mode != Mode::kOnlyListedTags) {
    throw UsageError(
        "-t and --tags-file are for -m tags; the mode of this run would not read them");
  }
  if (o.resume && !o.output) throw UsageError("--resume needs --output FILE");
  if (o.resume && !o.jsonl && o.mode == Mode::kEntireHeadTag) {
    throw UsageError(
        "--resume in mode head needs -f jsonl (a tsv has no row for a page without a head)");
  }
  if (o.resume && o.failures && !o.jsonl) {
    throw UsageError(
        "--failures with --resume needs -f jsonl (a tsv row does not say whether its page "
        "failed, so the failures before the interruption could not be listed)");
  }
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  std::vector<option> table;
  std::string short_options = ":";
  for (const auto& entry : KnownOptions()) {
    table.push_back(
        {entry.name, entry.value ? required_argument : no_argument, nullptr, entry.code});
    if (entry.code < 256) {
      short_options += static_cast<char>(entry.code);
      if (entry.value) short_options += ':';
    }
  }
  table.push_back({nullptr, 0, nullptr, 0});
  std::vector<std::string> copies(args);  // getopt may reorder them
  std::vector<char*> argv;
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(copies.size());

  CommandLine result;
  Options& o = result.options;
  bool tags_given = false;
  optind = 0;  // start afresh, also for a second parse in one process
  opterr = 0;
  try {
    for (;;) {
      const int c = ::getopt_long(argc, argv.data(), short_options.c_str(), table.data(), nullptr);
      if (c == -1) break;
      if (c == kOptHelp || c == kOptVersion) {
        result.action = c == kOptHelp ? CommandLine::Action::kHelp : CommandLine::Action::kVersion;
        return result;
      }
      if (c == ':') throw UsageError(std::string("option ") + argv[optind - 1] + " needs a value");
      if (c == '?') throw UsageError(std::string("unknown option ") + argv[optind - 1]);
      Apply(c, optarg ? optarg : "", o, tags_given);
    }
    CheckCombination(o, tags_given);
  } catch (const UsageError& e) {
    result.action = CommandLine::Action::kUsageError;
    result.error = e.what();
    return result;
  }
  for (int i = optind; i < argc; ++i) o.files.emplace_back(argv[i]);
  if (o.files.empty()) o.files.emplace_back("-");
  return result;
}

}  // namespace orvanel

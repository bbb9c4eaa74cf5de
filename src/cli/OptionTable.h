#pragma once

#include <string>
#include <vector>

#include "engine/Rules.h"

namespace orvanel {

// The options of orvanel-extract, once: getopt's table and --help are both made from it.
enum OptionCode : int {
  kOptMode = 'm',
  kOptTag = 't',
  kOptFormat = 'f',
  kOptOutput = 'o',
  kOptJobs = 'j',
  kOptHeader = 'H',
  kOptInsecure = 'k',
  kOptQuiet = 'q',
  kOptHelp = 'h',
  kOptVersion = 'V',
  kOptTagsFile = 256,
  kOptPerHost,
  kOptDelay,
  kOptTimeout,
  kOptConnectTimeout,
  kOptHostErrors,
  kOptUserAgent,
  kOptNoEarlyStop,
  kOptKeepBlank,
  kOptNoLocalFiles,
  kOptResolve,
  kOptCacert,
  kOptMemory,
  kOptFailures,
  kOptResume,
  kOptFinishedOk,
};

struct OptionEntry {
  OptionCode code;
  const char* name;   // the long name, without "--"
  const char* value;  // the value's name in --help; nullptr for an option without one
  std::string help;   // with the default, from Options
};

const std::vector<OptionEntry>& KnownOptions();

// The modes by their command-line names.
struct ModeName {
  Mode mode;
  const char* name;
};
inline constexpr ModeName kModeNames[] = {{Mode::kEntireHeadTag, "head"},
                                          {Mode::kTitleAndMetaTags, "title-meta"},
                                          {Mode::kOnlyListedTags, "tags"}};

}  // namespace orvanel

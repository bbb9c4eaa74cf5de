#pragma once

#include <string>

#include "base/Failure.h"

namespace orvanel {

// The exit statuses of orvanel-extract. Runners act on them (GNU parallel's --retries
// and --resume-failed, job arrays), so each means one thing only.
enum class ExitStatus : int {
  // The run finished: every address has its rows written, and none failed.
  kDone = 0,
  // The run finished: every address has its rows, some failed (their rows say why).
  // With --finished-ok such a run exits kDone.
  kSomeFailed = 1,
  // Refused before anything was written: a usage error, an input file that cannot be
  // used, a --resume file that does not belong to the list, an output or failures file
  // in use by another run, an output that is one of the inputs.
  kRefused = 2,
  // The run did not finish: rows could not be written (disk full, I/O error) or the input
  // could not be read to its end. With --resume the file holds whole rows; without it
  // the output file is untouched.
  kUnfinished = 3,
  // The reader of the output went away (a broken pipe), as a shell reports SIGPIPE.
  kBrokenPipe = 141,
};
// A signal (SIGINT, SIGTERM, SIGHUP) ends the program as that signal would.

inline int ToInt(ExitStatus status) { return static_cast<int>(status); }

// A Failure found while the run is being set up, or one that proves the resume file is not
// the list's: the run ends with kRefused, having written nothing.
class Refusal : public Failure {
 public:
  using Failure::Failure;
};

// The output's reader went away: the run ends quietly with kBrokenPipe.
struct BrokenPipe {};

}  // namespace orvanel

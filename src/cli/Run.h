#pragma once

#include "cli/Options.h"
#include "fetch/Fetcher.h"

namespace orvanel {

// The streams a run talks through, as descriptors: `in` is read for the list when no
// FILE (or "-") is named, `out` gets the rows unless -o names a file, `err` the messages,
// the progress line (when it is a terminal) and the summary. The run never closes them.
struct Streams {
  int in = 0;
  int out = 1;
  int err = 2;
};

// Runs one extraction as the options say, with `fetcher` (the run sets its notify target
// and, on every way out, abandons the transfers it still has there). Returns the exit
// status (see ExitStatus.h); everything it has to say goes to streams.err. Signals and
// process-wide limits are the caller's (ExtractMain): a run in a test's process touches
// neither.
int RunExtraction(const Options& options, const Streams& streams, Fetcher& fetcher);

}  // namespace orvanel

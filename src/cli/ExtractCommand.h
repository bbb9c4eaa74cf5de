#pragma once

namespace orvanel {

// orvanel-extract as a program: makes the process fit for a run (standard descriptors,
// SIGPIPE, the signals' clean-up, the open-file limit), reads the command line, and runs
// the extraction on the process's own streams with the libcurl fetcher. Returns the exit
// status (see ExitStatus.h).
int ExtractMain(int argc, char** argv);

}  // namespace orvanel

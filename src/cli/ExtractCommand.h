#pragma once

namespace orvanel {

// orvanel-extract: reads addresses, extracts their rows with the desktop program's rules
// and writes them in address order as tab-separated text or JSON lines. Returns the exit
// status: 0 every address was fetched, 1 at least one could not be, 2 a usage error or an
// input file that cannot be read.
int ExtractMain(int argc, char** argv);

}  // namespace orvanel

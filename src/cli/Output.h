#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/AtomicFile.h"

namespace orvanel {

// Thrown when standard output is closed under us: the run ends quietly.
struct BrokenPipe {};

// Where the rows go: standard output, or the file named with --output.
//
// A named path is checked when the object is made, before anything is written. A
// character device or a FIFO (/dev/null, a named pipe) is written into directly. A regular
// file, or a name not taken yet, is replaced whole at Commit through a temporary file
// beside it; a symbolic link is followed and its target replaced. Anything else (a
// folder, a socket, a block device) and a file its owner may not write to are refused.
// Until Commit, the temporary file is removed on every way out, a fatal signal included
// (see InstallOutputSignalHandlers).
class RowOutput {
 public:
  explicit RowOutput(const std::optional<std::string>& path);  // throws Failure
  ~RowOutput();
  RowOutput(const RowOutput&) = delete;
  RowOutput& operator=(const RowOutput&) = delete;

  void Write(std::string_view data);  // throws Failure or BrokenPipe
  void Commit();                      // throws Failure

 private:
  int fd_ = 1;
  bool own_fd_ = false;
  std::unique_ptr<AtomicFileWriter> file_;
};

// SIGINT, SIGTERM and SIGHUP remove a pending temporary output file, then end the program
// as the signal would have.
void InstallOutputSignalHandlers();

// Any of the descriptors 0, 1 and 2 that is closed is opened on /dev/null, so that no file
// the program opens later takes its place.
void OpenClosedStandardDescriptors();

}  // namespace orvanel

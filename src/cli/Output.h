#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "storage/AtomicFile.h"

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
//
// With `append` (--resume), a named regular file is kept: rows go to its end from
// StartAppending on, made durable at least every second and at Commit; nothing is
// removed on the way out.
class RowOutput {
 public:
  explicit RowOutput(const std::optional<std::string>& path,
                     bool append = false);  // throws Failure
  ~RowOutput();
  RowOutput(const RowOutput&) = delete;
  RowOutput& operator=(const RowOutput&) = delete;

  void Write(std::string_view data);  // throws Failure or BrokenPipe
  void Commit();                      // throws Failure

  // Appending only: the file, to read what an earlier run left.
  int fd() const { return fd_; }
  // Appending only: cuts the file back to `bytes` and writes from there on.
  void StartAppending(std::uint64_t bytes);
  // Appending only: syncs rows written more than a second ago, also while no new row
  // comes (the run waits for a slow page). Call it whenever the run wakes.
  void SyncIfDue();

 private:
  void Sync();

  int fd_ = 1;
  bool own_fd_ = false;
  bool append_ = false;
  bool dirty_ = false;  // written since the last sync
  std::string name_;
  std::chrono::steady_clock::time_point synced_ = std::chrono::steady_clock::now();
  std::unique_ptr<AtomicFileWriter> file_;
};

// SIGINT, SIGTERM and SIGHUP remove a pending temporary output file, then end the program
// as the signal would have.
void InstallOutputSignalHandlers();

// Any of the descriptors 0, 1 and 2 that is closed is opened on /dev/null, so that no file
// the program opens later takes its place.
void OpenClosedStandardDescriptors();

}  // namespace orvanel

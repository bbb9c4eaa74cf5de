#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cli/SignalCleanup.h"
#include "storage/AtomicFile.h"
#include "storage/UniqueFd.h"

namespace orvanel {

// Where rows (or the failed addresses) go: a stream the run was given (standard output),
// or a file named on the command line.
//
// A named path is checked when the object is made, before anything is written. A
// character device or a named pipe (/dev/null, a FIFO) is written into directly. A regular
// file, or a name not taken yet, is replaced whole at Commit through a hidden temporary
// file beside it; a symbolic link is followed and its target replaced. Anything else (a
// folder, a socket, a block device) and a file its owner may not write to are refused.
// Such a file is locked for the run: a second run naming it is refused as long as this one
// lives. A name not taken yet is made (empty) to hold the lock, and removed again on every
// way out short of Commit (a signal included; only SIGKILL can leave it, empty).
//
// With `append` (--resume), the named file must be a regular one (or not exist yet); it
// is kept and locked: rows go to its end from StartAppending on, synced at least every
// second and at Commit. A write that fails cuts the file back to its last whole Write.
class OutputFile {
 public:
  // Throws Failure when the file cannot be used, Refusal when another run holds it.
  OutputFile(const std::optional<std::string>& path, bool append, int standard_output);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // One piece (one address's rows). Throws Failure, or BrokenPipe when the reader of a
  // stream went away.
  void Write(std::string_view data);
  // Throws Failure. Call with the cleanup signals held (SignalsHeld).
  void Commit();

  // Appending only: the file, to read what an earlier run left.
  int fd() const { return fd_; }
  // Appending only: cuts the file back to `bytes` and writes from there on.
  void StartAppending(std::uint64_t bytes);
  // Appending only: syncs rows written more than a second ago, also while no new row
  // comes (the run waits for a slow page). Call it whenever the run wakes.
  void SyncIfDue();

 private:
  void OpenDirect(const std::string& target);
  void LockTarget(const std::string& target);
  void Sync();

  std::string name_;    // as the user gave it, for messages
  std::string target_;  // the file itself, links followed
  int fd_ = 1;          // where Write goes when there is no replacing writer
  UniqueFd owned_;      // a device, a pipe, or the appended file
  UniqueFd lock_;       // the target, locked (replacing)
  bool append_ = false;
  bool made_target_ = false;  // the name was free: this run made it
  bool committed_ = false;
  bool dirty_ = false;             // appending: written since the last sync
  std::uint64_t whole_bytes_ = 0;  // appending: the end of the last whole Write
  std::chrono::steady_clock::time_point synced_ = std::chrono::steady_clock::now();
  std::unique_ptr<AtomicFileWriter> file_;
  RemoveOnSignal made_target_cleanup_;
  RemoveOnSignal temp_cleanup_;
};

}  // namespace orvanel

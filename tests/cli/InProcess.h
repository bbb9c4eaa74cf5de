#pragma once

// orvanel-extract run inside the test's own process: the command line parsed as the
// program parses it, the run given memory files (or a pipe) for its streams.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/Options.h"
#include "cli/Run.h"
#include "fetch/CurlFetcher.h"

namespace orvanel::testing {

struct InProcessResult {
  int status = -1;
  std::string out;
  std::string err;
};

// A file that lives in memory only.
class MemoryFile {
 public:
  MemoryFile() : fd_(::memfd_create("stream", MFD_CLOEXEC)) {}
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  int fd() const { return fd_; }
  std::string Contents() const {
    std::string text;
    char buffer[65536];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
      if (n <= 0) return text;
      text.append(buffer, static_cast<std::size_t>(n));
      at += n;
    }
  }
  void Set(const std::string& text) const {
    [[maybe_unused]] const ssize_t n = ::pwrite(fd_, text.data(), text.size(), 0);
  }

 private:
  int fd_;
};

// A file, a pipe, or a file read up to its first line end before the run (as a script
// that took a line from its standard input leaves it).
enum class InputKind { kFile, kPipe, kFileAfterItsFirstLine };

// Runs the companion with `args` (without the program's name) and `input` on its standard
// input; `fetcher` or, when null, the libcurl fetcher made from the options.
inline InProcessResult RunInProcess(const std::vector<std::string>& args,
                                    const std::string& input = "",
                                    InputKind kind = InputKind::kFile, Fetcher* fetcher = nullptr) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> argv{"orvanel-extract"};
  argv.insert(argv.end(), args.begin(), args.end());
  const CommandLine command = ParseCommandLine(argv);
  InProcessResult result;
  if (command.action == CommandLine::Action::kUsageError) {
    result.status = 2;
    result.err = command.error;
    return result;
  }
  EXPECT_EQ(command.action, CommandLine::Action::kRun);
  MemoryFile out, err, in_file;
  int pipe_fds[2] = {-1, -1};
  std::thread writer;
  Streams streams{in_file.fd(), out.fd(), err.fd()};
  if (kind == InputKind::kPipe) {
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) std::abort();
    streams.in = pipe_fds[0];
    writer = std::thread([&] {
      std::string_view rest = input;
      while (!rest.empty()) {
        const ssize_t n = ::write(pipe_fds[1], rest.data(), rest.size());
        if (n <= 0) break;
        rest.remove_prefix(static_cast<std::size_t>(n));
      }
      ::close(pipe_fds[1]);
    });
  } else {
    in_file.Set(input);
    if (kind == InputKind::kFileAfterItsFirstLine)
      ::lseek(in_file.fd(), static_cast<off_t>(input.find('\n') + 1), SEEK_SET);
  }
  std::unique_ptr<Fetcher> own;
  if (!fetcher) {
    own = MakeCurlFetcher(command.options.fetch);
    fetcher = own.get();
  }
  result.status = RunExtraction(command.options, streams, *fetcher);
  if (pipe_fds[0] >= 0) ::close(pipe_fds[0]);  // a writer still at it stops (EPIPE)
  if (writer.joinable()) writer.join();
  result.out = out.Contents();
  result.err = err.Contents();
  return result;
}

}  // namespace orvanel::testing

#include "cli/ExtractCommand.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/ExitStatus.h"
#include "cli/Messages.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Run.h"
#include "cli/SignalCleanup.h"
#include "fetch/CurlFetcher.h"

namespace orvanel {
namespace {

// Any of the descriptors 0, 1 and 2 that is closed is opened on /dev/null, so that no file
// the program opens later takes its place.
void OpenClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) ::close(opened);
  }
}

// The soft limit on open files is raised to the hard one; -j is cut to what then fits
// (each transfer may hold a socket and a name look-up's pair of descriptors), and the
// connections kept for reuse to what is left.
void FitToFileLimit(FetcherOptions& fetch, const MessageStream& err) {
  const int jobs = fetch.max_transfers;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur == RLIM_INFINITY) return;
  constexpr rlim_t kReserve = 64;
  const rlim_t needed = static_cast<rlim_t>(jobs) * 3 + kReserve;
  if (needed > limit.rlim_cur) {
    const int fits =
        static_cast<int>(limit.rlim_cur > kReserve + 3 ? (limit.rlim_cur - kReserve) / 3 : 1);
    err.Say("-j " + std::to_string(jobs) + " needs about " + std::to_string(needed) +
            " open files, but only " + std::to_string(limit.rlim_cur) +
            " are allowed (ulimit -n); using -j " + std::to_string(fits));
    fetch.max_transfers = fits;
  }
  const rlim_t left = limit.rlim_cur - kReserve - 2 * static_cast<rlim_t>(fetch.max_transfers);
  fetch.max_connections = static_cast<int>(std::clamp<rlim_t>(
      left, static_cast<rlim_t>(fetch.max_transfers), static_cast<rlim_t>(MaxConnections(fetch))));
}

// What --help and --version print; a failure to print it is told as a run's would be.
int Print(const std::string& text, const MessageStream& err) {
  try {
    OutputFile(std::nullopt, false, 1).Write(text);
  } catch (const BrokenPipe&) {
    return ToInt(ExitStatus::kBrokenPipe);
  } catch (const Failure& f) {
    err.Say(f.what());
    return ToInt(ExitStatus::kUnfinished);
  }
  return ToInt(ExitStatus::kDone);
}

}  // namespace

int ExtractMain(int argc, char** argv) {
  OpenClosedStandardDescriptors();
  std::signal(SIGPIPE, SIG_IGN);
  InstallSignalCleanup();
  const MessageStream err(2);
  CommandLine command = ParseCommandLine(std::vector<std::string>(argv, argv + argc));
  switch (command.action) {
    case CommandLine::Action::kHelp:
      return Print(UsageText(), err);
    case CommandLine::Action::kVersion:
      return Print(std::string("orvanel-extract ") + ORVANEL_VERSION + "\n", err);
    case CommandLine::Action::kUsageError:
      err.Say(command.error);
      err.Raw("Try 'orvanel-extract --help'.\n");
      return ToInt(ExitStatus::kRefused);
    case CommandLine::Action::kRun:
      break;
  }
  FitToFileLimit(command.options.fetch, err);
  std::unique_ptr<Fetcher> fetcher;
  {
    // The fetcher's threads never take the clean-up signals: the main thread does, and
    // holds them back while it puts finished files in place.
    const SignalsHeld held;
    fetcher = MakeCurlFetcher(command.options.fetch);
  }
  const int status = RunExtraction(command.options, Streams{}, *fetcher);
#ifndef __SANITIZE_ADDRESS__
  // Every row is out and every file in place. What is left is the fetcher's connections
  // and memory, which the system takes back at once: tearing them down one by one (a TLS
  // goodbye, a close and many frees for each of hundreds of connections) would keep the
  // caller waiting for nothing. A build with the leak checker tears them down, so that it
  // still sees everything freed.
  std::_Exit(status);
#endif
  return status;
}

}  // namespace orvanel

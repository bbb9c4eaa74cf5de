#include "cli/ExtractCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Failure.h"
#include "cli/Input.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/Resume.h"
#include "cli/RowFormat.h"
#include "engine/ResultsTable.h"
#include "engine/Retrieval.h"
#include "export/TextExport.h"
#include "fetch/CurlFetcher.h"
#include "storage/AtomicFile.h"

namespace orvanel {
namespace {

// Addresses and messages may hold any bytes: control characters are shown escaped, so
// that nothing a list says can drive the terminal.
std::string Printable(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

// The soft limit on open files is raised to the hard one; -j is cut to what then fits
// (each transfer may hold a socket and a name look-up's pair of descriptors), and the
// connections kept for reuse to what is left.
void FitToFileLimit(FetcherOptions& fetch) {
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
    std::fprintf(stderr,
                 "orvanel-extract: -j %d needs about %llu open files, but only %llu are allowed "
                 "(ulimit -n); using -j %d\n",
                 jobs, static_cast<unsigned long long>(needed),
                 static_cast<unsigned long long>(limit.rlim_cur), fits);
    fetch.max_transfers = fits;
  }
  const rlim_t left = limit.rlim_cur - kReserve - 2 * static_cast<rlim_t>(fetch.max_transfers);
  fetch.max_connections = static_cast<int>(std::clamp<rlim_t>(
      left, static_cast<rlim_t>(fetch.max_transfers), static_cast<rlim_t>(MaxConnections(fetch))));
}

int Run(const Options& o) {
  AddressInput input(o.files, o.keep_blank);  // every input checked before any output
  RowOutput output(o.output, o.resume);
  // A resumed run first reads past the addresses the file already holds, checking each.
  ResumePoint resume;
  if (o.resume) {
    const std::size_t rows_per_address = o.mode == Mode::kOnlyListedTags ? o.tags.size() : 1;
    resume = ReadResumePoint(output.fd(), *o.output, o.jsonl, rows_per_address);
  }
  std::size_t resumed = 0;  // addresses of the file checked against the input so far
  bool writing = !o.resume;
  // The addresses that failed, as listed: a file to feed back in.
  std::unique_ptr<AtomicFileWriter> failures;
  if (o.failures) failures = std::make_unique<AtomicFileWriter>(*o.failures);
  const auto started = std::chrono::steady_clock::now();

  // The fetcher says when a transfer ends; the input says when it has more. One poll
  // waits for either, so rows are written as soon as they are ready.
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0)
    throw Failure(std::string("cannot make an event descriptor: ") + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{wake};
  auto fetcher = MakeCurlFetcher(o.fetch);
  fetcher->SetNotify([wake] {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake, &one, sizeof one);
  });

  struct InFlight {
    std::string address;
    NormalisedAddress normalised;
    Fetcher::Ticket ticket;
  };
  std::deque<InFlight> window;
  std::deque<std::string> read;  // addresses read, not yet submitted
  const std::size_t window_size = static_cast<std::size_t>(o.fetch.max_transfers) * 8 + 64;
  Progress progress(!o.quiet && ::isatty(2));
  std::size_t done = 0;
  std::size_t failed = 0;
  std::size_t known = 0;
  std::size_t rows = 0;
  std::uint64_t bytes = 0;
  std::map<std::string, std::size_t> by_reason;

  std::string header;
  if (!o.jsonl) {
    std::vector<std::string> headers;
    for (const auto& column : ColumnLayout(o.mode)) headers.emplace_back(column.header);
    AppendHeaderLine(header, headers);
  }
  auto start_writing = [&] {
    writing = true;
    if (o.resume) output.StartAppending(resume.keep_bytes);
    if (!o.resume || resume.keep_bytes == 0) output.Write(header);
  };
  if (!o.resume || resume.keys.empty()) start_writing();

  try {
    for (;;) {
      // Read what the input has now, without waiting for it.
      while (!input.Done() && read.size() + window.size() < window_size) {
        const int fd = input.WaitFd();
        if (fd >= 0) {
          pollfd p{fd, POLLIN, 0};
          if (::poll(&p, 1, 0) <= 0) break;
        }
        const std::size_t before = read.size();
        input.ReadSome(read);
        known += read.size() - before;
      }
      while (!writing && !read.empty()) {
        // The file must hold the rows of the input's first addresses, in order.
        if (resume.keys[resumed] != 0 && resume.keys[resumed] != RowKey(o.jsonl, read.front())) {
          throw Failure(*o.output + " line " + std::to_string(resume.first_line[resumed]) +
                        " is not the row of address " + std::to_string(resumed + 1) +
                        " of the input; nothing was changed");
        }
        read.pop_front();
        if (++resumed == resume.keys.size()) start_writing();
      }
      if (!writing && read.empty() && input.Done()) {
        throw Failure(*o.output + " holds rows of " + std::to_string(resume.keys.size()) +
                      " addresses, but the input has only " + std::to_string(resumed) +
                      "; nothing was changed");
      }
      while (writing && !read.empty() && window.size() < window_size) {
        InFlight f{std::move(read.front()), {}, 0};
        read.pop_front();
        f.normalised = NormaliseAddress(f.address, o.fetch.allow_local_files);
        f.ticket = fetcher->Submit(MakeFetchRequest(f.normalised, o.mode, o.tags, o.early_stop));
        window.push_back(std::move(f));
      }
      // Write every row that is ready, in address order.
      while (!window.empty() && fetcher->Ready(window.front().ticket)) {
        InFlight f = std::move(window.front());
        window.pop_front();
        Page page = MakePage(f.normalised, fetcher->Take(f.ticket));
        ++done;
        bytes += page.bytes_read;
        if (!page.ok) {
          ++failed;
          ++by_reason[FetchErrorName(page.reason)];
          if (failures) failures->Write(f.address + "\n");
          progress.Clear();
          std::fprintf(stderr, "%s\n", Printable(page.message).c_str());
        }
        const auto found = ExtractRows(o.mode, page.text, o.tags);
        rows += found.size();
        output.Write(FormatRows(o, f.address, page, found));
        progress.Update(done, known, input.Done() && read.empty(), failed);
      }
      if (window.empty() && read.empty() && input.Done()) break;
      // Addresses read and room to send them: no reason to wait (the window may have been
      // emptied just now, and then nothing would wake the wait).
      if (writing && !read.empty() && window.size() < window_size) continue;
      // Wait for a transfer to end, or for more input when there is room for it.
      pollfd fds[2] = {{wake, POLLIN, 0}, {-1, POLLIN, 0}};
      const bool room = read.size() + window.size() < window_size;
      if (room && !input.Done()) fds[1].fd = input.WaitFd();
      if (room && !input.Done() && fds[1].fd < 0) continue;  // a regular file: read on
      if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
        throw Failure(std::string("cannot wait: ") + std::strerror(errno));
      }
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wake, &count, sizeof count);
      output.SyncIfDue();
    }
    output.Commit();
    if (failures) failures->Commit();
  } catch (const BrokenPipe&) {
    // The reader went away (head, a closed pager): nothing more to say to anyone.
    fetcher.reset();
    return 141;
  }
  progress.Clear();
  if (!o.quiet) {
    std::string reasons;
    for (const auto& [reason, count] : by_reason) {
      reasons += (reasons.empty() ? " (" : ", ") + reason + " " + std::to_string(count);
    }
    if (!reasons.empty()) reasons += ")";
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr,
                 "orvanel-extract: %zu addresses, %zu rows, %zu fetched, %zu failed%s, %llu bytes "
                 "read, %.1f s\n",
                 done, rows, done - failed, failed, reasons.c_str(),
                 static_cast<unsigned long long>(bytes), seconds);
  }
  return failed > 0 ? 1 : 0;
}

}  // namespace

int ExtractMain(int argc, char** argv) {
  OpenClosedStandardDescriptors();
  std::signal(SIGPIPE, SIG_IGN);
  InstallOutputSignalHandlers();
  Options o;
  try {
    o = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "orvanel-extract: %s\nTry 'orvanel-extract --help'.\n",
                 Printable(e.what()).c_str());
    return 2;
  }
  FitToFileLimit(o.fetch);
  try {
    return Run(o);
  } catch (const std::exception& e) {
    // Everything is unwound by now: no temporary output file is left.
    std::fprintf(stderr, "orvanel-extract: %s\n", Printable(e.what()).c_str());
    return 2;
  }
}

}  // namespace orvanel
